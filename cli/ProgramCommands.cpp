#include "ProgramCommands.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>

#include "Interrupt.h"
#include "Json.h"
#include "base/Log.h"
#include "framework/DeviceSearch.h"
#include "framework/ImageText.h"
#include "framework/Job.h"
#include "framework/ModuleIo.h"
#include "framework/ProgramReport.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "framework/SerialProgram.h"
#include "framework/SerialSequence.h"
#include "framework/Wait.h"

namespace cli {

const char* const kProgramHelp =
    "usage: brevane-cli program --family NAME (--serial-from TEXT | --sequence NAME [--serial-from TEXT])\n"
    "                           [--count N] [--report FILE] [--backup-dir DIR] [--dry-run] [--json]\n"
    "Searches the family, then gives each module found, in the order the search lists them, the\n"
    "next serial number, the way set-serial does: backup, check that the module still holds the\n"
    "serial the search read, write of bytes 76 onward, read back, compare. A serial that a module\n"
    "of the search already holds, or that the sequence already gave, is skipped (and said). One\n"
    "module's failure does not stop the others.\n"
    "  --serial-from TEXT  the first serial; its trailing digits count up, width kept\n"
    "                      (TK1A000100, TK1A000101, ...); alone, the run counts in memory\n"
    "  --sequence NAME     a named sequence kept in <data dir>/brevane/sequences/NAME that\n"
    "                      later runs and other programs go on with (made from --serial-from\n"
    "                      when it does not exist); a serial counts as given once verified\n"
    "  --count N           program at most N modules\n"
    "  --report FILE       append one CSV line per module (time, host, family, module, old and\n"
    "                      new serial, result, failed step and chunk, backup file, note)\n"
    "  --backup-dir DIR    where the backups go (default: the user's data directory)\n"
    "  --dry-run           show the plan (module, old serial, new serial); nothing is written\n"
    "  --json              one JSON document: {\"ok\",\"modules\":[{\"module\",\"old_serial\",\"serial\",\n"
    "                      \"result\",\"skipped\",\"step\",\"chunk\",\"backup\",\"error\"}...]}\n"
    "Bad input (a start without trailing digits, a count the width does not hold, a serial the\n"
    "family cannot store, a corrupt or stale-locked sequence, a report that cannot be written)\n"
    "exits 2 with nothing written. Ctrl-C during a write ends the run after that module.\n"
    "exit status: 0 every module programmed; 1 any failed or none found; 2 bad input; 130 Ctrl-C\n";

const char* const kStationHelp =
    "usage: brevane-cli station --family NAME --sequence NAME [--serial-from TEXT] [--report FILE]\n"
    "                           [--backup-dir DIR] [--json]\n"
    "Waits for instruments of a USB, HID or serial-port family to be plugged in and programs each\n"
    "new one with the next serial of the sequence, as program does, until Ctrl-C. The modules\n"
    "there when it starts are left as they are. sysfs is looked at twice a second; anything that\n"
    "came or went starts a search of the family. A module that leaves during its write is\n"
    "reported with the step and chunk that failed and its backup, and the station goes on.\n"
    "Network and library families are refused.\n"
    "  --sequence, --serial-from, --report, --backup-dir   as for program\n"
    "  --json   one JSON object per module, a line each\n"
    "Ctrl-C during a write ends the station after that write.\n"
    "exit status: 130 ended by Ctrl-C; 2 bad input (nothing written)\n";

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Fail(bool json, int code, const std::string& message) {
    if (json)
        std::printf("{\"ok\":false,\"error\":%s}\n", JsonString(message).c_str());
    else
        std::fprintf(stderr, "brevane-cli: %s\n", message.c_str());
    return code;
}

bool Flag(bool attached, const char* name, std::string& error) {
    if (attached) error = std::string(name) + " takes no value";
    return !attached;
}

// The search log on standard error, as discover writes it without a terminal.
class PlainSink : public SearchSink {
public:
    void Log(const std::string& text, bool newLine) override {
        if (newLine && m_any) std::fputc('\n', stderr);
        std::fputs(text.c_str(), stderr);
        m_any = true;
    }
    void ProgressStart(std::int32_t) override {}
    void ProgressPause() override {}
    void ProgressResume() override {}
    void ProgressStop() override {
        if (m_any) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

private:
    bool m_any = false;
};

// The serials the sequence is made of, for the checks made before a write.
struct Source {
    std::optional<serialseq::Sequence> sequence;
    std::string label;  // "sequence NAME" or "serials from TEXT"
};

// Opens the sequence the options name; a dry run makes no file.
std::optional<Source> OpenSource(const ProgramArgs& a, std::string& error) {
    Source s;
    if (a.sequence) {
        s.label = "sequence " + *a.sequence;
        if (const auto problem = serialseq::NameProblem(*a.sequence); !problem.empty()) {
            error = "--sequence: " + problem;
            return std::nullopt;
        }
        std::error_code ec;
        if (a.dryRun && a.serialFrom && !std::filesystem::exists(serialseq::DefaultDirectory() / *a.sequence, ec))
            s.sequence = serialseq::Sequence::InMemory(*a.serialFrom, error);
        else
            s.sequence = serialseq::Sequence::Open(*a.sequence, a.serialFrom, error);
    } else {
        s.label = "serials from " + *a.serialFrom;
        s.sequence = serialseq::Sequence::InMemory(*a.serialFrom, error);
    }
    if (!s.sequence) return std::nullopt;
    return s;
}

// A module that left shifts the indices of those after it: a new search
// finds a module again by the serial it had.
serialprogram::Relocate RelocateIn(const std::string& family, const char* command) {
    return [family, command](const CDeviceInfo& module) -> std::optional<std::int32_t> {
        std::fprintf(stderr, "%s: module %d is not where the search found it; searching again\n", command,
                     module.m_moduleIndex);
        PlainSink sink;
        const auto now = RunDeviceSearch(BuiltInFamilies(), {family}, sink);
        std::optional<std::int32_t> at;
        for (const auto& f : now) {
            if (f.m_serial != module.m_serial) continue;
            if (at) return std::nullopt;  // not one module any more
            at = f.m_moduleIndex;
        }
        return at;
    };
}

// The module's line of standard output, and its error on standard error.
void PrintResult(const char* command, const serialprogram::ModuleResult& r, bool json) {
    for (const auto& s : r.skipped) std::fprintf(stderr, "%s: skipped %s\n", command, s.c_str());
    if (!r.programmed) std::fprintf(stderr, "%s: module %d: %s\n", command, r.moduleIndex, r.error.c_str());
    if (json) return;
    std::printf("module %-3d %-24s %-24s %-11s %s\n", r.moduleIndex, r.oldSerial.c_str(),
                r.serial.empty() ? "-" : r.serial.c_str(), r.Result(),
                r.write.backupFile.empty() ? "-" : r.write.backupFile.c_str());
    std::fflush(stdout);
}

// The module as a JSON object.
std::string JsonOf(const serialprogram::ModuleResult& r);

std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + JsonString(items[i]);
    return out + "]";
}

std::string JsonOf(const serialprogram::ModuleResult& r) {
    std::string out = "{\"module\":" + std::to_string(r.moduleIndex) + ",\"old_serial\":" + JsonString(r.oldSerial) +
                      ",\"serial\":" + JsonString(r.serial) + ",\"result\":" + JsonString(r.Result()) +
                      ",\"skipped\":" + JsonList(r.skipped);
    if (!r.programmed)
        out += ",\"error\":" + JsonString(r.error) + ",\"step\":" +
               JsonString(r.serial.empty() ? "sequence" : moduleio::WriteStepName(r.write.failedStep)) +
               ",\"chunk\":" + std::to_string(r.write.failedChunk) + ",\"chunks\":" + std::to_string(r.write.chunkCount);
    if (!r.write.backupFile.empty())
        out += ",\"backup\":" + JsonString(r.write.backupFile.string()) +
               ",\"restore\":" + JsonString(r.write.restoreCommand);
    return out + "}";
}

}  // namespace

int TakeProgramOption(const std::string& arg, const std::function<std::optional<std::string>(const char*)>& value,
                      bool attached, ProgramArgs& args, std::string& error) {
    std::optional<std::string>* target = nullptr;
    if (arg == "--serial-from")
        target = &args.serialFrom;
    else if (arg == "--sequence")
        target = &args.sequence;
    else if (arg == "--report")
        target = &args.report;
    else if (arg == "--count")
        target = &args.countText;
    else if (arg == "--dry-run") {
        if (!Flag(attached, "--dry-run", error)) return -1;
        args.dryRun = true;
        return 1;
    } else
        return 0;
    *target = value(arg.c_str());
    return *target ? 1 : -1;
}

int CmdProgram(const ProgramCall& call) {
    const ProgramArgs& a = call.args;
    const bool json = call.json;
    auto usage = [&](const std::string& text) { return Fail(json, kExitUsage, "program: " + text + "; nothing written"); };
    if (!call.family) return usage("--family NAME is required");
    if (call.moduleGiven) return usage("--module, --card, --mode, --expect-serial and -o do not go with program");
    if (!call.positional.empty()) return usage("unexpected argument \"" + call.positional[0] + "\"");
    if (!a.serialFrom && !a.sequence) return usage("give --serial-from TEXT or --sequence NAME");
    std::optional<std::uint64_t> count;
    if (a.countText) {
        const auto& t = *a.countText;
        if (t.empty() || t.size() > 18 || t.find_first_not_of("0123456789") != std::string::npos || std::stoull(t) == 0)
            return usage("--count: \"" + t + "\" is not a number of modules (1, 2, ...)");
        count = std::stoull(t);
    }
    const std::string& family = *call.family;

    std::string error;
    auto source = OpenSource(a, error);
    if (!source) return usage(error);
    auto& seq = *source->sequence;
    const auto state = seq.Current(error);
    if (!state) return usage(error);
    // What the width still holds: the serials not yet counted out, and those handed back.
    const std::uint64_t left = serialseq::SerialsLeft(state->start) - state->taken + state->returned.size();
    if (count && *count > left)
        return usage("--count " + std::to_string(*count) + ": " + source->label + " holds only " +
                     std::to_string(left) + " more serial" + (left == 1 ? "" : "s") + " of " +
                     std::to_string(state->start.width) + " digits");
    if (left == 0) return usage(source->label + " has no serial left");
    // Every serial of the sequence has the length of its start.
    const std::string sample = serialseq::SerialText(state->start, state->start.value);
    if (const auto problem = serialprogram::FamilySerialFitProblem(BuiltInFamilies(), family, sample); !problem.empty())
        return usage(family + ": " + problem);

    programreport::Report report;
    if (a.report && !a.dryRun && !report.Open(*a.report, error)) return usage(error);

    std::vector<CDeviceInfo> found;
    {
        PlainSink sink;
        JobScope job(JobKind::Search);
        found = RunDeviceSearch(BuiltInFamilies(), {family}, sink);
    }
    if (Interrupted()) return Fail(json, kExitInterrupted, "program: stopped during the search; nothing written");
    if (found.empty()) return Fail(json, kExitFailed, "program: no " + family + " module found; nothing written");
    std::set<std::string> inUse;
    for (const auto& f : found) inUse.insert(f.m_serial);
    if (count && found.size() > *count) found.resize(*count);

    // The plan, also checked before a real run: the sequence must last.
    auto plan = seq.Preview(found.size(), inUse, error);
    if (plan.size() < found.size() || !plan.back().serial)
        return usage(plan.empty() ? error : std::to_string(found.size()) + " modules to program, but " + plan.back().error);
    const auto backupDir = call.backupDir ? std::filesystem::path(*call.backupDir) : moduleio::DefaultBackupDir();

    if (a.dryRun) {
        if (json) {
            std::string out = "{\"ok\":true,\"dry_run\":true,\"family\":" + JsonString(family) + ",\"modules\":[";
            for (std::size_t i = 0; i < found.size(); ++i)
                out += std::string(i ? "," : "") + "{\"module\":" + std::to_string(found[i].m_moduleIndex) +
                       ",\"old_serial\":" + JsonString(found[i].m_serial) + ",\"serial\":" +
                       JsonString(*plan[i].serial) + ",\"skipped\":" + JsonList(plan[i].skipped) + "}";
            std::printf("%s]}\n", out.c_str());
        } else {
            std::printf("%-10s %-24s %-24s %s\n", "Module", "Old S/N", "New S/N", "Skipped");
            for (std::size_t i = 0; i < found.size(); ++i) {
                std::string skipped;
                for (const auto& s : plan[i].skipped) skipped += (skipped.empty() ? "" : " ") + s;
                std::printf("module %-3d %-24s %-24s %s\n", found[i].m_moduleIndex, found[i].m_serial.c_str(),
                            plan[i].serial->c_str(), skipped.c_str());
            }
            std::fprintf(stderr, "program: dry run, nothing written\n");
        }
        return kExitOk;
    }

    const auto relocate = RelocateIn(family, "program");
    if (!json) std::printf("%-10s %-24s %-24s %-11s %s\n", "Module", "Old S/N", "New S/N", "Result", "Backup");
    std::fflush(stdout);
    std::vector<serialprogram::ModuleResult> results;
    bool allOk = true;
    for (const auto& module : found) {
        moduleio::WriteOptions options;
        options.aboutToWrite = [](const std::string& what) {
            std::fprintf(stderr, "program: writing %s\n", what.c_str());
        };
        serialprogram::ModuleResult r;
        {
            // Taking, writing, settling and the report line are one write:
            // Ctrl-C waits for its end.
            JobScope job(JobKind::Write);
            r = serialprogram::ProgramModule(BuiltInFamilies(), family, module, seq, inUse, backupDir, report.IsOpen() ? &report : nullptr,
                                             options, relocate);
        }
        PrintResult("program", r, json);
        allOk = allOk && r.programmed;
        results.push_back(std::move(r));
        if (InterruptedDuringWrite()) break;
    }
    const bool stopped = InterruptedDuringWrite() && results.size() < found.size();
    if (stopped)
        std::fprintf(stderr, "\nprogram: stopped by Ctrl-C after module %d; %zu module(s) not programmed\n",
                     results.back().moduleIndex, found.size() - results.size());
    if (json) {
        std::string out = std::string("{\"ok\":") + (allOk && !stopped ? "true" : "false") +
                          ",\"family\":" + JsonString(family);
        if (a.sequence) out += ",\"sequence\":" + JsonString(*a.sequence);
        if (report.IsOpen()) out += ",\"report\":" + JsonString(report.Path().string());
        if (stopped) out += ",\"stopped\":true";
        out += ",\"modules\":[";
        for (std::size_t i = 0; i < results.size(); ++i) out += (i ? "," : "") + JsonOf(results[i]);
        std::printf("%s]}\n", out.c_str());
    }
    if (stopped) return kExitInterrupted;
    return allOk ? kExitOk : kExitFailed;
}

}  // namespace cli

namespace cli {
namespace {

// Families whose instruments sit on USB, HID or serial ports: the kernel
// tells when they are plugged in. Network families and those behind a maker's
// library (Tavik API, chassis servers) are not watched.
bool StationFamily(const std::string& name) {
    static const char* const kLocal[] = {"Olvenna",       "Pirrel - 4U",   "Tesk - 100",    "Tesk - 200",
                                         "Tesk - 300",    "Quissel - 501", "Quissel - 551", "Dravik - 100",
                                         "Brantle - 302", "Brantle - 303", "Brantle - 311", "Brantle - S61",
                                         "Pembrix - Dorla", "Yaltro"};
    for (const char* n : kLocal)
        if (name == n) return true;
    return false;
}

// What is plugged in, as sysfs lists it: USB devices and interfaces, hidraw
// and tty devices. Any change is looked at with a search of the family.
std::set<std::string> PluggedIn() {
    std::set<std::string> names;
    for (const char* dir : {"/sys/bus/usb/devices", "/sys/class/hidraw", "/sys/class/tty"}) {
        std::error_code ec;
        for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            names.insert(std::string(dir) + "/" + it->path().filename().string());
    }
    return names;
}

std::vector<CDeviceInfo> Search(const std::string& family) {
    PlainSink sink;
    JobScope job(JobKind::Search);
    return RunDeviceSearch(BuiltInFamilies(), {family}, sink);
}

}  // namespace

int CmdStation(const ProgramCall& call) {
    const ProgramArgs& a = call.args;
    const bool json = call.json;
    auto usage = [&](const std::string& text) { return Fail(json, kExitUsage, "station: " + text + "; nothing written"); };
    if (!call.family) return usage("--family NAME is required");
    if (!a.sequence) return usage("--sequence NAME is required");
    if (call.moduleGiven || a.countText || a.dryRun)
        return usage("--module, --card, --mode, --expect-serial, -o, --count and --dry-run do not go with station");
    if (!call.positional.empty()) return usage("unexpected argument \"" + call.positional[0] + "\"");
    const std::string& family = *call.family;
    if (!StationFamily(family))
        return usage("\"" + family + "\" is not reached over USB, HID or a serial port, so its arrivals cannot be "
                     "watched; use program");

    std::string error;
    auto source = OpenSource(a, error);
    if (!source) return usage(error);
    auto& seq = *source->sequence;
    const auto state = seq.Current(error);
    if (!state) return usage(error);
    const std::string sample = serialseq::SerialText(state->start, state->start.value);
    if (const auto problem = serialprogram::FamilySerialFitProblem(BuiltInFamilies(), family, sample); !problem.empty())
        return usage(family + ": " + problem);
    programreport::Report report;
    if (a.report && !report.Open(*a.report, error)) return usage(error);
    const auto backupDir = call.backupDir ? std::filesystem::path(*call.backupDir) : moduleio::DefaultBackupDir();
    const auto relocate = RelocateIn(family, "station");

    // What is there at the start stays as it is; only arrivals are programmed.
    auto plugged = PluggedIn();
    auto present = Search(family);
    if (Interrupted()) return Fail(json, kExitInterrupted, "station: stopped");
    std::fprintf(stderr, "station: %zu %s module(s) present, left as they are; waiting for new ones (Ctrl-C ends)\n",
                 present.size(), family.c_str());
    if (!json) std::printf("%-10s %-24s %-24s %-11s %s\n", "Module", "Old S/N", "New S/N", "Result", "Backup");
    std::fflush(stdout);
    std::size_t done = 0, failed = 0;
    const bool terminal = isatty(STDERR_FILENO);
    for (;;) {
        {
            // Twice a second; Ctrl-C ends the wait at once.
            JobScope job(JobKind::Search);
            WaitPumping(500);
        }
        if (Interrupted()) break;
        auto now = PluggedIn();
        if (now == plugged) continue;
        plugged = std::move(now);
        auto found = Search(family);
        if (Interrupted()) break;
        // The modules the last search did not have (by serial, each counted).
        std::multiset<std::string> before;
        for (const auto& p : present) before.insert(p.m_serial);
        std::vector<CDeviceInfo> arrived;
        for (const auto& f : found) {
            const auto it = before.find(f.m_serial);
            if (it != before.end())
                before.erase(it);
            else
                arrived.push_back(f);
        }
        std::set<std::string> inUse;
        for (const auto& f : found) inUse.insert(f.m_serial);
        for (const auto& module : arrived) {
            std::fprintf(stderr, "station: arrived: %s module %d, S/N %s; writing the next serial of %s%s", family.c_str(),
                         module.m_moduleIndex, module.m_serial.c_str(), a.sequence->c_str(), terminal ? " ...\r" : "\n");
            std::fflush(stderr);
            serialprogram::ModuleResult r;
            {
                JobScope job(JobKind::Write);  // Ctrl-C waits for its end
                moduleio::WriteOptions options;
                options.aboutToWrite = [](const std::string& what) {
                    std::fprintf(stderr, "station: writing %s\n", what.c_str());
                };
                r = serialprogram::ProgramModule(BuiltInFamilies(), family, module, seq, inUse, backupDir,
                                                 report.IsOpen() ? &report : nullptr, options, relocate);
            }
            if (terminal) std::fputs("\033[K", stderr);
            PrintResult("station", r, json);
            if (json) {
                std::printf("%s\n", JsonOf(r).c_str());
                std::fflush(stdout);
            }
            ++(r.programmed ? done : failed);
            // The module now holds its new serial: not an arrival next time.
            for (auto& f : found)
                if (r.programmed && f.m_moduleIndex == r.moduleIndex) f.m_serial = r.serial;
            if (InterruptedDuringWrite()) break;
        }
        present = std::move(found);
        if (InterruptedDuringWrite()) break;
    }
    std::fprintf(stderr, "\nstation: stopped by Ctrl-C; %zu module(s) programmed, %zu failed\n", done, failed);
    return kExitInterrupted;
}

}  // namespace cli
