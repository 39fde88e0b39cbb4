// The connection dialog's address cleaning: any text; an accepted address is
// four dotted fields of at most 255 that clean to themselves.
#include <string>

#include "framework/ConnDev.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const conndev::Result r = conndev::Clean(text);
    if (r.verdict != conndev::Verdict::Ok) return 0;
    const conndev::Result again = conndev::Clean(r.address);
    if (again.verdict != conndev::Verdict::Ok || again.address != r.address) __builtin_trap();
    int dots = 0;
    for (char c : r.address) dots += c == '.';
    if (dots != 3) __builtin_trap();
    return 0;
}
