// The Tesk-100/200 family end to end: brevane-cli inside the simulated lab,
// through the real sysfs walk, libmpusbapi over libusb, and pipe nodes.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

std::string Cli() { return CliPath(); }

std::string Device(const std::string& name, const std::string& kind, const std::string& serial, int port,
                   const std::string& extra = "", const std::string& product = "Quenlor Tesk-100/200") {
    std::string s = "[device " + name + "]\nkind=" + kind + "\nvid=0x2403\npid=0x1688\nproduct=" + product +
                    "\nport=" + std::to_string(port) + "\nprotocol=echo8\nserial=" + serial + "\n";
    if (kind == "pipe") s += "class-guid={DFEE6909-CA08-4BF6-9BD7-12C3511DE4AE}\n";
    return s + extra + "\n";
}

// The bench of the default lab: a pipe device, two MPUSB devices (one behind
// a hub) and a device of another product with the same IDs.
std::string Bench() {
    return "[lab]\nstate-dir=state\n\n[hub hub1]\nport=4\n\n" + Device("tesk100-a", "mpusb", "TK1A000123", 1) +
           Device("tesk200-b", "mpusb", "TK2B000456", 2, "parent=hub1\n") +
           Device("tesk-pipe", "pipe", "TKP0000789", 2) +
           Device("tesk300", "mpusb", "TK3C000321", 3, "", "Quenlor Tesk-300");
}

// Worst case of one failed chunk: a 50 ms pause, then 80 attempts of a 1 s
// receive and a 50 ms pause; plus the lab's start-up and the good modules.
constexpr double kFailedChunkLimit = 0.05 + 80 * 1.05 + 10.0;
// A device that has gone fails each attempt at once: a 50 ms pause, then 80
// attempts with their 50 ms pauses, as long as over MPUSB (slack for a busy
// machine), plus the lab's start-up and the good modules.
constexpr double kGoneChunkLimit = 0.05 + 80 * 0.1 + 10.0;

}  // namespace

TEST(TeskLab, FindsExactlyTheTeskInstrumentsPipeFirstThenInstanceOrder) {
    LabDir lab("find");
    lab.WriteConfig(Bench());
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "Tesk - 100"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"TKP0000789", "TK1A000123", "TK2B000456"})) << r.out;
    EXPECT_NE(r.out.find("\"model\":\"Tesk - 100\""), std::string::npos);
    EXPECT_NE(r.err.find("Finding Tesk - 100 . . ."), std::string::npos);
    // The whole output is one JSON document.
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
}

TEST(TeskLab, WriteThenReadPersistsAcrossLabRuns) {
    LabDir lab("write");
    lab.WriteConfig(Bench());
    const fs::path image = lab.path / "new.bin";
    const fs::path backups = lab.path / "backups";
    std::ofstream(image, std::ios::binary) << ImageWithSerial("NEW-SERIAL-42");

    auto w = RunInLab(lab, {Cli(), "write", "--family", "Tesk - 200", "--module", "2", "--backup-dir",
                            backups.string(), image.string()});
    ASSERT_EQ(w.status, 0) << w.err;
    // The previous image was saved first.
    ASSERT_EQ(std::distance(fs::directory_iterator(backups), fs::directory_iterator()), 1);
    const fs::path backup = fs::directory_iterator(backups)->path();
    EXPECT_NE(ReadFile(backup).find("TK2B000456"), std::string::npos);

    const fs::path readBack = lab.path / "read.bin";
    auto r = RunInLab(lab, {Cli(), "read", "--family", "Tesk - 200", "--module", "2", "-o", readBack.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(readBack), ReadFile(image));

    // Other modules are untouched.
    auto d = RunInLab(lab, {Cli(), "discover", "--json", "Tesk - 200"});
    EXPECT_EQ(JsonField(d.out, "serial"), (std::vector<std::string>{"TKP0000789", "TK1A000123", "NEW-SERIAL-42"}));

    // A second write never overwrites the first backup.
    auto w2 = RunInLab(lab, {Cli(), "write", "--family", "Tesk - 200", "--module", "2", "--backup-dir",
                             backups.string(), image.string()});
    ASSERT_EQ(w2.status, 0) << w2.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(backups), fs::directory_iterator()), 2);
    EXPECT_NE(ReadFile(backup).find("TK2B000456"), std::string::npos);
}

TEST(TeskLab, BadWriteRequestsTouchNothing) {
    LabDir lab("badwrite");
    lab.WriteConfig(Bench());
    const fs::path shortImage = lab.path / "short.bin";
    std::ofstream(shortImage, std::ios::binary) << std::string(255, 'x');
    const fs::path backups = lab.path / "backups";
    auto w = RunInLab(lab, {Cli(), "write", "--family", "Tesk - 100", "--module", "0", "--backup-dir",
                            backups.string(), shortImage.string()});
    EXPECT_EQ(w.status, 2);
    EXPECT_NE(w.err.find("not a 256-byte image"), std::string::npos) << w.err;
    EXPECT_FALSE(fs::exists(backups));

    // A module that does not exist is never replaced by another one.
    const fs::path good = lab.path / "good.bin";
    std::ofstream(good, std::ios::binary) << ImageWithSerial("X");
    auto m = RunInLab(lab, {Cli(), "write", "--family", "Tesk - 100", "--module", "3", "--backup-dir",
                            backups.string(), good.string()});
    EXPECT_EQ(m.status, 1);
    EXPECT_NE(m.err.find("no such module"), std::string::npos) << m.err;
    EXPECT_FALSE(fs::exists(backups));

    auto u = RunInLab(lab, {Cli(), "read", "--family", "Tesk - 999", "--module", "0"});
    EXPECT_EQ(u.status, 2);
    auto j = RunInLab(lab, {Cli(), "discover", "--json", "--target", "1.2.3", "Tesk - 100"});
    EXPECT_EQ(j.status, 2);
    EXPECT_EQ(j.out.rfind("{\"ok\":false,\"error\":", 0), 0u) << j.out;
}

TEST(TeskLab, PipeDevicesWorkWithoutTheMpusbLibrary) {
    LabDir lab("nolib");
    lab.WriteConfig(Bench());
    // A copy of the program in a directory without libmpusbapi.so (the
    // libraries linked at load time, the device library and the Harlo
    // library, go with it).
    const fs::path alone = lab.path / "bin";
    fs::create_directories(alone);
    fs::copy_file(Cli(), alone / "brevane-cli");
    fs::copy_file(BinDir() / "libTavikAPI.so.1", alone / "libTavikAPI.so.1");
    fs::copy_file(BinDir() / "libHarlo301API.so", alone / "libHarlo301API.so");
    auto r = RunInLab(lab, {(alone / "brevane-cli").string(), "discover", "--json", "Tesk - 100"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"TKP0000789"}));
}

namespace {

struct FaultCase {
    const char* fault;
    bool pipe;          // the faulty device is the pipe device
    bool stillReads;    // a correct client reads it all the same
    double limit;       // seconds
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault << (c.pipe ? " on the pipe device" : " on an MPUSB device"); }

class TeskFaults : public ::testing::TestWithParam<FaultCase> {};

}  // namespace

TEST_P(TeskFaults, GiveTheFailureResultInTimeAndTheSearchGoesOn) {
    const FaultCase& c = GetParam();
    LabDir lab(std::string("fault-") + c.fault + (c.pipe ? "-pipe" : "-mpusb"));
    const std::string fault = std::string("fault=") + c.fault + "\n";
    lab.WriteConfig("[lab]\nstate-dir=state\n\n" +
                    Device("bad", c.pipe ? "pipe" : "mpusb", "BAD0000001", 1, fault) +
                    Device("good-usb", "mpusb", "GOOD000002", 2) + Device("good-pipe", "pipe", "GOOD000003", 3) +
                    "");
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "Tesk - 100"});
    std::vector<std::string> expected;
    // Pipe devices come first; the faulty device keeps its place in the order.
    if (c.pipe) {
        if (c.stillReads) expected.push_back("BAD0000001");
        expected.insert(expected.end(), {"GOOD000003", "GOOD000002"});
    } else {
        expected.push_back("GOOD000003");
        if (c.stillReads) expected.push_back("BAD0000001");
        expected.push_back("GOOD000002");
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), expected) << r.out << r.err;
    EXPECT_LT(r.seconds, c.limit);
}

INSTANTIATE_TEST_SUITE_P(
    Lab, TeskFaults,
    ::testing::Values(FaultCase{"silent", false, false, kFailedChunkLimit},
                      FaultCase{"silent", true, false, kFailedChunkLimit},
                      FaultCase{"wrong-address", false, false, kFailedChunkLimit},
                      FaultCase{"wrong-length", true, false, kFailedChunkLimit},
                      FaultCase{"stale", false, true, 10.0}, FaultCase{"stale", true, true, 10.0},
                      FaultCase{"vanish", false, false, kGoneChunkLimit},
                      FaultCase{"vanish", true, false, kGoneChunkLimit}),
    [](const auto& info) {
        std::string name = std::string(info.param.fault) + (info.param.pipe ? "_pipe" : "_mpusb");
        for (auto& ch : name)
            if (ch == '-') ch = '_';
        return name;
    });
