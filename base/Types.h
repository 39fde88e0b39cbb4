#pragma once
#include <cstdint>

// 32-bit truth value of the family interface: 0 means failure or no.
using BOOL = std::int32_t;
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
