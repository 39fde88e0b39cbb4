// The serial number of any image prefix: never read past what is given.
#include <vector>

#include "framework/DeviceInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly this size, also when it is empty.
    const std::vector<std::uint8_t> image(data, data + size);
    const std::string serial = SerialNumberOf(image);
    if (serial.size() > (size > kSerialOffset ? size - kSerialOffset : 0)) __builtin_trap();
    if (serial.find('\0') != std::string::npos) __builtin_trap();
    return 0;
}
