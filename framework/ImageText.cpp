#include "ImageText.h"

#include <algorithm>
#include <cstdio>

namespace {

bool Printable(std::uint8_t c) { return c >= 0x20 && c <= 0x7e; }

}  // namespace

std::string SerialNumberProblem(std::string_view text) {
    if (text.empty()) return "the serial number is empty";
    if (text.size() > kMaxSerialLength)
        return "the serial number has " + std::to_string(text.size()) + " characters; at most " +
               std::to_string(kMaxSerialLength) + " fit in the image";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(text[i]);
        if (!Printable(c)) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02x", c);
            return "character " + std::to_string(i + 1) + " of the serial number (" + code +
                   ") is not printable ASCII (space to '~')";
        }
    }
    return {};
}

std::optional<IdentityImage> ReplaceSerialNumber(const IdentityImage& image, std::string_view text,
                                                 std::string& error) {
    error = SerialNumberProblem(text);
    if (!error.empty()) return std::nullopt;
    IdentityImage out = image;
    std::copy(text.begin(), text.end(), out.begin() + kSerialOffset);
    out[kSerialOffset + text.size()] = 0;
    return out;
}

std::string PrintableSerial(std::span<const std::uint8_t> image) {
    std::string out;
    for (char c : SerialNumberOf(image)) {
        const auto b = static_cast<std::uint8_t>(c);
        if (Printable(b) && c != '\\') {
            out += c;
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", b);
            out += code;
        }
    }
    return out;
}

std::string FormatImageView(std::span<const std::uint8_t> image) {
    std::string out = "S/N: " + PrintableSerial(image) + "\n";
    char cell[24];
    for (std::size_t row = 0; row < image.size(); row += 16) {
        std::snprintf(cell, sizeof cell, "%04zx ", row);
        out += cell;
        std::string text;
        for (std::size_t i = row; i < row + 16; ++i) {
            if (i - row == 8) out += ' ';
            if (i < image.size()) {
                std::snprintf(cell, sizeof cell, " %02x", image[i]);
                out += cell;
                text += Printable(image[i]) ? static_cast<char>(image[i]) : '.';
            } else {
                out += "   ";
            }
        }
        out += "  |" + text + "|\n";
    }
    return out;
}
