#pragma once
// The command line of brevane-cli: its options, the usage and the help of
// each command, and the parsing that turns argv into Options.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ProgramCommands.h"

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the command ran but did not succeed
constexpr int kExitUsage = 2;   // bad arguments, nothing done

extern const char* kUsage;
// The help of one command; nullptr for a name that is none.
const char* HelpOf(const std::string& command);

struct Options {
    std::string command;  // the first word that is not an option
    int verbosity = 0;
    bool help = false;
    bool version = false;
    bool all = false;
    bool json = false;
    bool originalTiming = false;
    std::optional<std::string> target;
    std::optional<std::string> family;
    std::optional<std::int32_t> module;
    std::optional<std::int32_t> card;  // 1-based row of the card-selection dialog
    std::optional<int> mode;           // 0 = Initialize, 1 = Modify
    std::optional<std::string> output;
    std::optional<std::string> backupDir;
    bool askYaltroPassword = false;
    std::optional<std::string> yaltroPasswordFile;
    // The serial numbers of which the module must hold one before a write
    // (--expect-serial may be given more than once).
    std::vector<std::string> expectSerial;
    bool show = false;
    cli::ProgramArgs program;  // the options of program
    std::vector<std::string> positional;
};

// Parses the whole command line: options may stand anywhere, before or after
// the command, and take their value as the next word or after '='. The first
// word that is not an option is the command. False with a message on bad input.
bool ParseOptions(int argc, char** argv, int first, Options& o, std::string& error);

// A module number or row as typed: digits only; nullopt otherwise.
std::optional<std::int32_t> ParseIndex(const std::string& text);

// The Yaltro login text from the options; false with a message when it cannot be had.
bool ApplyYaltroPassword(const Options& o, std::string& error);

}  // namespace cli
