#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/CCommBase.h"

// The Yaltro console's text protocol and image layout, as pure functions.
//
// Image layout. The console keeps the EEPROM as 128 16-bit words; word i is
// bytes 2i (low) and 2i+1 (high) of our 256-byte identity image, so text
// fields, among them the serial number from byte 76, read in order. Numeric
// fields are kept most significant byte first by the console and least
// significant byte first by us, and are byte-swapped on the way in and out:
//   bytes 32-35 (words 16-17)  32-bit board number        swapped as 32 bits
//   bytes 36-37 (word 18)      16-bit hardware revision   swapped as 16 bits
//   bytes 38-39 (word 19)      16-bit options             swapped as 16 bits
// After a read, the 32-bit sum of the 16-bit words (our layout, low byte
// first) at word addresses 16-53, 77-91 and 94-98 is stored at bytes 184-187
// (words 92 and 93, low byte first). The console computes its own copy of
// those two words, which is why they are read but never written.
namespace yaltro {

inline constexpr const char* kPrompt = "Yaltro>";
inline constexpr const char* kUserName = "user name";
inline constexpr const char* kUserPassword = "user password";
inline constexpr const char* kConsoleProgram = "Console Program";
inline constexpr const char* kDefaultLogin = "mopradelkin";
inline constexpr std::uint8_t kConsoleProgramAnswer = 0x04;

// Word addresses read, in order (16-53, 77-98), and written (the same without 92, 93).
const std::vector<int>& ReadWords();
const std::vector<int>& WrittenWords();
// Byte ranges [first, last) of the image that a write changes.
std::vector<ByteRange> WrittenByteRanges();

std::string ReadCommand(int word);                        // "eeprom read %d\r"
std::string WriteCommand(int word, std::uint16_t value);  // "eeprom write %d %04X\r"
std::string LoginLine(std::string_view login);            // login + "\r"

// What a read reply says, once every blank is removed: the three characters
// after "Addr=" as a decimal address, the four after "value=" as a hex value.
struct WordReply {
    enum class Kind { Word, Malformed } kind = Kind::Malformed;
    int address = -1;
    std::uint16_t value = 0;
};
WordReply ParseWordReply(std::string_view text);

// What the handshake should do with the text received so far.
enum class ConsoleScreen { Prompt, Login, ConsoleProgram, Nothing };
ConsoleScreen Classify(std::string_view text);

// The two prompts the handshake answers, each looked for on its own: one
// screen may show both (a login prompt: "user name" or "user password").
struct ConsoleScreens {
    bool login = false;
    bool consoleProgram = false;
};
ConsoleScreens Screens(std::string_view text);

using Image = std::span<std::uint8_t, 256>;
void ConsoleToImage(Image image);  // swaps the numeric fields, then stores the sum
void ImageToConsole(Image image);  // swaps the numeric fields back
std::uint32_t WordSum(std::span<const std::uint8_t, 256> image);

}  // namespace yaltro
