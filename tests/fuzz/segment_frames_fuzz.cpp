// Frames captured off a segment: Nesbin raw-Ethernet replies (looked at only
// up to the copy bound) and the requests built for them, and the completion
// frames the Harlo library hands to the family's callback.
#include <algorithm>

#include "FuzzInput.h"
#include "families/usb/HarloFrames.h"
#include "families/usb/NesbinFrames.h"

namespace {

std::uint32_t U32Be(std::span<const std::uint8_t> f, std::size_t at) {
    return (std::uint32_t{f[at]} << 24) | (std::uint32_t{f[at + 1]} << 16) | (std::uint32_t{f[at + 2]} << 8) | f[at + 3];
}

void Nesbin(std::uint16_t address, std::size_t length, std::span<const std::uint8_t> captured) {
    const nesbin::Bytes frame = nesbin::Bounded(captured);
    if (frame.size() != std::min(captured.size(), nesbin::kCopyBound) || !Within(frame, captured)) __builtin_trap();

    const bool header = frame.size() >= 20 && frame[12] == 0x08 && frame[13] == 0x06 && frame[14] == 'C' &&
                        frame[15] == 'X' && frame[16] == 0 && frame[17] == 1;
    if (nesbin::IsReply(frame, frame.size() >= 20 ? frame[18] : 0, frame.size() >= 20 ? frame[19] : 0) != header)
        __builtin_trap();

    if (auto mac = nesbin::DiscoveredMac(frame)) {
        if (!header || frame[18] != nesbin::kDiscoverGroup || frame[19] != nesbin::kDiscoverCommand ||
            frame.size() < 30 || !std::equal(mac->begin(), mac->end(), frame.begin() + 24))
            __builtin_trap();
    }
    if (auto bytes = nesbin::ReadData(frame, length)) {
        if (!header || frame[18] != nesbin::kEepromGroup || frame[19] != nesbin::kReadCommand ||
            bytes->size() != length || !Within(*bytes, frame) ||
            bytes->data() != frame.data() + nesbin::kReadDataOffset)
            __builtin_trap();
    } else if (header && frame[18] == nesbin::kEepromGroup && frame[19] == nesbin::kReadCommand &&
               frame.size() >= nesbin::kReadDataOffset + length) {
        __builtin_trap();  // every byte asked for arrived, yet the reply was refused
    }

    // Requests: the instrument's MAC and ours from the frame's own address fields.
    nesbin::Mac instrument{}, source{};
    std::copy_n(frame.begin(), std::min<std::size_t>(6, frame.size()), instrument.begin());
    if (frame.size() > 6) std::copy_n(frame.begin() + 6, std::min<std::size_t>(6, frame.size() - 6), source.begin());
    const auto read = nesbin::ReadRequest(instrument, source, address, static_cast<std::uint16_t>(length));
    if (nesbin::IsReply(read, nesbin::kEepromGroup, nesbin::kReadCommand)) __builtin_trap();  // a request, not a reply
    if (!std::equal(instrument.begin(), instrument.end(), read.begin()) || U32Be(read, 20) != 4) __builtin_trap();
    const auto padded = nesbin::Padded(read);
    if (padded.size() != std::max(read.size(), nesbin::kMinFrame) || !std::equal(read.begin(), read.end(), padded.begin()))
        __builtin_trap();

    const nesbin::Bytes data = captured.first(std::min(captured.size(), length));
    const auto write = nesbin::WriteRequest(instrument, source, address, data);
    if (write.has_value() != (data.size() <= nesbin::kMaxBlock)) __builtin_trap();
    if (write) {
        if (write->size() != 30 + data.size() || U32Be(*write, 20) != 4 + data.size() ||
            !std::equal(data.begin(), data.end(), write->begin() + 28))
            __builtin_trap();
        if ((((*write)[24] << 8) | (*write)[25]) != address || (((*write)[26] << 8) | (*write)[27]) != static_cast<int>(data.size()))
            __builtin_trap();
    }
}

void Harlo(std::span<const std::uint8_t> frame) {
    const bool expected = frame.size() >= 22 && frame[14] == 0xFE && frame[15] == 0x00 && frame[18] == 0x00 &&
                          frame[19] == 0x1E && frame[20] == 0x00 && frame[21] == 0x00;
    if (harlo::IsCompletionFrame(frame) != expected) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t mode = in.U8();
    const std::uint16_t address = in.U16();
    const std::size_t length = in.U16() % 1200;  // beyond the copy bound too
    if (mode & 1)
        Harlo(in.Rest());
    else
        Nesbin(address, length, in.Rest());
    return 0;
}
