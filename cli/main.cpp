// brevane-cli: the device search and identity-image transfers without a window.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CliPrompt.h"
#include "Json.h"
#include "framework/ConnDev.h"
#include "framework/DeviceSearch.h"
#include "base/Log.h"
#include "framework/ModuleIo.h"
#include "framework/Registry.h"
#include "platform/Shell.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the command ran but did not succeed
constexpr int kExitUsage = 2;   // bad arguments, nothing done

const char* kUsage =
    "usage: brevane-cli [-v] COMMAND [ARGS]\n"
    "  families                         list the device families that can be searched\n"
    "  discover [--json] [--target IP] NAME...\n"
    "                                   search for the named families and list their modules\n"
    "  read --family NAME --module N [--target IP] [-o FILE]\n"
    "                                   read a module's 256-byte identity image\n"
    "  write --family NAME --module N [--target IP] [--backup-dir DIR] [--expect-serial S/N] FILE\n"
    "                                   back up, write, read back and compare an identity image;\n"
    "                                   with --expect-serial, only if the module's current serial\n"
    "                                   number is S/N (nothing is written otherwise)\n"
    "  read|write --family NAME --card ROW [--mode initialize|modify] [--target IP] ...\n"
    "                                   the same through a chassis family's card selection:\n"
    "                                   ROW as in the dialog's \"No.\" column (from 1); --mode as\n"
    "                                   its Operation Mode (default: what it preselects,\n"
    "                                   Initialize when it offers the choice); a pick the\n"
    "                                   dialog refuses prints its text and fails\n"
    "exit status: 0 done; 1 the command failed (or discover found no module); 2 bad arguments\n";

struct Options {
    bool json = false;
    std::optional<std::string> target;
    std::optional<std::string> family;
    std::optional<std::int32_t> module;
    std::optional<std::int32_t> card;  // 1-based row of the card-selection dialog
    std::optional<int> mode;           // 0 = Initialize, 1 = Modify
    std::optional<std::string> output;
    std::optional<std::string> backupDir;
    std::optional<std::string> expectSerial;
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

// Parses the options of a command; false with a message on bad input.
bool ParseOptions(int argc, char** argv, int first, Options& o, std::string& error) {
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (arg == "--json") {
            o.json = true;
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
        } else if (arg == "--expect-serial") {
            if (!(o.expectSerial = value("--expect-serial"))) return false;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) o.positional.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
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

std::string Hex(const IdentityImage& image) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : image) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The log of a search on standard error, lines as the window's log shows them.
class CliSink : public SearchSink {
public:
    void Log(const std::string& text, bool newLine) override {
        if (newLine && m_any) std::fputc('\n', stderr);
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
        m_any = true;
    }
    void ProgressStart(std::int32_t) override {}
    void ProgressPause() override {}
    void ProgressResume() override {}
    void ProgressStop() override {
        if (m_any) std::fputc('\n', stderr);
    }
    void ModuleFound(const CDeviceInfo&, const std::string& text) override { moduleTexts.push_back(text); }
    std::vector<std::string> moduleTexts;

private:
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

int CmdFamilies() {
    for (const auto& row : FamilyRegistry::Rows()) {
        const bool built = row.family && row.family->m_pfnCreateObject;
        std::printf("%-20s weight %-3d%s%s\n", row.name.c_str(), row.weight, row.needsTarget ? " needs-target" : "",
                    built ? "" : " (not available in this build)");
    }
    for (const auto& name : FamilyRegistry::OrvelCatalogue()) std::printf("%-20s (Orvel catalogue)\n", name.c_str());
    return kExitOk;
}

int CmdDiscover(const Options& o) {
    if (o.card || o.mode) return Fail(kExitUsage, "discover: --card and --mode go with read and write");
    if (o.positional.empty()) return Fail(kExitUsage, "discover: name at least one family (see `brevane-cli families`)");
    for (const auto& name : o.positional)
        if (!KnownName(name)) return Fail(kExitUsage, "discover: unknown family \"" + name + "\"");
    CliSink sink;
    const auto found = RunDeviceSearch(o.positional, sink);
    SaveLastSearch(found);
    if (o.json) {
        std::string out = "{\"ok\":true,\"modules\":[";
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
                        found[i].m_serial.c_str());
    }
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

// A failure through the card selection carries what the dialog or the family said.
std::string WithPromptMessage(const Options& o, std::string error) {
    if (o.card && g_prompt && !g_prompt->LastMessage().empty()) error += " (" + g_prompt->LastMessage() + ")";
    return error;
}

int CmdRead(const Options& o) {
    std::string error;
    if (!NeedFamilyAndModule(o, "read", error)) return Fail(kExitUsage, error);
    if (!o.positional.empty()) return Fail(kExitUsage, "read: unexpected argument \"" + o.positional[0] + "\"");
    auto result = moduleio::ReadImage(*o.family, ChoiceOf(o));
    if (!result.ok) return Fail(kExitFailed, WithPromptMessage(o, "read: " + result.error));
    if (o.output) {
        if (!moduleio::SaveImageFile(*o.output, result.image, error)) return Fail(kExitFailed, "read: " + error);
    }
    if (o.json) {
        std::printf("{\"ok\":true,\"family\":%s,\"%s\":%d,\"serial\":%s,\"image\":\"%s\"}\n",
                    JsonString(*o.family).c_str(), o.card ? "card" : "module", o.card ? *o.card : *o.module,
                    JsonString(SerialNumberOf(result.image)).c_str(), Hex(result.image).c_str());
    } else if (!o.output) {
        for (std::size_t row = 0; row < kImageSize; row += 16) {
            std::printf("%04zx ", row);
            for (std::size_t i = 0; i < 16; ++i) std::printf(" %02x", result.image[row + i]);
            std::printf("\n");
        }
        std::printf("S/N %s\n", SerialNumberOf(result.image).c_str());
    } else {
        std::fprintf(stderr, "read: %s of %s saved to %s (S/N %s)\n", ModuleName(o).c_str(), o.family->c_str(),
                     o.output->c_str(), SerialNumberOf(result.image).c_str());
    }
    return kExitOk;
}

int CmdWrite(const Options& o) {
    std::string error;
    if (!NeedFamilyAndModule(o, "write", error)) return Fail(kExitUsage, error);
    if (o.positional.size() != 1) return Fail(kExitUsage, "write: give exactly one image FILE");
    auto image = moduleio::LoadImageFile(o.positional[0], error);
    if (!image) return Fail(kExitUsage, "write: " + error + "; nothing written");

    for (const auto& same : moduleio::SameSerialAs(*image, LoadLastSearch(), *o.family, o.module ? *o.module : -1))
        std::fprintf(stderr, "write: warning: serial number \"%s\" is already that of %s module %d\n",
                     same.m_serial.c_str(), same.m_model.c_str(), same.m_moduleIndex);

    const auto dir = o.backupDir ? std::filesystem::path(*o.backupDir) : moduleio::DefaultBackupDir();
    moduleio::WriteOptions options;
    options.expectSerial = o.expectSerial;
    options.cardMode = o.mode;
    options.aboutToWrite = [&](const std::string& module) {
        std::fprintf(stderr, "write: writing %s%s\n", module.c_str(),
                     o.expectSerial ? " (serial number as expected)" : "");
    };
    auto result = moduleio::WriteImage(*o.family, ChoiceOf(o), *image, dir, options);
    if (!result.backupFile.empty()) std::fprintf(stderr, "write: previous image saved to %s\n", result.backupFile.c_str());
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
    if (o.json)
        std::printf("{\"ok\":true,\"family\":%s,\"%s\":%d,\"serial\":%s,\"backup\":%s}\n",
                    JsonString(*o.family).c_str(), o.card ? "card" : "module", o.card ? *o.card : *o.module,
                    JsonString(SerialNumberOf(*image)).c_str(), JsonString(result.backupFile.string()).c_str());
    else
        std::printf("written and verified: %s %s, S/N %s\n", o.family->c_str(), ModuleName(o).c_str(),
                    SerialNumberOf(*image).c_str());
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    while (first < argc && std::strcmp(argv[first], "-v") == 0) {
        SetLogLevel(static_cast<LogLevel>(static_cast<int>(CurrentLogLevel()) + 1));
        ++first;
    }
    if (first >= argc || !std::strcmp(argv[first], "--help") || !std::strcmp(argv[first], "-h")) {
        std::fputs(kUsage, first >= argc ? stderr : stdout);
        return first >= argc ? kExitUsage : kExitOk;
    }
    const std::string command = argv[first];
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, first + 1, o, error)) {
        for (int i = first + 1; i < argc; ++i)
            if (!std::strcmp(argv[i], "--json")) g_json = true;
        return Fail(kExitUsage, command + ": " + error);
    }
    g_json = o.json;

    FamilyRegistry::BuildOrvelCatalogue();
    CliPrompt prompt(o.target, o.card, o.mode);
    g_prompt = &prompt;
    SetUserPrompt(&prompt);

    int rc = kExitUsage;
    if (command == "families")
        rc = CmdFamilies();
    else if (command == "discover")
        rc = CmdDiscover(o);
    else if (command == "read")
        rc = CmdRead(o);
    else if (command == "write")
        rc = CmdWrite(o);
    else
        rc = Fail(kExitUsage, "unknown command \"" + command + "\"\n" + kUsage);
    SetUserPrompt(nullptr);
    return rc;
}
