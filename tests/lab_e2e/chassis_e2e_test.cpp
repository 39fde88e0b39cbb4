// The chassis reached through outside libraries, end to end: brevane-cli
// inside the lab, our libVorn-API.so beside it, the simulated Jessor chassis
// behind a veth link.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

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

namespace {

std::string Orvel(const std::string& name, int lan, const std::string& address, const std::string& serial,
                  int chassis, const std::string& modules, const std::string& extra = "") {
    return "[device " + name + "]\nkind=orvel\nnetwork=lan" + std::to_string(lan) + "\naddress=" + address +
           "\nserial=" + serial + "\nchassis=" + std::to_string(chassis) + "\nmodules=" + modules + "\n" + extra + "\n";
}

std::string Server(const std::string& name, int lan, const std::string& address) {
    return "[device " + name + "]\nkind=zelserver\nnetwork=lan" + std::to_string(lan) + "\naddress=" + address +
           "\nserial=" + name + "\n\n";
}

// A chassis listing a card twice, out of order, with an unknown code, two
// traffic-generator ports and a backbone with its power module.
const std::string kOrvelModules = "5:0:49,3:0:48,1:2:200,1:1:200,7:0:250,5:0:49,4:0:43,2:0:84";

bool WriteThenReadCard(const LabDir& lab, const std::string& target, const std::string& row, const std::string& serial,
                       std::string& err) {
    const fs::path image = lab.path / (serial + ".bin");
    std::ofstream(image, std::ios::binary) << ImageWithSerial(serial);
    auto w = Cli(lab, {"write", "--family", "Orvel Series Card", "--target", target, "--card", row, "--backup-dir",
                       (lab.path / "backups").string(), image.string()});
    err = w.err;
    if (w.status != 0) return false;
    auto r = Cli(lab, {"read", "--family", "Orvel Series Card", "--target", target, "--card", row, "-o",
                       (lab.path / "back.bin").string()});
    err = r.err;
    return r.status == 0 && ReadFile(lab.path / "back.bin") == ReadFile(image);
}

}  // namespace

TEST(ChassisLab, OrvelLocalServerStartRemoteServerCardsAndLocks) {
    LabDir lab("orvel");
    lab.WriteConfig(Lab(Orvel("orvel-a", 0, "198.18.0.60", "OVA", 1, kOrvelModules,
                              "fault=late\nlate-ms=3300\nfault-slot=5\n") +
                        Orvel("orvel-b", 0, "198.18.0.61", "OVB", 2, "1:0:56", "fault=lock-refused\n") +
                        Server("zs-a", 0, "198.18.0.80") + Server("zs-empty", 1, "198.18.1.81")));
    // Without a target the dialog's first choice is the local server, which is
    // not running: the family starts our ZelServerAP from its own directory.
    auto d = Cli(lab, {"discover", "--json", "Orvel Series Card"});
    ASSERT_EQ(d.status, 0) << d.err;
    // One record per card, the power module beside its backbone, sorted; the
    // reply 3.3 s late (slot 5) still counts.
    EXPECT_EQ(JsonField(d.out, "serial"),
              (std::vector<std::string>{"OVA-1-1", "OVA-1-2", "OVA-2-0", "OVA-3-0", "OVA-3-0B", "OVA-4-0", "OVA-5-0",
                                        "OVB-1-0"}))
        << d.out;
    const auto models = JsonField(d.out, "model");
    ASSERT_EQ(models.size(), 8u);
    EXPECT_EQ(models[0], "Orvel - TG200 Traffic Generator( 1, 1, 1 )");
    EXPECT_EQ(models[4], "Orvel - CH4 Power( 1, 3 )");
    EXPECT_EQ(models[7], "Orvel - GX56 Card( 2, 1 )");

    // Through the remote server: a port module (locked) and a chassis part.
    std::string err;
    EXPECT_TRUE(WriteThenReadCard(lab, "198.18.0.80", "3", "OV-NEW-PX", err)) << err;
    EXPECT_TRUE(WriteThenReadCard(lab, "198.18.0.80", "5", "OV-NEW-PWR", err)) << err;
    // The chassis refuses the lock: nothing is written.
    EXPECT_FALSE(WriteThenReadCard(lab, "198.18.0.80", "8", "OV-NEVER", err));
    auto after = Cli(lab, {"read", "--family", "Orvel Series Card", "--target", "198.18.0.80", "--card", "8", "-o",
                           (lab.path / "b.bin").string()});
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_NE(ReadFile(lab.path / "b.bin").find("OVB-1-0"), std::string::npos);

    // A server without chassis, and no server at all.
    for (const std::string target : {"198.18.1.81", "198.18.0.99"}) {
        auto none = Cli(lab, {"read", "--family", "Orvel Series Card", "--target", target, "--card", "1"});
        EXPECT_EQ(none.status, 1) << target;
        EXPECT_NE(none.err.find("Can't connect to ZelServer!"), std::string::npos) << none.err;
    }
}

TEST(ChassisLab, OrvelUnreadyReportAndSilentCard) {
    LabDir lab("orvel-faults");
    lab.WriteConfig(Lab(Orvel("orvel-c", 0, "198.18.0.62", "OVC", 3, "1:0:49", "fault=bad-count\n") +
                        Server("zs-a", 0, "198.18.0.80") +
                        Orvel("orvel-d", 1, "198.18.1.63", "OVD", 4, "1:0:49,2:0:51", "fault=silent\nfault-slot=2\n") +
                        Server("zs-b", 1, "198.18.1.81")));
    // A report with N = 0xFFFF is ignored: no card arrives in time.
    auto unready = Cli(lab, {"read", "--family", "Orvel Series Card", "--target", "198.18.0.80", "--card", "1"});
    EXPECT_EQ(unready.status, 1);
    EXPECT_NE(unready.err.find("Can't connect to ZelServer!"), std::string::npos) << unready.err;
    // A card that never answers fails after 3 s of polls and the extra second.
    auto quiet = Cli(lab, {"read", "--family", "Orvel Series Card", "--target", "198.18.1.81", "--card", "2"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_GE(quiet.seconds, 4.0);
    auto fine = Cli(lab, {"read", "--family", "Orvel Series Card", "--target", "198.18.1.81", "--card", "1"});
    EXPECT_EQ(fine.status, 0) << fine.err;
}

TEST(ChassisLab, OrvelTakesOnlyAnswersToItsOwnRequest) {
    LabDir lab("orvel-answers");
    // Slot 1 of chassis 5 answers reads 4.5 s late (inside the next card's
    // read), chassis 6 never writes its extra-block card, slot 1 of chassis 7
    // answers reads 6.5 s late (after its reader has gone).
    lab.WriteConfig(Lab(Orvel("orvel-e", 0, "198.18.0.64", "OVE", 5, "1:0:49,7:0:49",
                              "fault=late\nlate-ms=4500\nfault-slot=1\nfault-message=read\n") +
                        Orvel("orvel-f", 0, "198.18.0.65", "OVF", 6, "2:0:84", "fault=silent\nfault-message=write\n") +
                        Orvel("orvel-g", 0, "198.18.0.66", "OVG", 7, "1:0:49",
                              "fault=late\nlate-ms=6500\nfault-slot=1\nfault-message=read\n") +
                        Server("zs-a", 0, "198.18.0.80")));
    auto d = Cli(lab, {"discover", "--json", "--target", "198.18.0.80", "Orvel Series Card"});
    ASSERT_EQ(d.status, 0) << d.err;
    // Every module listed carries its own image and its own catalogue name.
    const auto names = JsonField(d.out, "name"), models = JsonField(d.out, "model"),
               serials = JsonField(d.out, "serial");
    ASSERT_EQ(models.size(), serials.size());
    ASSERT_EQ(names.size(), serials.size());
    std::map<std::string, std::pair<std::string, std::string>> byModule;
    for (std::size_t i = 0; i < models.size(); ++i) byModule[models[i]] = {names[i], serials[i]};
    using Listed = std::pair<std::string, std::string>;
    EXPECT_EQ(byModule["Orvel - GX49 Card( 5, 7 )"], (Listed{"Orvel - GX49 Card", "OVE-7-0"})) << d.out;
    EXPECT_EQ(byModule["Orvel - PX84 Card( 6, 2 )"], (Listed{"Orvel - PX84 Card", "OVF-2-0"})) << d.out;
    if (byModule.count("Orvel - GX49 Card( 5, 1 )")) {  // only on a machine too slow to give up in time
        EXPECT_EQ(byModule["Orvel - GX49 Card( 5, 1 )"].second, "OVE-1-0") << d.out;
    }

    // The chassis never writes: the write fails at "write", not at "compare".
    const fs::path image = lab.path / "px.bin";
    std::ofstream(image, std::ios::binary) << ImageWithSerial("OV-NEVER");
    auto w = Cli(lab, {"write", "--family", "Orvel Series Card", "--target", "198.18.0.80", "--card", "3",
                       "--backup-dir", (lab.path / "backups").string(), image.string()});
    EXPECT_EQ(w.status, 1);
    EXPECT_NE(w.err.find("not acknowledged"), std::string::npos) << w.err;
    EXPECT_EQ(w.err.find("differs"), std::string::npos) << w.err;

    // The server drops a gone connection's answers: the second reader, on a
    // new connection, does not get the answer the first one waited for.
    const std::string read = CliPath() + " read --family 'Orvel Series Card' --target 198.18.0.80 --card 4 -o ";
    auto twice = RunInLab(lab, {"/bin/sh", "-c",
                                read + (lab.path / "first.bin").string() + "; " + read +
                                    (lab.path / "second.bin").string()});
    EXPECT_EQ(twice.status, 1) << twice.err;
    EXPECT_FALSE(fs::exists(lab.path / "first.bin"));
    EXPECT_FALSE(fs::exists(lab.path / "second.bin")) << twice.err;
    EXPECT_EQ(twice.err.find("Can't connect"), std::string::npos) << twice.err;
}

// The started local server in both timings: original timing waits its 10 s
// of start-up; paced timing connects as soon as the server takes the
// connection. Either way the cards are found and read.
TEST(ChassisLab, OrvelStartedServerIsWaitedForUntilReadyOrItsStartUpTime) {
    LabDir lab("orvel-start");
    lab.WriteConfig(Lab(Orvel("orvel-s", 0, "198.18.0.67", "OVS", 8, "1:0:49,2:0:56")));
    for (const bool original : {false, true}) {
        std::vector<std::string> args = {"discover", "--json", "Orvel Series Card"};
        if (original) args.insert(args.begin(), "--original-timing");
        auto d = Cli(lab, args);
        ASSERT_EQ(d.status, 0) << d.err;
        EXPECT_EQ(JsonField(d.out, "serial"), (std::vector<std::string>{"OVS-1-0", "OVS-2-0"})) << d.out;
        // Original: 10 s of start-up and two reads of at least 1 s each.
        if (original) EXPECT_GE(d.seconds, 12.0);
        else EXPECT_LT(d.seconds, 6.0);
    }
}

// Stale and duplicated replies behind the libraries give the results they
// gave with the fixed waits: every module read, each with its own image.
TEST(ChassisLab, StaleAndDuplicateRepliesInPacedTiming) {
    LabDir lab("chassis-paced-faults");
    lab.WriteConfig(Lab(Jessor("jessor-s", "198.18.0.54", "JSS0001", "fault=stale\n") +
                        Jessor("jessor-d", "198.18.0.55", "JSD0001", "fault=duplicate\n") +
                        Orvel("orvel-s", 0, "198.18.0.68", "OVS", 9, "1:0:49,2:0:51", "fault=stale\n") +
                        Orvel("orvel-d", 0, "198.18.0.69", "OVD", 10, "1:0:49", "fault=duplicate\n") +
                        Server("zs-a", 0, "198.18.0.80")));
    for (const std::string target : {"198.18.0.54", "198.18.0.55"}) {
        auto d = Cli(lab, {"discover", "--json", "--target", target, "Ilvane - Jessor"});
        ASSERT_EQ(d.status, 0) << d.err;
        const std::string serial = target.ends_with("54") ? "JSS0001" : "JSD0001";
        EXPECT_EQ(JsonField(d.out, "serial"), (std::vector<std::string>{serial, serial + "-S1", serial + "-S4"}))
            << d.out;
    }
    auto d = Cli(lab, {"discover", "--json", "--target", "198.18.0.80", "Orvel Series Card"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(JsonField(d.out, "serial"), (std::vector<std::string>{"OVS-1-0", "OVS-2-0", "OVD-1-0"})) << d.out;
}
