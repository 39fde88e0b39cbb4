#include "Options.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "families/net/CComm_Yaltro.h"
#include "framework/ConnDev.h"

namespace cli {

const char* kUsage =
    "usage: brevane-cli [-v] [--json] COMMAND [OPTIONS] [ARGS]\n"
    "  families [--json]                list the device families that can be searched\n"
    "  discover [--json] [--target IP] (NAME... | --all)\n"
    "                                   search for the named families and list their modules\n"
    "  read --family NAME --module N [--target IP] [-o FILE] [--show]\n"
    "                                   read a module's 256-byte identity image (--show: view it)\n"
    "  write --family NAME --module N [--target IP] [--backup-dir DIR] [--expect-serial OLD] FILE\n"
    "                                   back up, write, read back and compare an identity image\n"
    "  set-serial --family NAME --module N [--target IP] [--backup-dir DIR] [--expect-serial OLD] NEW\n"
    "                                   give a module serial number NEW: its own image with only\n"
    "                                   the serial text replaced, written the way write does\n"
    "  show FILE                        serial number and hex dump of an image file\n"
    "  program --family NAME (--serial-from TEXT | --sequence NAME) [--count N] [--report FILE]\n"
    "          [--dry-run]              give every module found the next serial of a sequence\n"
    "  station --family NAME --sequence NAME [--report FILE]\n"
    "                                   program each instrument of the family as it is plugged in\n"
    "  read|write|set-serial --family NAME --card ROW [--mode initialize|modify] [--target IP] ...\n"
    "                                   the same through a chassis family's card selection\n"
    "options may come before or after the command; family names may be written in any\n"
    "case, with or without blanks and dashes (tesk100 is \"Tesk - 100\")\n"
    "  -v, --verbose    more log detail (repeatable)   --json   JSON on standard output\n"
    "  -h, --help       this help, or a command's      --version  the program's version\n"
    "  --original-timing  sit out every fixed protocol wait in full, as the instruments'\n"
    "                   first software did (default: a wait for a reply ends when it comes)\n"
    "`brevane-cli COMMAND --help` or `brevane-cli help COMMAND` describes one command.\n"
    "options for the Yaltro console (any command):\n"
    "  --yaltro-password                ask for the console's login text (not echoed)\n"
    "  --yaltro-password-file FILE      take it from the first line of FILE\n"
    "                                   (default login text: the maker's)\n"
    "exit status: 0 done; 1 the command failed (or discover found no module); 2 bad arguments;\n"
    "130 stopped by Ctrl-C (a write is never stopped: Ctrl-C waits for its end)\n";

// The help of each command, for `brevane-cli COMMAND --help`.
struct CommandHelp {
    const char* name;
    const char* text;
};
const CommandHelp kCommandHelp[] = {
    {"families",
     "usage: brevane-cli families [--json]\n"
     "Lists the registry's device families in search order with their progress weight, whether\n"
     "they need a target address, and whether this build has them; then the Orvel catalogue.\n"
     "  --json   one JSON object: {\"ok\":true,\"families\":[{\"name\",\"weight\",\"needsTarget\",\n"
     "           \"available\"}...],\"orvelCatalogue\":[...]}\n"},
    {"discover",
     "usage: brevane-cli discover [--json] [--target IP] (NAME... | --all)\n"
     "Searches the named families (see `brevane-cli families`), reads every module's identity\n"
     "image and lists the modules with their serial numbers. NAME is matched without regard to\n"
     "case, blanks or dashes. The search log goes to standard error; on a terminal a one-line\n"
     "progress indicator shows there too (not with --json).\n"
     "  --all          search every family this build has\n"
     "  --target IP    the address for families that need one (default: the first suggestion)\n"
     "  --json         the modules as JSON on standard output\n"
     "Ctrl-C stops the search at its next wait; the modules found so far are listed.\n"
     "exit status: 0 modules found; 1 none found; 2 bad arguments; 130 stopped by Ctrl-C\n"},
    {"read",
     "usage: brevane-cli read --family NAME (--module N | --card ROW [--mode M]) [--target IP]\n"
     "                        [-o FILE] [--json]\n"
     "Reads a module's 256-byte identity image and prints it as hex with its serial number,\n"
     "or saves it to FILE.\n"
     "  --family NAME    the module's family (matched as discover's names)\n"
     "  --module N       the module index, as discover lists it\n"
     "  --card ROW       a chassis family's card, ROW as in the dialog's \"No.\" column (from 1)\n"
     "  --mode M         initialize or modify, as the card dialog's Operation Mode\n"
     "  --target IP      the address for families that need one\n"
     "  -o, --output F   save the image to file F\n"
     "  --show           print the image as show does, also with -o\n"},
    {"write",
     "usage: brevane-cli write --family NAME (--module N | --card ROW [--mode M]) [--target IP]\n"
     "                         [--backup-dir DIR] [--expect-serial S/N] [--json] FILE\n"
     "Saves the module's current image to a new backup file, writes the 256-byte image FILE,\n"
     "reads it back and compares. Warns when the new serial number is that of another module\n"
     "of the last search, and says which module (and serial number) it writes. A failure after\n"
     "the backup names the step and chunk, the backup file and the command that restores it.\n"
     "  --family NAME, --module N, --card ROW, --mode M, --target IP   as for read\n"
     "  --backup-dir DIR   where the backup goes (default: the user's data directory)\n"
     "  --expect-serial OLD   write only if the module's current serial number is OLD (given more\n"
     "                        than once: one of them)\n"
     "  --json   {\"ok\":false,...,\"step\",\"chunk\",\"backup\",\"restore\"} on failure;\n"
     "           \"kept_differing\": bytes the family does not write that differ from FILE\n"
     "After the backup it prints the command that writes the backup back (only to a module with\n"
     "the serial number it had or was given). A family that writes part of the image refuses an\n"
     "image whose serial number it would not write whole, and names the other bytes it kept.\n"},
    {"set-serial",
     "usage: brevane-cli set-serial --family NAME (--module N | --card ROW [--mode M]) [--target IP]\n"
     "                              [--backup-dir DIR] [--expect-serial OLD] [--json] NEW\n"
     "Gives a module the serial number NEW in one step: reads its image, saves it as the backup,\n"
     "replaces bytes 76 onward with NEW and one zero byte (every other byte stays), writes, reads\n"
     "back and compares, as write does. NEW must be printable ASCII (space to '~'), 1 to 179\n"
     "characters (write `-- NEW` when it begins with '-'); anything else exits 2, nothing written.\n"
     "  --family NAME, --module N, --card ROW, --mode M, --target IP, --backup-dir DIR   as for write\n"
     "  --expect-serial OLD   set it only if the module's current serial number is OLD\n"
     "  --json   {\"ok\",\"old_serial\",\"serial\",\"backup\",\"restore\"}; on failure also \"error\", \"step\"\n"
     "A family that writes only part of the image takes shorter serial numbers (Yaltro: 31\n"
     "characters); a longer one is refused with nothing written.\n"
     "exit status: 0 set and verified; 1 a step failed; 2 bad arguments or NEW refused\n"},
    {"show",
     "usage: brevane-cli show [--json] FILE\n"
     "Prints the serial number of a 256-byte image file and a hex dump, 16 bytes a line, with\n"
     "offsets and the printable bytes beside it.\n"
     "  --json   {\"ok\":true,\"serial\",\"image\"} with the image as hex\n"},
};

const char* HelpOf(const std::string& command) {
    if (command == "program") return cli::kProgramHelp;
    if (command == "station") return cli::kStationHelp;
    for (const auto& h : kCommandHelp)
        if (command == h.name) return h.text;
    return nullptr;
}

std::optional<std::int32_t> ParseIndex(const std::string& text) {
    if (text.empty() || text.size() > 6) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    return static_cast<std::int32_t>(std::stol(text));
}

namespace {

// One line of text, without its line end; from the terminal with echo off
// when there is one, else from standard input.
std::optional<std::string> AskSecret(const char* question) {
    FILE* tty = std::fopen("/dev/tty", "r+");
    FILE* in = tty ? tty : stdin;
    termios saved{};
    const bool echoOff = tty && tcgetattr(fileno(tty), &saved) == 0;
    if (echoOff) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
        std::fputs(question, tty);
        std::fflush(tty);
    }
    char line[256];
    const bool got = std::fgets(line, sizeof line, in) != nullptr;
    if (echoOff) {
        tcsetattr(fileno(tty), TCSAFLUSH, &saved);
        std::fputs("\n", tty);
    }
    if (tty) std::fclose(tty);
    if (!got) return std::nullopt;
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

bool ApplyYaltroPassword(const Options& o, std::string& error) {
    std::optional<std::string> text;
    if (o.yaltroPasswordFile) {
        std::ifstream in(*o.yaltroPasswordFile);
        std::string line;
        if (!in || !std::getline(in, line)) {
            error = "--yaltro-password-file: cannot read " + *o.yaltroPasswordFile;
            return false;
        }
        while (!line.empty() && line.back() == '\r') line.pop_back();
        text = line;
    } else if (o.askYaltroPassword) {
        text = AskSecret("Yaltro console password: ");
        if (!text) {
            error = "--yaltro-password: no password given";
            return false;
        }
    }
    if (text) CComm_Yaltro::SetLoginText(*text);
    return true;
}

bool ParseOptions(int argc, char** argv, int first, Options& o, std::string& error) {
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> attached;  // --name=value
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                attached = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        auto value = [&](const char* name) -> std::optional<std::string> {
            if (attached) return attached;
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        auto flag = [&](const char* name) {
            if (attached) error = std::string(name) + " takes no value";
            return !attached;
        };
        const bool isFlag = arg == "-v" || arg == "--verbose" || arg == "-h" || arg == "--help" ||
                            arg == "--version" || arg == "--all" || arg == "--json" ||
                            arg == "--original-timing";
        if (isFlag && !flag(arg.c_str())) return false;
        if (arg == "-v" || arg == "--verbose") {
            ++o.verbosity;
        } else if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--all") {
            o.all = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--original-timing") {
            o.originalTiming = true;
        } else if (arg == "--target") {
            auto v = value("--target");
            if (!v) return false;
            auto cleaned = conndev::Clean(*v);
            if (cleaned.verdict != conndev::Verdict::Ok) {
                error = "--target: " + std::string(cleaned.verdict == conndev::Verdict::Empty
                                                       ? conndev::kEmptyMessage
                                                       : conndev::kInvalidMessage);
                return false;
            }
            o.target = cleaned.address;
        } else if (arg == "--family") {
            if (!(o.family = value("--family"))) return false;
        } else if (arg == "--module") {
            auto v = value("--module");
            if (!v) return false;
            o.module = ParseIndex(*v);
            if (!o.module) {
                error = "--module: \"" + *v + "\" is not a module number";
                return false;
            }
        } else if (arg == "--card") {
            auto v = value("--card");
            if (!v) return false;
            o.card = ParseIndex(*v);
            if (!o.card || *o.card < 1) {
                error = "--card: \"" + *v + "\" is not a row number (1, 2, ...)";
                return false;
            }
        } else if (arg == "--mode") {
            auto v = value("--mode");
            if (!v) return false;
            if (*v == "initialize")
                o.mode = 0;
            else if (*v == "modify")
                o.mode = 1;
            else {
                error = "--mode: \"" + *v + "\" is neither initialize nor modify";
                return false;
            }
        } else if (arg == "-o" || arg == "--output") {
            if (!(o.output = value("-o"))) return false;
        } else if (arg == "--backup-dir") {
            if (!(o.backupDir = value("--backup-dir"))) return false;
        } else if (arg == "--yaltro-password") {
            o.askYaltroPassword = true;
        } else if (arg == "--yaltro-password-file") {
            if (!(o.yaltroPasswordFile = value("--yaltro-password-file"))) return false;
        } else if (arg == "--expect-serial") {
            const auto serial = value("--expect-serial");
            if (!serial) return false;
            o.expectSerial.push_back(*serial);
        } else if (arg == "--show") {
            o.show = true;
        } else if (const int took = cli::TakeProgramOption(arg, value, attached.has_value(), o.program, error)) {
            if (took < 0) return false;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) {
                if (o.command.empty())
                    o.command = argv[i];
                else
                    o.positional.emplace_back(argv[i]);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (o.command.empty()) {
            o.command = arg;
        } else {
            o.positional.push_back(arg);
        }
    }
    return true;
}

}  // namespace cli
