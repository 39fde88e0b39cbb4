// Hevra chassis: discovery replies, and TCP replies as the stream cuts them
// (segment lengths from the input) through reassembly, identity, slot table
// and EEPROM read data.
#include "FuzzInput.h"
#include "families/net/HevraProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    static const std::uint16_t kCodes[] = {hevra::kIdentify, hevra::kSlotTable, hevra::kReadController,
                                           hevra::kReadCard, hevra::kWriteController, hevra::kWriteCard};
    const std::uint16_t request = kCodes[in.U8() % 6];
    const std::uint16_t byteCount = in.U16() % 1100;
    const std::uint8_t cuts[4] = {in.U8(), in.U8(), in.U8(), in.U8()};
    const wire::Bytes stream = in.Rest();
    volatile std::uint32_t sink = hevra::IsDiscoveryReply(stream);
    if (auto code = hevra::CodeOf(stream)) sink = sink + *code;

    const std::uint16_t expected = hevra::ReplyCode(request);
    const std::size_t needed = hevra::NeededReplyLength(request, byteCount);
    std::vector<std::uint8_t> pending;
    std::size_t at = 0;
    for (int k = 0; at < stream.size(); ++k) {
        const std::size_t len = std::min<std::size_t>(stream.size() - at, std::size_t{cuts[k % 4]} * 8 + 1);
        const auto verdict = hevra::GatherReply(pending, stream.subspan(at, len), expected, needed);
        at += len;
        if (pending.size() > hevra::kReceiveLimit) __builtin_trap();
        if (verdict != hevra::Gathered::Complete) continue;
        if (auto id = hevra::ParseIdentifyReply(pending)) sink = sink + id->chassisId;
        if (auto table = hevra::ParseSlotTable(pending))
            for (const auto& e : *table) sink = sink + e.cardType + hevra::IsCardPresent(e.presence);
        if (auto bytes = hevra::ReadReplyData(pending, request, byteCount)) {
            if (bytes->size() != byteCount || !Within(*bytes, pending)) __builtin_trap();
            for (auto b : *bytes) sink = sink + b;
        }
        pending.clear();
    }
    return 0;
}
