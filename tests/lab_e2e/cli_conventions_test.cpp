// The command line's conventions: help and version for every command, options
// before or after the command, family names in any case and spacing, the
// error for a name that matches nothing, families --json, discover --all in
// the default lab (and the CPU time it costs), and the progress indicator only
// on a terminal.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kCommands = {"families", "discover", "read", "write"};

std::vector<std::string> Cli(std::vector<std::string> args) {
    args.insert(args.begin(), CliPath());
    return args;
}

// The default lab, with its state kept in the test's own directory.
void UseDefaultLab(const LabDir& lab) { lab.WriteConfig(ReadFile(fs::path(BREVANE_SOURCE_DIR) / "lab/default-lab.ini")); }

std::set<std::string> SerialSet(const std::string& json) {
    auto v = JsonField(json, "serial");
    return {v.begin(), v.end()};
}

// Runs argv with standard output and error on one pseudo-terminal; returns
// everything the terminal received.
std::string RunOnTerminal(const std::vector<std::string>& argv, int& status) {
    int master = -1;
    winsize ws{};
    ws.ws_col = 100;
    ws.ws_row = 30;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, &ws);
    if (pid == 0) {
        ::setenv("XDG_DATA_HOME", "/tmp/brevane-e2e-data", 1);
        ::setenv("TERM", "xterm", 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;  // EIO once the child has closed the terminal
    }
    ::close(master);
    ::waitpid(pid, &status, 0);
    status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return out;
}

}  // namespace

TEST(CliConventions, HelpAndVersionForTheProgramAndEveryCommand) {
    auto version = ::Run(Cli({"--version"}));
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "brevane-cli " BREVANE_VERSION "\n");
    auto help = ::Run(Cli({"--help"}));
    EXPECT_EQ(help.status, 0);
    for (const auto& c : kCommands) EXPECT_NE(help.out.find("  " + c), std::string::npos) << c;

    for (const auto& c : kCommands) {
        // Help before or after the command, and by the help command, is the command's own.
        for (const auto& args : std::vector<std::vector<std::string>>{{c, "--help"}, {"-h", c}, {"help", c}}) {
            auto r = ::Run(Cli(args));
            EXPECT_EQ(r.status, 0) << c;
            EXPECT_EQ(r.out.rfind("usage: brevane-cli " + c, 0), 0u) << c << ": " << r.out;
            EXPECT_EQ(r.err, "");
        }
        auto v = ::Run(Cli({c, "--version"}));
        EXPECT_EQ(v.status, 0);
        EXPECT_EQ(v.out, version.out);
    }
    // Nothing or a wrong command is a usage error, not help on stdout.
    auto none = ::Run(Cli({}));
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "");
    auto wrong = ::Run(Cli({"dicsover", "Tesk-100"}));
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("unknown command \"dicsover\""), std::string::npos);
}

TEST(CliConventions, FamiliesJsonIsTheRegistryAndNamesMatchWithoutCaseBlanksOrDashes) {
    auto text = ::Run(Cli({"families"}));
    auto json = ::Run(Cli({"families", "--json"}));
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"ok\":true,\"families\":[{\"name\":\"Yaltro\",\"weight\":70,", 0), 0u) << json.out;
    const auto names = JsonField(json.out, "name");
    // The same rows in the same order as the table.
    std::size_t at = 0;
    for (const auto& n : names) {
        at = text.out.find(n + " ", at);
        ASSERT_NE(at, std::string::npos) << n;
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "Tesk - 100"), names.end());
    EXPECT_NE(json.out.find("{\"name\":\"Tesk - 100\",\"weight\":2,\"needsTarget\":false,\"available\":true}"),
              std::string::npos);
    EXPECT_NE(json.out.find("{\"name\":\"Gostel - 2160\",\"weight\":10,\"needsTarget\":true,\"available\":true}"),
              std::string::npos);
    // Every row's family is built.
    EXPECT_EQ(names.size(), 29u);
    EXPECT_EQ(json.out.find("\"available\":false"), std::string::npos) << json.out;
    EXPECT_EQ(::Run(Cli({"--json", "families"})).out, json.out);

    // A name that matches no row: the error lists the close ones, and nothing is searched.
    auto near = ::Run(Cli({"discover", "tesk10"}));
    EXPECT_EQ(near.status, 2);
    EXPECT_NE(near.err.find("unknown family \"tesk10\"; close names: \"Tesk - 100\""), std::string::npos) << near.err;
    EXPECT_NE(near.err.find("\"Tesk - 200\""), std::string::npos);
    EXPECT_EQ(near.err.find("Gostel"), std::string::npos);
    auto nearJson = ::Run(Cli({"read", "--module", "0", "--family", "Pembrix Alda +x", "--json"}));
    EXPECT_EQ(nearJson.status, 2);
    EXPECT_EQ(nearJson.err, "");
    EXPECT_NE(nearJson.out.find("{\"ok\":false,\"error\":\"read: unknown family \\\"Pembrix Alda +x\\\"; close names: "
                                "\\\"Pembrix - Alda+\\\""),
              std::string::npos)
        << nearJson.out;
    auto far = ::Run(Cli({"discover", "Zzqx"}));
    EXPECT_EQ(far.status, 2);
    EXPECT_NE(far.err.find("unknown family \"Zzqx\" (see `brevane-cli families`)"), std::string::npos) << far.err;
    // Every character other than case, blanks and dashes counts.
    auto plus = ::Run(Cli({"discover", "--all", "Pembrix-Alda+"}));
    EXPECT_EQ(plus.status, 2);
    EXPECT_NE(plus.err.find("names or --all, not both"), std::string::npos);
    auto badFlag = ::Run(Cli({"discover", "--json=yes", "Tesk-100"}));
    EXPECT_EQ(badFlag.status, 2);
    EXPECT_NE(badFlag.err.find("discover: --json takes no value"), std::string::npos) << badFlag.err;
}

TEST(CliConventions, OptionsInAnyPositionAndNamesInAnyFormGiveTheSameSearch) {
    LabDir lab("cli-positions");
    UseDefaultLab(lab);
    const std::set<std::string> tesk100 = {"TK1A000123", "TK2B000456", "TKP0000789"};
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"discover", "--json", "Tesk - 100"},
             {"--json", "discover", "tesk100"},
             {"discover", "-v", "--json", "Tesk-100"},
             {"-v", "discover", "TESK 100", "--json"},
         }) {
        auto r = RunInLab(lab, Cli(args));
        ASSERT_EQ(r.status, 0) << args[0] << " " << args[1] << ": " << r.err;
        EXPECT_EQ(r.out.rfind("{\"ok\":true,", 0), 0u) << r.out;
        EXPECT_EQ(SerialSet(r.out), tesk100) << r.out;
    }
    // Options of read after its operands, value given with '='.
    auto read = RunInLab(lab, Cli({"read", "--module=0", "--json", "--family", "tesk-100"}));
    ASSERT_EQ(read.status, 0) << read.out << read.err;
    EXPECT_EQ(JsonField(read.out, "family"), std::vector<std::string>{"Tesk - 100"});
    ASSERT_EQ(JsonField(read.out, "serial").size(), 1u);
    EXPECT_TRUE(tesk100.count(JsonField(read.out, "serial")[0])) << read.out;
}

TEST(CliConventions, DiscoverAllSearchesEveryFamilyOfTheBuild) {
    LabDir lab("cli-all");
    UseDefaultLab(lab);
    // The search runs under a shell that reports the program's CPU time
    // (its children's, from `times`) and the search's own wall time.
    auto command = Cli({"discover", "--all", "--json"});
    command.insert(command.begin(),
                   {"/bin/bash", "-c",
                    "s=$(date +%s%N); \"$@\"; rc=$?; e=$(date +%s%N); "
                    "echo \"SEARCH-TIMES $(( (e - s) / 1000000 ))\" >&2; times >&2; exit $rc",
                    "bash"});
    auto r = RunInLab(lab, command);
    ASSERT_EQ(r.status, 0) << r.err;
    // Waiting costs no CPU: the program stays within 5 % of the wall time.
    std::smatch times;
    ASSERT_TRUE(std::regex_search(r.err, times,
                                  std::regex("SEARCH-TIMES ([0-9]+)\n[^\n]*\n([0-9]+)m([0-9.]+)s ([0-9]+)m([0-9.]+)s")))
        << r.err;
    const double wall = std::stod(times[1]) / 1000.0;
    const double cpu = std::stod(times[2]) * 60 + std::stod(times[3]) + std::stod(times[4]) * 60 + std::stod(times[5]);
    std::printf("discover --all: %.2f s wall, %.2f s CPU\n", wall, cpu);
    EXPECT_LE(cpu, 0.05 * wall) << "CPU " << cpu << " s over " << wall << " s of search";
    const auto found = SerialSet(r.out);
    for (const char* serial : {"TK1A000123", "TK2B000456", "TKP0000789", "EV1A000511", "EV1B000522",
                               "KL8S000633", "PA1H000511", "PB2L000622", "PC3L000733", "PA4L000844"})
        EXPECT_TRUE(found.count(serial)) << serial << " not in " << r.out;
    // Every family that the build has was visited, in registry order, and no other.
    auto families = ::Run(Cli({"families", "--json"}));
    const std::regex row("\\{\"name\":\"([^\"]*)\",\"weight\":[0-9]+,\"needsTarget\":(true|false),\"available\":(true|false)\\}");
    std::size_t at = 0;
    int built = 0;
    for (auto it = std::sregex_iterator(families.out.begin(), families.out.end(), row); it != std::sregex_iterator();
         ++it) {
        const std::string line = "Finding " + (*it)[1].str() + " . . .";
        const auto pos = r.err.find(line);
        if ((*it)[3] == "true") {
            ++built;
            ASSERT_NE(pos, std::string::npos) << line << " missing:\n" << r.err;
            EXPECT_GE(pos, at) << line << " out of registry order";
            at = pos;
        } else {
            EXPECT_EQ(pos, std::string::npos) << line;
        }
    }
    EXPECT_GE(built, 10);
}

TEST(CliConventions, ProgressIndicatorOnlyOnATerminalAndNeverWithJson) {
    LabDir lab("cli-progress");
    UseDefaultLab(lab);
    const std::vector<std::string> lab_run = {(BinDir() / "brevane-lab").string(), "run", "--config",
                                              lab.config.string(), "--state", lab.state.string(), "--", CliPath(),
                                              "discover"};
    int status = -1;
    auto withBar = lab_run;
    withBar.insert(withBar.end(), {"Tesk-100", "Gostel-2160"});
    const std::string shown = RunOnTerminal(withBar, status);
    EXPECT_EQ(status, 0) << shown;
    // Redrawn in place, rising, and gone before the module table.
    EXPECT_NE(shown.find("\r\033[K[#"), std::string::npos) << shown;
    EXPECT_NE(shown.find("] 0% "), std::string::npos) << shown;
    const auto table = shown.find("No.");
    ASSERT_NE(table, std::string::npos);
    EXPECT_EQ(shown.find("%", table), std::string::npos);
    EXPECT_NE(shown.find("TK1A000123", table), std::string::npos);

    auto jsonRun = lab_run;
    jsonRun.insert(jsonRun.end(), {"--json", "Tesk-100"});
    const std::string quiet = RunOnTerminal(jsonRun, status);
    EXPECT_EQ(status, 0) << quiet;
    EXPECT_EQ(quiet.find("\033[K"), std::string::npos) << quiet;
    EXPECT_NE(quiet.find("TK1A000123"), std::string::npos);

    auto piped = RunInLab(lab, Cli({"discover", "Tesk-100"}));
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err.find("\033[K"), std::string::npos) << piped.err;
    EXPECT_EQ(piped.err.find("% "), std::string::npos) << piped.err;
}
