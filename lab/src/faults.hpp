// Faults a simulated device can inject, by name.
#pragma once

#include <span>
#include <string_view>

namespace lab {

enum class Fault { None, Silent, WrongAddress, WrongLength, Stale, Vanish, Late };

struct FaultInfo {
    std::string_view name;
    Fault fault;
    bool needs_delay;  // takes late-ms=
    std::string_view description;
};

const FaultInfo* find_fault(std::string_view name);
std::span<const FaultInfo> faults();

}  // namespace lab
