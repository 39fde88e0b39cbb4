// Times one family's search steps in one process, in either pacing:
//   pace_probe paced|original FAMILY LENGTH MODULE...
// Connect, then for each module index: open, read LENGTH bytes, close. One
// line per step: "connect 1 12.3 ms", "module 2 open 1 0.4 ms read 1 45.6 ms SERIAL".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/DeviceInfo.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "framework/Wait.h"

namespace {
double Ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || (std::strcmp(argv[1], "paced") != 0 && std::strcmp(argv[1], "original") != 0)) {
        std::fprintf(stderr, "usage: pace_probe paced|original FAMILY LENGTH MODULE...\n");
        return 2;
    }
    SetOriginalTiming(std::strcmp(argv[1], "original") == 0);
    auto family = CreateFamily(BuiltInFamilies().ClassOf(argv[2]));
    if (!family) return 2;
    const int length = std::atoi(argv[3]);
    auto t = std::chrono::steady_clock::now();
    const BOOL connected = family->Connect();
    std::printf("connect %d %.1f ms\n", connected ? 1 : 0, Ms(t));
    for (int i = 4; i < argc && connected; ++i) {
        const int module = std::atoi(argv[i]);
        family->SetModuleIndex(module);
        std::vector<std::uint8_t> image(256, 0);
        t = std::chrono::steady_clock::now();
        const BOOL opened = family->OpenModule();
        const double openMs = Ms(t);
        t = std::chrono::steady_clock::now();
        const BOOL read = opened && family->ReadEeprom(image.data(), length);
        const double readMs = Ms(t);
        family->CloseModule();
        std::printf("module %d open %d %.1f ms read %d %.1f ms %s\n", module, opened ? 1 : 0, openMs, read ? 1 : 0,
                    readMs, read && length == 256 ? SerialNumberOf(image).c_str() : "-");
    }
    family->Disconnect();
    return 0;
}
