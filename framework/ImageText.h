#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "DeviceInfo.h"

// Editing and showing the serial number and the bytes of an identity image;
// pure functions shared by both front ends.

// Longest serial number an image holds with its zero byte: bytes 76 to 254
// for the text, byte 255 at the latest for the zero.
constexpr std::size_t kMaxSerialLength = kImageSize - kSerialOffset - 1;

// Why `text` cannot be written as a serial number (printable ASCII, space to
// '~', 1 to kMaxSerialLength characters); empty when it can.
std::string SerialNumberProblem(std::string_view text);

// The image with bytes 76 onward replaced by `text` and one zero byte; every
// other byte, also those after the new zero byte, is kept. Refused text gives
// nullopt and the reason in `error`.
std::optional<IdentityImage> ReplaceSerialNumber(const IdentityImage& image, std::string_view text,
                                                 std::string& error);

// Serial number text for display: bytes outside printable ASCII as \xNN.
std::string PrintableSerial(std::span<const std::uint8_t> image);

// A readable view of an image: a "S/N: ..." line, then a hex dump of 16
// bytes a line with the offset in front and the printable bytes beside it
// ('.' for the others). Every line ends in '\n'.
std::string FormatImageView(std::span<const std::uint8_t> image);
