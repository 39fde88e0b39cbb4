// discover: one search over the named families, its log on standard error
// and the modules found as a table or JSON.
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "Commands.h"
#include "FamilyLookup.h"
#include "Interrupt.h"
#include "Json.h"
#include "LastSearch.h"
#include "Output.h"
#include "Progress.h"
#include "framework/DeviceSearch.h"
#include "framework/Job.h"
#include "families/Registry.h"

namespace cli {

namespace {

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

}  // namespace

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
        found = RunDeviceSearch(BuiltInFamilies(), o.positional, sink);
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
    } else if (!found.empty()) {
        // Nothing found prints nothing on standard output; the log said why.
        std::printf("%-4s %-20s %-8s %s\n", "No.", "Module", "Index", "S/N");
        for (std::size_t i = 0; i < found.size(); ++i)
            std::printf("%-4zu %-20s %-8d %s\n", i + 1, found[i].m_model.c_str(), found[i].m_moduleIndex,
                        Latin1ToUtf8(found[i].m_serial).c_str());
    }
    if (stopped) return cli::kExitInterrupted;
    return found.empty() ? kExitFailed : kExitOk;
}

}  // namespace cli
