// The time limits of the network families, each from both sides: a reply
// that comes just inside a limit is taken, and silence is waited out for the
// whole limit before the family gives up. Times are read from the lab's own
// event log (BREVANE_LAB_VERBOSE), so they measure the wait itself: from the
// moment the instrument saw the request to the next thing the client did.
// Every limit is pinned in both timings: paced (the default) and original
// (--original-timing); they differ only where a wait ends on its event.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

std::string Net(const std::string& name, const std::string& kind, const std::string& address,
                const std::string& serial, const std::string& extra) {
    return "[device " + name + "]\nkind=" + kind + "\nnetwork=lan0\naddress=" + address + "\nserial=" + serial +
           "\n" + extra + "\n";
}

std::string Lab(const std::string& devices) { return "[lab]\nstate-dir=state\n\n" + devices; }

const std::string kGostelCards = "cards=1:0xA021:1,3:0xC022:2,5:0xD022:0\n";
const std::string kHevraCards = "cards=0:0xD001:1,2:0xD001:9,4:0xD001:0\n";

// A client's wait may look shorter in the lab's log than it was by the time
// the lab took to notice the request; never by more than this.
constexpr double kTolerance = 0.1;

LabRun RunLogged(const LabDir& lab, const std::vector<std::string>& command) {
    ::setenv("BREVANE_LAB_VERBOSE", "1", 1);
    auto r = RunInLab(lab, command);
    ::unsetenv("BREVANE_LAB_VERBOSE");
    return r;
}

// One line of the lab's event log: "brevane-lab [  12.345]: text". The
// command shares the standard error, so a line may begin with its output.
struct Event {
    double at;
    std::string text;
};

std::vector<Event> Events(const std::string& err) {
    std::vector<Event> events;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        const auto start = line.find("brevane-lab [");
        if (start == std::string::npos) continue;
        double at = 0;
        int used = 0;
        if (std::sscanf(line.c_str() + start, "brevane-lab [%lf]: %n", &at, &used) == 1 && used > 0)
            events.push_back({at, line.substr(start + static_cast<std::size_t>(used))});
    }
    return events;
}

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// Indexes of the events that contain `what`.
std::vector<std::size_t> Find(const std::vector<Event>& events, const std::string& what) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < events.size(); ++i)
        if (Has(events[i].text, what)) at.push_back(i);
    return at;
}

// Seconds from event `from` to the first later event that contains any of
// `next`; -1 if there is none.
double SecondsToNext(const std::vector<Event>& events, std::size_t from, const std::vector<std::string>& next) {
    for (std::size_t i = from + 1; i < events.size(); ++i)
        for (const auto& n : next)
            if (Has(events[i].text, n)) return events[i].at - events[from].at;
    return -1;
}

// Prints a measured wait, so that a test log shows how much room a limit had.
double Measured(const std::string& what, double seconds) {
    std::printf("[ measured ] %s: %.3f s\n", what.c_str(), seconds);
    return seconds;
}

// Whatever the client does next: another request to an instrument, closing a
// connection, or ending.
const std::vector<std::string> kNextStep = {" request (", " closed", "ended with status"};

// Runs each case in both timings.
class NetLimits : public ::testing::TestWithParam<bool> {
protected:
    bool Original() const { return GetParam(); }
    // The command-line program with the timing of this run, then `args`.
    std::vector<std::string> Cli(std::vector<std::string> args) const {
        args.insert(args.begin(), CliPath());
        if (Original()) args.insert(args.begin() + 1, "--original-timing");
        return args;
    }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Timing, NetLimits, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Original" : "Paced"; });

// Kalder: each chunk is polled for 50 times, 50 ms apart (2.5 s).
TEST_P(NetLimits, KalderTakesAChunkReplyAfter2200msAndWaitsOutSilenceFor2500ms) {
    LabDir lab("kalder-limits");
    // Reads and writes answered 2.2 s late: inside the limit.
    lab.WriteConfig(Lab(Net("kalder-a", "kalder", "198.18.0.20", "KLA0004",
                            "fault=late\nlate-ms=2200\nfault-message=read,write\n")));
    const fs::path image = lab.path / "new.bin";
    std::ofstream(image, std::ios::binary) << ImageWithSerial("KL-LATE-1");
    auto w = RunLogged(lab, Cli({"write", "--family", "Kalder - 8S33", "--module", "0", "--backup-dir",
                             (lab.path / "backups").string(), image.string()}));
    ASSERT_EQ(w.status, 0) << w.err;  // backup read, write and read back all taken
    auto events = Events(w.err);
    auto writes = Find(events, "kalder-a: write request");
    ASSERT_EQ(writes.size(), 1u) << w.err;
    // The acknowledgement really came late, and was waited for.
    EXPECT_GE(Measured("kalder late write", SecondsToNext(events, writes[0], kNextStep)), 2.2 - kTolerance) << w.err;
    auto r = RunInLab(lab, Cli({"read", "--family", "Kalder - 8S33", "--module", "0", "-o",
                            (lab.path / "back.bin").string()}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(lab.path / "back.bin"), ReadFile(image));

    // Silence: the read, then the write, fail only after all 50 polls.
    for (const std::string message : {"read", "write"}) {
        lab.WriteConfig(Lab(Net("kalder-a", "kalder", "198.18.0.20", "KLA0004",
                                "fault=silent\nfault-message=" + message + "\n")));
        std::vector<std::string> command = Cli({message, "--family", "Kalder - 8S33", "--module", "0"});
        if (message == "read") command.insert(command.end(), {"-o", (lab.path / "none.bin").string()});
        else command.insert(command.end(), {"--backup-dir", (lab.path / "backups").string(), image.string()});
        auto s = RunLogged(lab, command);
        EXPECT_EQ(s.status, 1) << message << s.err;
        events = Events(s.err);
        const auto silent = Find(events, "kalder-a: " + message + " request");
        ASSERT_FALSE(silent.empty()) << message << s.err;
        const double waited = Measured("kalder silent " + message, SecondsToNext(events, silent.back(), kNextStep));
        EXPECT_GE(waited, 2.5 - kTolerance) << message << s.err;
        EXPECT_LT(waited, 2.5 + 3.0) << message << s.err;
    }
}

// Gostel: a new chassis is asked for its slot table and polled 50 times, 50 ms
// apart (2.5 s); silence leaves the chassis without cards.
TEST_P(NetLimits, GostelTakesASlotTableAfter2200msAndWaitsOutSilenceFor2500ms) {
    LabDir lab("gostel-table-limits");
    // The first slot-table request (the connection dialog's discovery) goes
    // unanswered; the next (the connection's own discovery) is answered 2.2 s late.
    lab.WriteConfig(Lab(Net("gostel-a", "gostel", "198.18.0.30", "GSA0001",
                            kGostelCards + "fault=late\nlate-ms=2200\nfault-message=slot-table\nsilent-first=1\n")));
    auto r = RunLogged(lab, Cli({"discover", "--json", "Gostel - 2160"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"GSA0001", "GSA0001-S1", "GSA0001-S3"})) << r.out;
    const auto events = Events(r.err);
    const auto tables = Find(events, "gostel-a: slot table request");
    ASSERT_EQ(tables.size(), 2u) << r.err;
    // After the 2.5 s of polls the discovery cycle goes on (a 50 ms pause and
    // five 50 ms misses) before its next discovery request: 2.8 s in all.
    const double silent = Measured("gostel silent slot table", SecondsToNext(events, tables[0], kNextStep));
    EXPECT_GE(silent, 2.5 + 0.3 - kTolerance) << r.err;
    EXPECT_LT(silent, 2.8 + 3.0) << r.err;
    // The late table was waited for, and its cards are listed above.
    EXPECT_GE(Measured("gostel late slot table", SecondsToNext(events, tables[1], kNextStep)), 2.2 + 0.3 - kTolerance) << r.err;
}

// Hevra discovery: up to three passes per interface, each polling 60 times,
// 50 ms apart (3 s), for the chassis' reply.
TEST_P(NetLimits, HevraDiscoveryWaitsThreeFullPassesAndTakesAReplyAfter2700ms) {
    LabDir lab("hevra-discovery-limits");
    // The first two discovery requests go unanswered; the third is answered
    // 2.7 s late.
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", "198.18.0.40", "HVA0001",
                            kHevraCards + "fault=late\nlate-ms=2700\nfault-message=discovery\nsilent-first=2\n")));
    auto r = RunLogged(lab, Cli({"discover", "--json", "--target", "198.18.0.40", "Hevra - 5160"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"HVA0001", "HVA0001-S0", "HVA0001-S2"})) << r.out;
    const auto events = Events(r.err);
    const auto passes = Find(events, "hevra-a: discovery request");
    ASSERT_EQ(passes.size(), 3u) << r.err;
    for (std::size_t p = 1; p < passes.size(); ++p) {
        const double pass = Measured("hevra silent discovery pass", events[passes[p]].at - events[passes[p - 1]].at);
        EXPECT_GE(pass, 3.0 - kTolerance) << "pass " << p << "\n" << r.err;
        EXPECT_LT(pass, 3.0 + 3.0) << "pass " << p << "\n" << r.err;
    }
    // The third reply came 2.7 s late; then the wait for the connection:
    // the full 1 s in original timing, until the connection is up when paced.
    const auto identify = Find(events, "hevra-a: identify request");
    ASSERT_FALSE(identify.empty()) << r.err;
    const double connected = Measured("hevra late discovery + connect", events[identify[0]].at - events[passes[2]].at);
    EXPECT_GE(connected, 2.7 + (Original() ? 1.0 : 0.0) - kTolerance) << r.err;
    if (!Original()) {
        EXPECT_LT(connected, 2.7 + 0.9) << r.err;
    }
}

// Hevra identify request: a 500 ms pause, then 50 attempts of a 100 ms pause,
// a 200 ms wait for data and a 50 ms pause (18 s in all).
TEST_P(NetLimits, HevraIdentifyWaitsOut18sOfSilenceAndTakesAReplyAfter17500ms) {
    LabDir lab("hevra-identify-limits");
    // Pass 1's identify request goes unanswered; pass 2's is answered 17.5 s late.
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", "198.18.0.40", "HVA0001",
                            kHevraCards + "fault=late\nlate-ms=17500\nfault-message=identify\nsilent-first=1\n")));
    auto r = RunLogged(lab, Cli({"discover", "--json", "--target", "198.18.0.40", "Hevra - 5160"}));
    ASSERT_EQ(r.status, 0) << r.err;
    // Identified on the second pass: the slot table was asked for and its cards read.
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"HVA0001", "HVA0001-S0", "HVA0001-S2"})) << r.out;
    const auto events = Events(r.err);
    const auto identify = Find(events, "hevra-a: identify request");
    ASSERT_EQ(identify.size(), 2u) << r.err;
    const double silent = Measured("hevra silent identify", SecondsToNext(events, identify[0], kNextStep));
    EXPECT_GE(silent, 18.0 - kTolerance) << r.err;
    EXPECT_LT(silent, 18.0 + 4.0) << r.err;
    EXPECT_GE(Measured("hevra late identify", SecondsToNext(events, identify[1], kNextStep)), 17.5 - kTolerance) << r.err;
}

// Hevra slot-table request: waited for as the identify reply is (18 s); a
// chassis without a slot table keeps only its controller entry.
TEST_P(NetLimits, HevraSlotTableWaitsOut18sOfSilenceAndTakesATableAfter17500ms) {
    LabDir lab("hevra-table-limits");
    // The connection dialog's discovery gets no slot table; the connection's
    // own discovery gets it 17.5 s late.
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", "198.18.0.40", "HVA0001",
                            kHevraCards + "fault=late\nlate-ms=17500\nfault-message=slot-table\nsilent-first=1\n")));
    auto r = RunLogged(lab, Cli({"discover", "--json", "Hevra - 5160"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"HVA0001", "HVA0001-S0", "HVA0001-S2"})) << r.out;
    const auto events = Events(r.err);
    const auto tables = Find(events, "hevra-a: slot table request");
    ASSERT_EQ(tables.size(), 2u) << r.err;
    const double silent = Measured("hevra silent slot table", SecondsToNext(events, tables[0], kNextStep));
    EXPECT_GE(silent, 18.0 - kTolerance) << r.err;
    EXPECT_LT(silent, 18.0 + 4.0) << r.err;
    EXPECT_GE(Measured("hevra late slot table", SecondsToNext(events, tables[1], kNextStep)), 17.5 - kTolerance) << r.err;
}

// Hevra EEPROM chunk: 50 attempts of a 100 ms pause, a 200 ms wait for data
// and a 50 ms pause (17.5 s), no pause before the first.
TEST_P(NetLimits, HevraChunkWaitsOut17500msOfSilenceAndTakesAReplyAfter17000ms) {
    LabDir lab("hevra-chunk-limits");
    const fs::path out = lab.path / "card.bin";
    const std::vector<std::string> read =
        Cli({"read", "--family", "Hevra - 5160", "--target", "198.18.0.40", "--module", "2", "-o", out.string()});
    // The card in slot 2 (module 2) answers reads 17 s late.
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", "198.18.0.40", "HVA0001",
                            kHevraCards + "fault=late\nlate-ms=17000\nfault-slot=2\nfault-message=read\n")));
    auto r = RunLogged(lab, read);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string image = ReadFile(out);
    ASSERT_EQ(image.size(), 256u);
    EXPECT_EQ(std::string(image.c_str() + 76), "HVA0001-S2");
    auto events = Events(r.err);
    auto reads = Find(events, "hevra-a: read request (100 bytes), slot 2");
    ASSERT_EQ(reads.size(), 1u) << r.err;
    EXPECT_GE(Measured("hevra late chunk", SecondsToNext(events, reads[0], kNextStep)), 17.0 - kTolerance) << r.err;

    // Silence: the read fails only after all 50 attempts.
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", "198.18.0.40", "HVA0001",
                            kHevraCards + "fault=silent\nfault-slot=2\nfault-message=read\n")));
    auto s = RunLogged(lab, read);
    EXPECT_EQ(s.status, 1) << s.err;
    events = Events(s.err);
    reads = Find(events, "hevra-a: read request (100 bytes), slot 2");
    ASSERT_EQ(reads.size(), 1u) << s.err;
    const double silent = Measured("hevra silent chunk", SecondsToNext(events, reads[0], kNextStep));
    EXPECT_GE(silent, 17.5 - kTolerance) << s.err;
    EXPECT_LT(silent, 17.5 + 4.0) << s.err;
}
