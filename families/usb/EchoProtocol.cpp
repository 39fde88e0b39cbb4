#include "EchoProtocol.h"

#include <algorithm>

namespace echo {

std::size_t ChunkCount(const Layout& layout, std::int32_t length) {
    if (length <= 0) return 0;
    const auto n = static_cast<std::size_t>(length);
    return n / layout.chunkSize + (n % layout.chunkSize ? 1 : 0);
}

Chunk ChunkAt(const Layout& layout, std::int32_t length, std::size_t index) {
    const auto total = static_cast<std::size_t>(length);
    const std::size_t offset = index * layout.chunkSize;
    const std::size_t chunkLength = std::min(layout.chunkSize, total - offset);
    const std::uint32_t wrap = layout.addressWidth == 1 ? 0x100u : 0x10000u;
    const std::size_t field = layout.addressing == Layout::Addressing::Chunks ? index : offset;
    return {static_cast<std::uint32_t>(field % wrap), offset, chunkLength};
}

Report BuildRequest(const Layout& layout, std::uint8_t command, const Chunk& chunk,
                    std::span<const std::uint8_t> data) {
    Report r{};
    r[0] = command;
    if (layout.addressWidth == 2) {
        r[layout.addressOffset] = static_cast<std::uint8_t>(chunk.address >> 8);
        r[layout.addressOffset + 1] = static_cast<std::uint8_t>(chunk.address);
    } else {
        r[layout.addressOffset] = static_cast<std::uint8_t>(chunk.address);
    }
    r[layout.lengthOffset] = static_cast<std::uint8_t>(chunk.length);
    const std::size_t room = kReportSize - layout.dataOffset;
    const std::size_t n = std::min({data.size(), chunk.length, room});
    std::copy_n(data.begin(), n, r.begin() + static_cast<std::ptrdiff_t>(layout.dataOffset));
    return r;
}

bool IsEcho(const Layout& layout, const Report& request, const Report& reply, std::size_t received) {
    if (received == 0) return false;
    // Command, address field and length must all be repeated.
    const std::size_t last = std::max(layout.lengthOffset, layout.addressOffset + layout.addressWidth - 1);
    return std::equal(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(last + 1), reply.begin());
}

std::span<const std::uint8_t> ReplyData(const Layout& layout, const Report& reply, std::size_t length) {
    const std::size_t room = kReportSize - layout.dataOffset;
    return std::span<const std::uint8_t>(reply).subspan(layout.dataOffset, std::min(length, room));
}

}  // namespace echo
