#include "DeviceInfo.h"

#include <algorithm>

std::string SerialNumberOf(std::span<const std::uint8_t> image) {
    if (image.size() <= kSerialOffset) return {};
    auto first = image.begin() + kSerialOffset;
    auto end = std::find(first, image.end(), std::uint8_t{0});
    return std::string(first, end);
}
