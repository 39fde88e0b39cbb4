#include "YaltroConsole.h"

#include <cstdio>

namespace yaltro {
namespace {

constexpr int kSumOffset = 184;  // words 92, 93

std::vector<int> Words(bool written) {
    std::vector<int> w;
    for (int i = 16; i <= 53; ++i) w.push_back(i);
    for (int i = 77; i <= 98; ++i)
        if (!written || (i != 92 && i != 93)) w.push_back(i);
    return w;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void Swap16(Image image, int offset) { std::swap(image[offset], image[offset + 1]); }

void Swap32(Image image, int offset) {
    std::swap(image[offset], image[offset + 3]);
    std::swap(image[offset + 1], image[offset + 2]);
}

void SwapFields(Image image) {
    Swap32(image, 32);
    Swap16(image, 36);
    Swap16(image, 38);
}

}  // namespace

const std::vector<int>& ReadWords() {
    static const std::vector<int> words = Words(false);
    return words;
}

const std::vector<int>& WrittenWords() {
    static const std::vector<int> words = Words(true);
    return words;
}

std::vector<ByteRange> WrittenByteRanges() { return {{32, 108}, {154, 184}, {188, 198}}; }

std::string ReadCommand(int word) { return "eeprom read " + std::to_string(word) + "\r"; }

std::string WriteCommand(int word, std::uint16_t value) {
    char text[48];
    std::snprintf(text, sizeof text, "eeprom write %d %04X\r", word, static_cast<unsigned>(value));
    return text;
}

std::string LoginLine(std::string_view login) { return std::string(login) + "\r"; }

WordReply ParseWordReply(std::string_view raw) {
    std::string text;
    text.reserve(raw.size());
    for (char c : raw)
        if (c != ' ') text.push_back(c);
    WordReply reply;
    const auto addr = text.find("Addr=");
    const auto value = text.find("value=");
    if (addr == std::string::npos || value == std::string::npos) return reply;
    // Up to three decimal digits, at least one; the field never reaches past the text.
    std::size_t at = addr + 5;
    int address = 0, digits = 0;
    while (digits < 3 && at < text.size() && text[at] >= '0' && text[at] <= '9') {
        address = address * 10 + (text[at] - '0');
        ++at;
        ++digits;
    }
    if (digits == 0) return reply;
    at = value + 6;
    if (at + 4 > text.size()) return reply;
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
        const int d = HexDigit(text[at + static_cast<std::size_t>(k)]);
        if (d < 0) return reply;
        v = v * 16 + static_cast<unsigned>(d);
    }
    reply.kind = WordReply::Kind::Word;
    reply.address = address;
    reply.value = static_cast<std::uint16_t>(v);
    return reply;
}

ConsoleScreen Classify(std::string_view text) {
    if (text.find(kPrompt) != std::string_view::npos) return ConsoleScreen::Prompt;
    if (text.find(kUserName) != std::string_view::npos || text.find(kUserPassword) != std::string_view::npos)
        return ConsoleScreen::Login;
    if (text.find(kConsoleProgram) != std::string_view::npos) return ConsoleScreen::ConsoleProgram;
    return ConsoleScreen::Nothing;
}

ConsoleScreens Screens(std::string_view text) {
    ConsoleScreens s;
    s.login = text.find(kUserName) != std::string_view::npos || text.find(kUserPassword) != std::string_view::npos;
    s.consoleProgram = text.find(kConsoleProgram) != std::string_view::npos;
    return s;
}

std::uint32_t WordSum(std::span<const std::uint8_t, 256> image) {
    std::uint32_t sum = 0;
    for (int w : WrittenWords())
        sum += static_cast<std::uint32_t>(image[2 * w] | (image[2 * w + 1] << 8));
    return sum;
}

void ConsoleToImage(Image image) {
    SwapFields(image);
    const std::uint32_t sum = WordSum(image);
    for (int k = 0; k < 4; ++k) image[kSumOffset + k] = static_cast<std::uint8_t>(sum >> (8 * k));
}

void ImageToConsole(Image image) { SwapFields(image); }

}  // namespace yaltro
