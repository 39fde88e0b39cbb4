// The USB echo link: reply recognition and data extraction for any reply
// bytes and any received count, and the chunking of any transfer length.
#include <cstring>

#include "FuzzInput.h"
#include "families/usb/EchoProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::int32_t length = static_cast<std::int32_t>(in.U16()) - 8;  // a few negative lengths too
    const std::size_t chunkIndex = in.U8();
    const std::size_t received = in.U8();
    const echo::Layout& layout = echo::kTeskLayout;
    const std::size_t n = echo::ChunkCount(layout, length);
    if (n > 0) {
        const echo::Chunk chunk = echo::ChunkAt(layout, length, chunkIndex % n);
        if (chunk.length > layout.chunkSize) __builtin_trap();
        if (chunk.offset + chunk.length > static_cast<std::size_t>(length)) __builtin_trap();
        echo::Report request = echo::BuildRequest(layout, layout.readCommand, chunk);
        echo::Report reply{};
        const auto rest = in.Rest();
        if (!rest.empty()) std::memcpy(reply.data(), rest.data(), std::min(rest.size(), reply.size()));
        if (echo::IsEcho(layout, request, reply, received)) {
            const auto bytes = echo::ReplyData(layout, reply, chunk.length);
            if (bytes.size() != chunk.length || !Within(bytes, reply)) __builtin_trap();
            volatile std::uint8_t sink = 0;
            for (auto b : bytes) sink = sink ^ b;
        }
    }
    return 0;
}
