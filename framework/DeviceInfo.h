#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "CObject.h"

// Size of the identity image: the first bytes of a module's configuration EEPROM.
constexpr std::size_t kImageSize = 256;
// Offset of the zero-terminated serial number text inside the identity image.
constexpr std::size_t kSerialOffset = 76;

using IdentityImage = std::array<std::uint8_t, kImageSize>;

// Serial number of an image: single-byte text from byte 76 up to the first zero
// byte, never past the end of what is given.
std::string SerialNumberOf(std::span<const std::uint8_t> image);

// One module found by a device search. Plain value semantics.
class CDeviceInfo : public CObject {
public:
    CDeviceInfo() { m_image.fill(0); }
    CDeviceInfo(std::string model, std::string serial, std::int32_t moduleIndex,
                const IdentityImage& image)
        : m_model(std::move(model)), m_serial(std::move(serial)), m_found(1),
          m_moduleIndex(moduleIndex), m_image(image) {}

    std::string m_model;
    std::string m_serial;
    std::int32_t m_found = 0;
    std::int32_t m_moduleIndex = 0;
    IdentityImage m_image;
};
