#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// brevane-cli program and station: production programming of serial numbers
// from a sequence over many modules.
namespace cli {

struct ProgramArgs {
    std::optional<std::string> serialFrom;
    std::optional<std::string> sequence;
    std::optional<std::string> report;
    std::optional<std::string> countText;
    bool dryRun = false;
    bool Any() const { return serialFrom || sequence || report || countText || dryRun; }
};

// Takes an option of program and station from the command line: 1 taken, 0
// not one of them, -1 refused (error says why). `value` fetches the option's
// value (the next word or what followed '='); `attached` says a value followed '='.
int TakeProgramOption(const std::string& arg, const std::function<std::optional<std::string>(const char*)>& value,
                      bool attached, ProgramArgs& args, std::string& error);

// What the command line gave besides the program options.
struct ProgramCall {
    std::string command;  // "program" or "station"
    std::optional<std::string> family;
    bool json = false;
    std::optional<std::string> backupDir;
    bool moduleGiven = false;  // --module, --card, --mode, --expect-serial or -o: not for these commands
    std::vector<std::string> positional;
    ProgramArgs args;
};

int CmdProgram(const ProgramCall& call);
int CmdStation(const ProgramCall& call);

extern const char* const kProgramHelp;
extern const char* const kStationHelp;

}  // namespace cli
