// Faults a simulated device can inject, by name.
#pragma once

#include <span>
#include <string_view>

namespace lab {

enum class Fault { None, Silent, WrongAddress, WrongLength, Stale, Vanish, Late, Garble, FfReply, NoDownloadAck, NoClearAck, PadStartBusy };

struct FaultInfo {
    std::string_view name;
    Fault fault;
    bool needs_delay;  // takes late-ms=
    bool command_protocol_only;  // only the tavik command protocol has the commands it concerns
    std::string_view description;
};

const FaultInfo* find_fault(std::string_view name);
std::span<const FaultInfo> faults();

}  // namespace lab
