// Evra and Kalder replies: recognition, discovered address, EEPROM data.
#include "FuzzInput.h"
#include "families/net/LomberEvraProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const wire::Bytes reply(data, size);
    volatile std::uint32_t sink = 0;
    for (auto dialect : {lomber::Dialect::Evra, lomber::Dialect::Kalder}) {
        for (std::uint16_t command : {lomber::kCmdDiscover, lomber::kEvraCmdRead, lomber::kKalderCmdWrite})
            sink = sink + lomber::IsReply(dialect, reply, command, size);
        if (auto address = lomber::DiscoveredAddress(dialect, reply)) sink = sink + *address;
    }
    if (auto bytes = lomber::EvraReadData(reply)) {
        if (bytes->size() != lomber::kImageBytes || !Within(*bytes, reply)) __builtin_trap();
        for (auto b : *bytes) sink = sink + b;
    }
    if (auto bytes = lomber::KalderReadData(reply)) {
        if (!Within(*bytes, reply)) __builtin_trap();
        for (auto b : *bytes) sink = sink + b;
    }
    sink = sink + lomber::IsEvraWriteReply(reply) + lomber::IsKalderWriteReply(reply);
    return 0;
}
