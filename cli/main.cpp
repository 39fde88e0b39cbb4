// brevane-cli: the device search and identity-image transfers without a window.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CliPrompt.h"
#include "families/net/CComm_Jessor.h"
#include "FamilyNames.h"
#include "Interrupt.h"
#include "Json.h"
#include "families/net/CComm_Yaltro.h"
#include "Progress.h"
#include "ProgramCommands.h"
#include "framework/ConnDev.h"
#include "framework/DeviceSearch.h"
#include "framework/Job.h"
#include "base/Log.h"
#include "framework/ImageText.h"
#include "framework/ModuleIo.h"
#include "framework/Registry.h"
#include "framework/Wait.h"
#include "platform/Shell.h"
#include "platform/VersionNote.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the command ran but did not succeed
constexpr int kExitUsage = 2;   // bad arguments, nothing done

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

bool g_json = false;
class CliPrompt* g_prompt = nullptr;

int Fail(int code, const std::string& message) {
    if (g_json)
        std::printf("{\"ok\":false,\"error\":%s}\n", JsonString(message).c_str());
    else
        std::fprintf(stderr, "brevane-cli: %s\n", message.c_str());
    return code;
}

std::optional<std::int32_t> ParseIndex(const std::string& text) {
    if (text.empty() || text.size() > 6) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    return static_cast<std::int32_t>(std::stol(text));
}

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

// The Yaltro login text from the options; false with a message when it cannot be had.
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

// Parses the whole command line: options may stand anywhere, before or after
// the command, and take their value as the next word or after '='. The first
// word that is not an option is the command. False with a message on bad input.
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

bool KnownName(const std::string& name) {
    if (FamilyRegistry::Find(name)) return true;
    const auto& cat = FamilyRegistry::OrvelCatalogue();
    return std::find(cat.begin(), cat.end(), name) != cat.end();
}

// A serial number as text for the terminal: each byte one character, read as
// Latin-1 (as the JSON output and the window's grid show it), in UTF-8.
std::string Latin1ToUtf8(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A family that asks for no target ignores --target: say so rather than let it pass unnoticed.
bool TakesTarget(const std::string& name) {
    const _DeviceInfo* row = FamilyRegistry::Find(name);
    return !row || row->needsTarget == 1;  // Orvel catalogue names: the Orvel family takes one
}

std::string Hex(const IdentityImage& image) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : image) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The log of a search on standard error, lines as the window's log shows them;
// on a terminal through the one-line progress indicator.
class CliSink : public SearchSink {
public:
    explicit CliSink(TermProgress* bar = nullptr) : m_bar(bar) {}
    void Log(const std::string& text, bool newLine) override {
        if (m_bar) return m_bar->Log(text, newLine);
        if (newLine && m_any) std::fputc('\n', stderr);
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
        m_any = true;
    }
    void ProgressStart(std::int32_t total) override {
        if (m_bar) m_bar->Start(total);
    }
    void ProgressPause() override {
        if (m_bar) m_bar->Pause();
    }
    void ProgressResume() override {
        if (m_bar) m_bar->Resume();
    }
    void ProgressStop() override {
        if (m_bar) return m_bar->Stop();
        if (m_any) std::fputc('\n', stderr);
    }
    void ModuleFound(const CDeviceInfo&, const std::string& text) override { moduleTexts.push_back(text); }
    void FamilyProblem(const std::string& family, const std::string& reason) override {
        problems.emplace_back(family, reason);
    }
    std::vector<std::string> moduleTexts;
    std::vector<std::pair<std::string, std::string>> problems;  // family, reason

private:
    TermProgress* m_bar;
    bool m_any = false;
};

std::filesystem::path LastSearchFile() { return platform::UserDataDirectory() / "last-search.tsv"; }

void SaveLastSearch(const std::vector<CDeviceInfo>& found) {
    std::error_code ec;
    std::filesystem::create_directories(LastSearchFile().parent_path(), ec);
    std::ofstream out(LastSearchFile(), std::ios::trunc);
    for (const auto& f : found) out << f.m_model << '\t' << f.m_moduleIndex << '\t' << f.m_serial << '\n';
}

std::vector<CDeviceInfo> LoadLastSearch() {
    std::vector<CDeviceInfo> list;
    std::ifstream in(LastSearchFile());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string model, index, serial;
        if (!std::getline(fields, model, '\t') || !std::getline(fields, index, '\t')) continue;
        std::getline(fields, serial);
        auto n = ParseIndex(index);
        if (!n) continue;
        CDeviceInfo info;
        info.m_model = model;
        info.m_moduleIndex = *n;
        info.m_serial = serial;
        list.push_back(info);
    }
    return list;
}

int CmdFamilies(const Options& o) {
    if (!o.positional.empty()) return Fail(kExitUsage, "families: unexpected argument \"" + o.positional[0] + "\"");
    if (o.json) {
        std::string out = "{\"ok\":true,\"families\":[";
        bool firstRow = true;
        for (const auto& row : FamilyRegistry::Rows()) {
            const bool built = row.family && row.family->m_pfnCreateObject;
            out += firstRow ? "" : ",";
            firstRow = false;
            out += "{\"name\":" + JsonString(row.name) + ",\"weight\":" + std::to_string(row.weight) +
                   ",\"needsTarget\":" + (row.needsTarget ? "true" : "false") +
                   ",\"available\":" + (built ? "true" : "false") + "}";
        }
        out += "],\"orvelCatalogue\":[";
        const auto& cat = FamilyRegistry::OrvelCatalogue();
        for (std::size_t i = 0; i < cat.size(); ++i) out += (i ? "," : "") + JsonString(cat[i]);
        std::printf("%s]}\n", out.c_str());
        return kExitOk;
    }
    for (const auto& row : FamilyRegistry::Rows()) {
        const bool built = row.family && row.family->m_pfnCreateObject;
        std::printf("%-20s weight %-3d%s%s\n", row.name.c_str(), row.weight, row.needsTarget ? " needs-target" : "",
                    built ? "" : " (not available in this build)");
    }
    for (const auto& name : FamilyRegistry::OrvelCatalogue()) std::printf("%-20s (Orvel catalogue)\n", name.c_str());
    return kExitOk;
}

// Every name a search list may hold: the registry's rows, then the Orvel catalogue.
std::vector<std::string> KnownNames() {
    std::vector<std::string> names;
    for (const auto& row : FamilyRegistry::Rows()) names.push_back(row.name);
    for (const auto& name : FamilyRegistry::OrvelCatalogue()) names.push_back(name);
    return names;
}

// The registered name a typed family name stands for; false with the error
// (and the close names) when none.
bool ResolveFamilyName(std::string& name, const std::string& command, std::string& error) {
    const auto known = KnownNames();
    if (auto match = familynames::Resolve(name, known)) {
        name = *match;
        return true;
    }
    error = command + ": unknown family \"" + name + "\"";
    const auto close = familynames::Close(name, known);
    if (close.empty()) {
        error += " (see `brevane-cli families`)";
    } else {
        error += "; close names:";
        for (std::size_t i = 0; i < close.size(); ++i) error += (i ? ", \"" : " \"") + close[i] + "\"";
    }
    return false;
}

// Every family that this build has: the rows whose class makes an object.
std::vector<std::string> BuiltFamilies() {
    std::vector<std::string> names;
    for (const auto& row : FamilyRegistry::Rows())
        if (row.family && row.family->m_pfnCreateObject) names.push_back(row.name);
    return names;
}

int CmdDiscover(const Options& o) {
    if (o.card || o.mode) return Fail(kExitUsage, "discover: --card and --mode go with read and write");
    if (o.positional.empty()) return Fail(kExitUsage, "discover: name at least one family (see `brevane-cli families`)");
    for (const auto& name : o.positional)
        if (!KnownName(name)) return Fail(kExitUsage, "discover: unknown family \"" + name + "\"");
    if (o.target) {
        std::vector<std::string> without;
        for (const auto& name : o.positional)
            if (!TakesTarget(name)) without.push_back(name);
        if (without.size() == o.positional.size())
            return Fail(kExitUsage, "discover: --target: \"" + without.front() + "\" takes no target address");
        // With --all the target plainly goes to the families that take one.
        if (!o.all)
            for (const auto& name : without)
                std::fprintf(stderr, "brevane-cli: --target does not apply to \"%s\", which takes no target address\n",
                             name.c_str());
    }
    std::unique_ptr<TermProgress> bar;
    if (!o.json && TermProgress::Wanted(STDERR_FILENO)) bar = std::make_unique<TermProgress>(STDERR_FILENO);
    CliSink sink(bar.get());
    std::vector<CDeviceInfo> found;
    {
        JobScope job(JobKind::Search);
        found = RunDeviceSearch(o.positional, sink);
    }
    bar.reset();
    // A stopped search still lists (and keeps) what it found so far.
    const bool stopped = cli::Interrupted();
    SaveLastSearch(found);
    if (o.json) {
        // A family that could not look makes the search incomplete: not ok,
        // with its reason, whatever the other families found.
        std::string out = sink.problems.empty() ? "{\"ok\":true," : "{\"ok\":false,";
        if (!sink.problems.empty()) {
            out += "\"errors\":[";
            for (std::size_t i = 0; i < sink.problems.size(); ++i)
                out += std::string(i ? "," : "") + "{\"family\":" + JsonString(sink.problems[i].first) +
                       ",\"error\":" + JsonString(sink.problems[i].second) + "}";
            out += "],";
        }
        out += stopped ? "\"stopped\":true,\"modules\":[" : "\"modules\":[";
        for (std::size_t i = 0; i < found.size(); ++i) {
            const auto& f = found[i];
            out += (i ? "," : "");
            out += "{\"name\":" + JsonString(f.m_model) + ",\"model\":" + JsonString(sink.moduleTexts[i]) +
                   ",\"serial\":" + JsonString(f.m_serial) + ",\"module\":" + std::to_string(f.m_moduleIndex) +
                   ",\"image\":\"" + Hex(f.m_image) + "\"}";
        }
        out += "]}";
        std::printf("%s\n", out.c_str());
    } else {
        std::printf("%-4s %-20s %-8s %s\n", "No.", "Module", "Index", "S/N");
        for (std::size_t i = 0; i < found.size(); ++i)
            std::printf("%-4zu %-20s %-8d %s\n", i + 1, found[i].m_model.c_str(), found[i].m_moduleIndex,
                        Latin1ToUtf8(found[i].m_serial).c_str());
    }
    if (stopped) return cli::kExitInterrupted;
    return found.empty() ? kExitFailed : kExitOk;
}

bool NeedFamilyAndModule(const Options& o, const char* cmd, std::string& error) {
    if (!o.family || (!o.module && !o.card)) {
        error = std::string(cmd) + ": --family NAME and --module N (or --card ROW) are required";
        return false;
    }
    if (o.module && o.card) {
        error = std::string(cmd) + ": give --module N or --card ROW, not both";
        return false;
    }
    if (o.mode && !o.card) {
        error = std::string(cmd) + ": --mode goes with --card";
        return false;
    }
    const _DeviceInfo* row = FamilyRegistry::Find(*o.family);
    if (!row) {
        error = std::string(cmd) + ": unknown family \"" + *o.family + "\"";
        return false;
    }
    // Only the chassis families (those that ask for a target) select cards.
    if (o.card && row->needsTarget != 1) {
        error = std::string(cmd) + ": \"" + *o.family + "\" has no card selection; use --module";
        return false;
    }
    if (o.target && row->needsTarget != 1) {
        error = std::string(cmd) + ": --target: \"" + *o.family + "\" takes no target address";
        return false;
    }
    return true;
}

moduleio::ModuleChoice ChoiceOf(const Options& o) {
    if (o.card) return {*o.card - 1, true};
    return {*o.module, false};
}

// The module as messages name it.
std::string ModuleName(const Options& o) {
    return o.card ? "card " + std::to_string(*o.card) : "module " + std::to_string(*o.module);
}

// A failure carries what the dialog or the family said (a refusal of the card
// selection, a chassis that was not detected, no address to go to).
std::string WithPromptMessage(const Options&, std::string error) {
    if (g_prompt && !g_prompt->LastMessage().empty()) error += " (" + g_prompt->LastMessage() + ")";
    return error;
}

// Where the previous image went and how to put it back, on standard error.
void TellBackup(const char* cmd, const moduleio::WriteResult& result) {
    if (result.backupFile.empty()) return;
    std::fprintf(stderr, "%s: previous image saved to %s\n", cmd, result.backupFile.c_str());
    std::fprintf(stderr, "%s: to put it back: %s\n", cmd, result.restoreCommand.c_str());
}

moduleio::WriteOptions WriteOptionsOf(const Options& o) {
    moduleio::WriteOptions options;
    options.expectSerial = o.expectSerial;
    options.cardMode = o.mode;
    options.aboutToWrite = [command = o.command, expect = !o.expectSerial.empty()](const std::string& module) {
        std::fprintf(stderr, "%s: writing %s%s\n", command.c_str(), module.c_str(),
                     expect ? " (serial number as expected)" : "");
    };
    return options;
}

int CmdRead(const Options& o) {
    std::string error;
    if (!NeedFamilyAndModule(o, "read", error)) return Fail(kExitUsage, error);
    if (!o.expectSerial.empty()) return Fail(kExitUsage, "read: --expect-serial goes with write and set-serial");
    if (!o.positional.empty()) return Fail(kExitUsage, "read: unexpected argument \"" + o.positional[0] + "\"");
    moduleio::ReadResult result;
    {
        JobScope job(JobKind::Search);
        result = moduleio::ReadImage(*o.family, ChoiceOf(o));
    }
    if (cli::Interrupted()) return Fail(cli::kExitInterrupted, "read: stopped; nothing read");
    if (!result.ok) return Fail(kExitFailed, WithPromptMessage(o, "read: " + result.error));
    if (o.output) {
        if (!moduleio::SaveImageFile(*o.output, result.image, error)) return Fail(kExitFailed, "read: " + error);
    }
    if (o.json) {
        std::printf("{\"ok\":true,\"family\":%s,\"%s\":%d,\"serial\":%s,\"image\":\"%s\"}\n",
                    JsonString(*o.family).c_str(), o.card ? "card" : "module", o.card ? *o.card : *o.module,
                    JsonString(SerialNumberOf(result.image)).c_str(), Hex(result.image).c_str());
    } else {
        if (!o.output || o.show) std::fputs(FormatImageView(result.image).c_str(), stdout);
        if (o.output)
            std::fprintf(stderr, "read: %s of %s saved to %s (S/N %s)\n", ModuleName(o).c_str(), o.family->c_str(),
                         o.output->c_str(), PrintableSerial(result.image).c_str());
    }
    return kExitOk;
}

int CmdWrite(const Options& o) {
    std::string error;
    if (!NeedFamilyAndModule(o, "write", error)) return Fail(kExitUsage, error);
    if (o.positional.size() != 1) return Fail(kExitUsage, "write: give exactly one image FILE");
    auto image = moduleio::LoadImageFile(o.positional[0], error);
    if (!image) return Fail(kExitUsage, "write: " + error + "; nothing written");

    // The module being written is not "another" module: a card chosen by its
    // dialog row is the search's module of that list index.
    const std::int32_t itself = o.module ? *o.module : *o.card - 1;
    for (const auto& same : moduleio::SameSerialAs(*image, LoadLastSearch(), *o.family, itself))
        std::fprintf(stderr, "write: warning: serial number \"%s\" is already that of %s module %d\n",
                     Latin1ToUtf8(same.m_serial).c_str(), same.m_model.c_str(), same.m_moduleIndex);

    const auto dir = o.backupDir ? std::filesystem::path(*o.backupDir) : moduleio::DefaultBackupDir();
    moduleio::WriteResult result;
    {
        JobScope job(JobKind::Write);  // Ctrl-C waits for its end
        result = moduleio::WriteImage(*o.family, ChoiceOf(o), *image, dir, WriteOptionsOf(o));
    }
    TellBackup("write", result);
    if (!result.ok) {
        const std::string message = WithPromptMessage(o, "write: " + result.error);
        if (!o.json) return Fail(kExitFailed, message);
        std::printf("{\"ok\":false,\"error\":%s,\"step\":%s,\"chunk\":%d,\"chunks\":%d,\"serial\":%s,"
                    "\"backup\":%s,\"restore\":%s}\n",
                    JsonString(message).c_str(), JsonString(moduleio::WriteStepName(result.failedStep)).c_str(),
                    result.failedChunk, result.chunkCount, JsonString(result.moduleSerial).c_str(),
                    JsonString(result.backupFile.string()).c_str(), JsonString(result.restoreCommand).c_str());
        return kExitFailed;
    }
    if (!result.keptBytes.empty())
        std::fprintf(stderr, "write: %s keeps %s of its image as they are: they were not written and not compared\n",
                     o.family->c_str(), result.keptBytes.c_str());
    if (o.json)
        std::printf("{\"ok\":true,\"family\":%s,\"%s\":%d,\"serial\":%s,\"backup\":%s,\"restore\":%s,\"kept\":%s,"
                    "\"kept_differing\":%s}\n",
                    JsonString(*o.family).c_str(), o.card ? "card" : "module", o.card ? *o.card : *o.module,
                    JsonString(SerialNumberOf(*image)).c_str(), JsonString(result.backupFile.string()).c_str(),
                    JsonString(result.restoreCommand).c_str(), JsonString(result.keptBytes).c_str(),
                    JsonString(result.keptDiffering).c_str());
    else if (!result.keptDiffering.empty())
        std::printf("written, but not all of the image: %s %s, S/N %s; it kept %s unchanged although the image "
                    "differs there\n",
                    o.family->c_str(), ModuleName(o).c_str(), Latin1ToUtf8(SerialNumberOf(*image)).c_str(),
                    result.keptDiffering.c_str());
    else
        std::printf("written and verified: %s %s, S/N %s%s\n", o.family->c_str(), ModuleName(o).c_str(),
                    Latin1ToUtf8(SerialNumberOf(*image)).c_str(),
                    result.keptBytes.empty() ? "" : (" (the instrument keeps " + result.keptBytes + ")").c_str());
    return kExitOk;
}

int CmdSetSerial(const Options& o) {
    std::string error;
    if (!NeedFamilyAndModule(o, "set-serial", error)) return Fail(kExitUsage, error);
    if (o.positional.size() != 1) return Fail(kExitUsage, "set-serial: give exactly one new serial number");
    const std::string& serial = o.positional[0];
    if (const auto problem = SerialNumberProblem(serial); !problem.empty())
        return Fail(kExitUsage, "set-serial: " + problem + "; nothing written");

    for (const auto& same : moduleio::SameSerialAs(serial, LoadLastSearch(), *o.family, o.module ? *o.module : *o.card - 1))
        std::fprintf(stderr, "set-serial: warning: serial number \"%s\" is already that of %s module %d\n",
                     same.m_serial.c_str(), same.m_model.c_str(), same.m_moduleIndex);

    const auto dir = o.backupDir ? std::filesystem::path(*o.backupDir) : moduleio::DefaultBackupDir();
    moduleio::WriteResult result;
    {
        JobScope job(JobKind::Write);  // Ctrl-C waits for its end
        result = moduleio::WriteSerialNumber(*o.family, ChoiceOf(o), serial, dir, WriteOptionsOf(o));
    }
    TellBackup("set-serial", result);
    const std::string message = WithPromptMessage(o, "set-serial: " + result.error);
    if (o.json) {
        std::string out = std::string("{\"ok\":") + (result.ok ? "true" : "false");
        if (!result.ok)
            out += ",\"error\":" + JsonString(message) + ",\"step\":" +
                   JsonString(moduleio::WriteStepName(result.failedStep));
        out += ",\"family\":" + JsonString(*o.family) + ",\"" + (o.card ? "card" : "module") +
               "\":" + std::to_string(o.card ? *o.card : *o.module);
        // The module's serial number is known once its image was read.
        if (result.ok || result.failedStep >= moduleio::WriteStep::Confirm)
            out += ",\"old_serial\":" + JsonString(result.moduleSerial);
        out += ",\"serial\":" + JsonString(serial);
        if (!result.backupFile.empty())
            out += ",\"backup\":" + JsonString(result.backupFile.string()) +
                   ",\"restore\":" + JsonString(result.restoreCommand);
        if (result.ok) out += ",\"kept_differing\":" + JsonString(result.keptDiffering);
        std::printf("%s}\n", out.c_str());
    } else if (!result.ok) {
        std::fprintf(stderr, "brevane-cli: %s\n", message.c_str());
    } else {
        std::printf("serial number set and verified: %s %s, S/N %s (was %s)%s\n", o.family->c_str(),
                    ModuleName(o).c_str(), serial.c_str(), result.moduleSerial.c_str(),
                    result.keptDiffering.empty()
                        ? ""
                        : ("; it kept " + result.keptDiffering + " unchanged although the image differs there").c_str());
    }
    return result.ok ? kExitOk : kExitFailed;
}

int CmdShow(const Options& o) {
    if (o.family || o.module || o.card || o.mode || !o.expectSerial.empty() || o.output || o.backupDir)
        return Fail(kExitUsage, "show: takes only an image FILE");
    if (o.positional.size() != 1) return Fail(kExitUsage, "show: give exactly one image FILE");
    std::string error;
    auto image = moduleio::LoadImageFile(o.positional[0], error);
    if (!image) return Fail(kExitUsage, "show: " + error);
    if (o.json)
        std::printf("{\"ok\":true,\"serial\":%s,\"image\":\"%s\"}\n", JsonString(SerialNumberOf(*image)).c_str(),
                    Hex(*image).c_str());
    else
        std::fputs(FormatImageView(*image).c_str(), stdout);
    return kExitOk;
}

}  // namespace

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

    FamilyRegistry::BuildOrvelCatalogue();
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
