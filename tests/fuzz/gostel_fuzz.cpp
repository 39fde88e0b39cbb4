// Gostel chassis replies: discovery, slot table, EEPROM replies and data.
#include "FuzzInput.h"
#include "families/net/GostelProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint16_t type = in.U8() & 1 ? gostel::kControllerType : in.U16();
    const std::uint16_t sub = gostel::SubCommand(type, in.U8() & 1, in.U8() & 1);
    const wire::Bytes reply = in.Rest();
    volatile std::uint32_t sink = gostel::IsDiscoveryReply(reply);
    if (auto table = gostel::ParseSlotTable(reply)) {
        if (table->size() > gostel::kSlots) __builtin_trap();
        for (const auto& e : *table) sink = sink + e.cardType + gostel::IsCardPresent(e.status) +
                                            static_cast<std::uint32_t>(gostel::CardTypeText(e.cardType).size());
    }
    sink = sink + gostel::IsEepromReply(reply, sub);
    if (auto bytes = gostel::EepromData(reply, sub)) {
        if (bytes->size() != gostel::kChunk || !Within(*bytes, reply)) __builtin_trap();
        for (auto b : *bytes) sink = sink + b;
    }
    return 0;
}
