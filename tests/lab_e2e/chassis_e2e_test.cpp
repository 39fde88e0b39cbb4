// The chassis reached through outside libraries, end to end: brevane-cli
// inside the lab, our libVorn-API.so beside it, the simulated Jessor chassis
// behind a veth link.
#include <gtest/gtest.h>

#include <fstream>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

std::string Jessor(const std::string& name, const std::string& address, const std::string& serial,
                   const std::string& extra = "") {
    return "[device " + name + "]\nkind=jessor\nnetwork=lan0\naddress=" + address + "\nserial=" + serial +
           "\ncards=1:0xE001:1,4:0xE001:9,6:0xE001:0,9:0x7777:2\n" + extra + "\n";
}

std::string Lab(const std::string& devices) { return "[lab]\nstate-dir=state\n\n" + devices; }

LabRun Cli(const LabDir& lab, std::vector<std::string> args) {
    args.insert(args.begin(), CliPath());
    return RunInLab(lab, args);
}

}  // namespace

TEST(ChassisLab, JessorSearchCardPathWriteReadAndFaults) {
    LabDir lab("jessor");
    lab.WriteConfig(Lab(Jessor("jessor-a", "198.18.0.50", "JSA0001") +
                        Jessor("jessor-b", "198.18.0.51", "JSB0002", "fault=late\nlate-ms=9000\nfault-slot=4\n")));
    // Discovery through the library; the first chassis found is taken. Cards of
    // presence 1 and 9 are listed, presence 0 and 2 are not.
    auto d = Cli(lab, {"discover", "--json", "Ilvane - Jessor"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(JsonField(d.out, "serial"), (std::vector<std::string>{"JSA0001", "JSA0001-S1", "JSA0001-S4"})) << d.out;
    const auto models = JsonField(d.out, "model");
    ASSERT_EQ(models.size(), 3u);
    EXPECT_EQ(models[0], "Jessor Controller ");
    EXPECT_EQ(models[2], "Jessor PoE-8 Card (Slot 6)");

    // Card row 2 in Initialize mode, then row 3 in Modify mode (locked around the transfer).
    for (const auto& [row, mode, serial] : {std::tuple<std::string, std::string, std::string>{"2", "initialize", "JS-NEW-S1"},
                                            {"3", "modify", "JS-NEW-S4"}}) {
        const fs::path image = lab.path / (serial + ".bin");
        std::ofstream(image, std::ios::binary) << ImageWithSerial(serial);
        auto w = Cli(lab, {"write", "--family", "Ilvane - Jessor", "--card", row, "--mode", mode, "--backup-dir",
                           (lab.path / "backups").string(), image.string()});
        ASSERT_EQ(w.status, 0) << w.err;
        auto r = Cli(lab, {"read", "--family", "Ilvane - Jessor", "--card", row, "--mode", mode, "-o",
                           (lab.path / "back.bin").string()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadFile(lab.path / "back.bin"), ReadFile(image));
    }
    auto refused = Cli(lab, {"read", "--family", "Ilvane - Jessor", "--card", "3"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Under Initialize mode,You MUST insert olny one sub-card in Ilvane - Jessor."),
              std::string::npos)
        << refused.err;

    // A card reply 9 s late is still inside the 10 s limit.
    auto late = Cli(lab, {"read", "--family", "Ilvane - Jessor", "--target", "198.18.0.51", "--card", "3", "--mode",
                          "modify", "-o", (lab.path / "late.bin").string()});
    ASSERT_EQ(late.status, 0) << late.err;
    EXPECT_NE(ReadFile(lab.path / "late.bin").find("JSB0002-S4"), std::string::npos);
}

TEST(ChassisLab, JessorSilentChassisAndSilentCardFailAfterTheirLimits) {
    LabDir lab("jessor-silent");
    lab.WriteConfig(Lab(Jessor("jessor-q", "198.18.0.52", "JSQ0001", "fault=silent\n") +
                        Jessor("jessor-c", "198.18.0.53", "JSC0001", "fault=silent\nfault-slot=1\n")));
    // No slot table: 50 waits of 100 ms, then the card path's message.
    auto none = Cli(lab, {"read", "--family", "Ilvane - Jessor", "--target", "198.18.0.52", "--card", "1"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("Can't detect Ilvane - Jessor!"), std::string::npos) << none.err;
    EXPECT_GE(none.seconds, 5.0);
    // A card that never answers: 50 waits of 200 ms and the extra second.
    auto quiet = Cli(lab, {"read", "--family", "Ilvane - Jessor", "--target", "198.18.0.53", "--card", "2"});
    EXPECT_EQ(quiet.status, 1) << quiet.err;
    EXPECT_GE(quiet.seconds, 11.0);
    EXPECT_LT(quiet.seconds, 20.0);
}
