// TavikAPI replies and image files: every reply matcher, the system
// information assembly, and the download image checks of every image kind
// for every device type.
#include <cstring>

#include "FuzzInput.h"
#include "Wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t selector = in.U8();
    const std::uint32_t arg = in.U32();
    const auto rest = in.Rest();
    volatile std::uint32_t sink = 0;
    if (selector & 1) {
        // Four replies of 64 bytes from the payload (zero-filled when short).
        tavik::Packet p[4]{};
        for (std::size_t k = 0; k < 4 && k * 64 < rest.size(); ++k)
            std::memcpy(p[k].data(), rest.data() + k * 64, std::min<std::size_t>(64, rest.size() - k * 64));
        sink = sink + tavik::MatchCode(p[0], static_cast<std::uint8_t>(arg)) +
               tavik::MatchWlanPiece(p[0], arg % 64) +
               tavik::MatchTask(p[0], arg % 64, static_cast<std::uint8_t>(arg >> 8), static_cast<std::uint8_t>(arg >> 16)) +
               tavik::MatchLog(p[0], arg);
        const auto info = tavik::AssembleSystemInfo(p[0], p[1], p[2], p[3]);
        for (auto b : info) sink = sink + b;
    } else {
        const auto kind = static_cast<tavik::ImageKind>((selector >> 1) % 3);
        const int type = static_cast<int>((selector >> 3) % 6);  // 0 and 5 lie outside the types
        const std::string why = tavik::CheckImage(kind, rest, type);
        if (why.empty()) {
            // An accepted image has its data where the download takes it from.
            if (rest.size() < tavik::ImageDataStart(kind)) __builtin_trap();
        }
        sink = sink + tavik::Crc16Xmodem(rest) + static_cast<std::uint32_t>(why.size());
    }
    return 0;
}
