// The image files `brevane-cli write` loads: any content, any length.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "framework/ModuleIo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // In memory where the machine has it: the file system is not what is tested.
    static const std::string file = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                    "/brevane-image-fuzz-" + std::to_string(getpid()) + ".bin";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::string error;
    const auto image = moduleio::LoadImageFile(file, error);
    if (image.has_value() != (size == kImageSize)) __builtin_trap();
    if (image && !std::equal(image->begin(), image->end(), data)) __builtin_trap();
    if (!image && error.empty()) __builtin_trap();
    std::remove(file.c_str());
    return 0;
}
