// The Yaltro console: word replies and screen recognition for any received
// text, and the image layout conversions for any image.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzInput.h"
#include "families/net/YaltroConsole.h"

namespace {

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A reply taken as a word really says that word: with the blanks removed, the
// digits after the first "Addr=" give the address and the four characters
// after the first "value=" give the value.
void CheckReply(std::string_view raw) {
    const yaltro::WordReply r = yaltro::ParseWordReply(raw);
    if (r.kind != yaltro::WordReply::Kind::Word) return;
    std::string text;
    std::copy_if(raw.begin(), raw.end(), std::back_inserter(text), [](char c) { return c != ' '; });
    const auto a = text.find("Addr="), v = text.find("value=");
    if (a == std::string::npos || v == std::string::npos || v + 10 > text.size()) __builtin_trap();
    if (r.address < 0 || r.address > 999) __builtin_trap();
    if (text[a + 5] < '0' || text[a + 5] > '9') __builtin_trap();
    int address = 0;
    for (std::size_t i = a + 5; i < a + 8 && i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        address = address * 10 + (text[i] - '0');
    if (address != r.address) __builtin_trap();
    unsigned value = 0;
    for (std::size_t i = v + 6; i < v + 10; ++i) {
        if (Hex(text[i]) < 0) __builtin_trap();
        value = value * 16 + static_cast<unsigned>(Hex(text[i]));
    }
    if (value != r.value) __builtin_trap();
}

void CheckImage(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, 256> original{};
    if (!bytes.empty()) std::memcpy(original.data(), bytes.data(), std::min(bytes.size(), original.size()));
    std::array<std::uint8_t, 256> image = original;
    yaltro::ConsoleToImage(image);
    // The numeric fields turned to our byte order, the sum stored, nothing else touched.
    const std::uint32_t sum = yaltro::WordSum(image);
    if ((image[184] | (image[185] << 8) | (image[186] << 16) | (std::uint32_t{image[187]} << 24)) != sum)
        __builtin_trap();
    if (image[32] != original[35] || image[35] != original[32] || image[33] != original[34] ||
        image[36] != original[37] || image[39] != original[38])
        __builtin_trap();
    for (std::size_t i = 0; i < image.size(); ++i)
        if ((i < 32 || i >= 40) && (i < 184 || i >= 188) && image[i] != original[i]) __builtin_trap();
    // And back: the console's image again, apart from the sum it computes itself.
    yaltro::ImageToConsole(image);
    for (std::size_t i = 0; i < image.size(); ++i)
        if ((i < 184 || i >= 188) && image[i] != original[i]) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t mode = in.U8();
    const auto rest = in.Rest();
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    if (mode & 1) {
        CheckImage(rest);
        return 0;
    }
    CheckReply(text);
    const yaltro::ConsoleScreen screen = yaltro::Classify(text);
    if (text.find(yaltro::kPrompt) != std::string_view::npos && screen != yaltro::ConsoleScreen::Prompt)
        __builtin_trap();
    if (screen != yaltro::ConsoleScreen::Nothing && text.find(yaltro::kPrompt) == std::string_view::npos &&
        text.find("user ") == std::string_view::npos && text.find(yaltro::kConsoleProgram) == std::string_view::npos)
        __builtin_trap();
    // A reply echoing the command, as the console answers a read, says what was asked.
    if (mode & 2) {
        const int word = ((mode >> 2) * 16 + (rest.empty() ? 0 : rest[0] % 16)) % 1000;
        const std::uint16_t value = rest.size() > 2 ? static_cast<std::uint16_t>(rest[1] | (rest[2] << 8)) : 0;
        const std::string command = yaltro::WriteCommand(word, value);
        char echoed[64];
        std::snprintf(echoed, sizeof echoed, "%s\nAddr= %03d  value= %04x\r\n%s", yaltro::ReadCommand(word).c_str(),
                      word, static_cast<unsigned>(value), yaltro::kPrompt);
        const yaltro::WordReply r = yaltro::ParseWordReply(echoed);
        if (r.kind != yaltro::WordReply::Kind::Word || r.address != word || r.value != value) __builtin_trap();
        if (yaltro::ParseWordReply(command).kind != yaltro::WordReply::Kind::Malformed) __builtin_trap();
    }
    return 0;
}
