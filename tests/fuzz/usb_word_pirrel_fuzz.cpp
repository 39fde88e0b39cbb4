// Brantle-311/S61 word reports and Pirrel USBXpress packets: chunking of any
// transfer length, the requests built for each chunk, and reply recognition
// and data extraction for any reply bytes and any received count.
#include <algorithm>
#include <cstring>

#include "FuzzInput.h"
#include "families/usb/PirrelProtocol.h"
#include "families/usb/WordProtocol.h"

namespace {

void Word(std::int32_t length, std::size_t index, std::size_t received, bool write, bool answer,
          std::span<const std::uint8_t> rest) {
    const std::size_t n = wordproto::ChunkCount(length);
    if (length <= 0) {
        if (n != 0) __builtin_trap();
        return;
    }
    if (n * wordproto::kChunkSize < static_cast<std::size_t>(length)) __builtin_trap();
    const wordproto::Chunk c = wordproto::ChunkAt(length, index % n);
    if (c.length == 0 || c.length > wordproto::kChunkSize) __builtin_trap();
    if (c.offset + c.length > static_cast<std::size_t>(length)) __builtin_trap();
    // The words asked for cover the bytes wanted, and no more than one byte beyond.
    if (c.byteAddress != c.offset || c.wordAddress * 2u != c.byteAddress) __builtin_trap();
    if (c.wordCount * 2u < c.length || c.wordCount * 2u > c.length + 1) __builtin_trap();

    const std::uint8_t command = write ? wordproto::kWrite : wordproto::kRead;
    const echo::Report request = wordproto::BuildRequest(command, c, rest);
    if (request[0] != command || request[1] != 0) __builtin_trap();
    if ((request[2] | (request[3] << 8)) != c.wordAddress || (request[4] | (request[5] << 8)) != c.wordCount)
        __builtin_trap();
    const std::size_t copied = std::min(rest.size(), c.length);
    if (!std::equal(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(copied),
                    request.begin() + wordproto::kDataOffset))
        __builtin_trap();
    for (std::size_t i = wordproto::kDataOffset + copied; i < request.size(); ++i)
        if (request[i] != 0) __builtin_trap();

    // The reply from the input; with `answer`, byte 0 is the reply code and the input follows it.
    echo::Report reply{};
    const std::size_t from = answer ? 1 : 0;
    if (answer) reply[0] = static_cast<std::uint8_t>(command | wordproto::kReplyFlag);
    if (!rest.empty()) std::memcpy(reply.data() + from, rest.data(), std::min(rest.size(), reply.size() - from));
    const bool accepted = wordproto::IsReply(command, reply, received);
    if (accepted != (received >= 1 && reply[0] == static_cast<std::uint8_t>(command | wordproto::kReplyFlag)))
        __builtin_trap();
    if (accepted) {
        const auto bytes = wordproto::ReplyData(reply, c.length);
        if (bytes.size() != c.length || !Within(bytes, reply) ||
            bytes.data() != reply.data() + wordproto::kDataOffset)
            __builtin_trap();
    }
}

void Pirrel(std::int32_t length, std::size_t index, std::size_t received, bool write, bool answer,
            std::span<const std::uint8_t> rest) {
    const std::size_t n = pirrel::ChunkCount(length);
    if (length <= 0) {
        if (n != 0) __builtin_trap();
        return;
    }
    if (n * pirrel::kChunkSize < static_cast<std::size_t>(length)) __builtin_trap();
    const pirrel::Chunk c = pirrel::ChunkAt(length, index % n);
    if (c.length == 0 || c.length > pirrel::kChunkSize) __builtin_trap();
    if (c.offset + c.length > static_cast<std::size_t>(length) || c.address != c.offset % 256) __builtin_trap();

    const std::uint8_t command = write ? pirrel::kWrite : pirrel::kRead;
    const pirrel::Packet request = pirrel::BuildRequest(command, c, rest);
    if (request[0] != command || request[1] != c.address || request[2] != c.length) __builtin_trap();
    const std::size_t copied = std::min(rest.size(), c.length);
    if (!std::equal(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(copied),
                    request.begin() + pirrel::kDataOffset))
        __builtin_trap();

    // The reply: the request's header, then the input (from byte 0 unless `answer`).
    pirrel::Packet reply = request;
    const std::size_t from = answer ? pirrel::kDataOffset : 0;
    if (!rest.empty()) std::memcpy(reply.data() + from, rest.data(), std::min(rest.size(), reply.size() - from));
    const bool accepted = pirrel::IsReply(request, reply, received);
    const bool header = reply[0] == request[0] && reply[1] == request[1] && reply[2] == request[2];
    if (accepted != (received >= 1 && header)) __builtin_trap();
    if (accepted) {
        const auto bytes = pirrel::ReplyData(reply, c.length);
        if (bytes.size() != c.length || !Within(bytes, reply) || bytes.data() != reply.data() + pirrel::kDataOffset)
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t mode = in.U8();
    const std::int32_t length = static_cast<std::int32_t>(in.U16()) - 8;  // a few negative lengths too
    const std::size_t index = in.U16();
    const std::size_t received = in.U8();
    const bool write = mode & 2, answer = mode & 4;
    if (mode & 1)
        Pirrel(length, index, received, write, answer, in.Rest());
    else
        Word(length, index, received, write, answer, in.Rest());
    return 0;
}
