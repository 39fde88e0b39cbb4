// brevane-cli: the device search and identity-image transfers without a window.
// The options are parsed here, the run is set up (log level, pacing, the
// prompt) and one command runs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CliPrompt.h"
#include "Commands.h"
#include "FamilyLookup.h"
#include "Interrupt.h"
#include "Options.h"
#include "Output.h"
#include "ProgramCommands.h"
#include "base/Log.h"
#include "families/net/CComm_Jessor.h"
#include "framework/Prompt.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "framework/Wait.h"
#include "platform/VersionNote.h"

using namespace cli;

int main(int argc, char** argv) {
    cli::WatchInterrupts();
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, 1, o, error)) {
        for (int i = 1; i < argc; ++i)
            if (!std::strcmp(argv[i], "--json")) g_json = true;
        return Fail(kExitUsage, (o.command.empty() ? "" : o.command + ": ") + error);
    }
    g_json = o.json;
    if (o.originalTiming) {
        SetOriginalTiming(true);
        // The traffic-generator library reads its own switch at each exchange.
        setenv("TAVIKAPI_ORIGINAL_TIMING", "1", 1);
    }
    for (int i = 0; i < o.verbosity; ++i)
        SetLogLevel(static_cast<LogLevel>(static_cast<int>(CurrentLogLevel()) + 1));

    const std::string& command = o.command;
    if (o.version) {
        const std::string version = platform::ProductVersionOfRunningProgram();
        std::printf("brevane-cli %s\n", version.empty() ? "(version unknown)" : version.c_str());
        return kExitOk;
    }
    if (o.help) {
        const char* help = HelpOf(command);
        std::fputs(help ? help : kUsage, stdout);
        return kExitOk;
    }
    if (command.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (!ApplyYaltroPassword(o, error)) {
        return Fail(kExitUsage, command + ": " + error);
    }
    if (command == "help") {
        const char* help = o.positional.empty() ? kUsage : HelpOf(o.positional[0]);
        if (!help) return Fail(kExitUsage, "help: unknown command \"" + o.positional[0] + "\"");
        std::fputs(help, stdout);
        return kExitOk;
    }

    BuildOrvelCatalogue();
    // Names as the user typed them become the registry's own.
    if (o.family && !ResolveFamilyName(*o.family, command, error)) return Fail(kExitUsage, error);
    if (command == "discover") {
        if (o.all && !o.positional.empty()) return Fail(kExitUsage, "discover: give family names or --all, not both");
        if (o.all) o.positional = BuiltFamilies();
        for (auto& name : o.positional)
            if (!ResolveFamilyName(name, command, error)) return Fail(kExitUsage, error);
    } else if (o.all) {
        return Fail(kExitUsage, command + ": --all goes with discover");
    }

    if (o.program.Any() && command != "program" && command != "station")
        return Fail(kExitUsage, command + ": --serial-from, --sequence, --count, --report and --dry-run go with program");

    CliPrompt prompt(o.target, o.card, o.mode);
    g_prompt = &prompt;
    SetUserPrompt(&prompt);

    int rc = kExitUsage;
    if (command == "families")
        rc = CmdFamilies(o);
    else if (command == "discover")
        rc = CmdDiscover(o);
    else if (command == "read")
        rc = CmdRead(o);
    else if (command == "write")
        rc = CmdWrite(o);
    else if (command == "set-serial")
        rc = CmdSetSerial(o);
    else if (command == "show")
        rc = CmdShow(o);
    else if (command == "program")
        rc = cli::CmdProgram({command, o.family, o.json, o.backupDir,
                              o.module || o.card || o.mode || !o.expectSerial.empty() || o.output, o.positional, o.program});
    else if (command == "station")
        rc = cli::CmdStation({command, o.family, o.json, o.backupDir,
                              o.module || o.card || o.mode || !o.expectSerial.empty() || o.output, o.positional, o.program});
    else
        rc = Fail(kExitUsage, "unknown command \"" + command + "\" (see `brevane-cli --help`)");
    SetUserPrompt(nullptr);
    VornExit(false);
    return rc;
}
