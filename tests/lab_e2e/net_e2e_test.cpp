// The network families end to end: brevane-cli inside the lab's network
// namespace, broadcasting over real veth links to the simulated Evra, Kalder,
// Gostel-2160 and Hevra-5160 instruments.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

std::string Cli() { return CliPath(); }

std::string Net(const std::string& name, const std::string& kind, int lan, const std::string& address,
                const std::string& serial, const std::string& extra = "") {
    return "[device " + name + "]\nkind=" + kind + "\nnetwork=lan" + std::to_string(lan) + "\naddress=" + address +
           "\nserial=" + serial + "\n" + extra + "\n";
}

std::string Lab(const std::string& devices) { return "[lab]\nstate-dir=state\n\n" + devices; }

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

const std::string kGostelCards = "cards=1:0xA021:1,3:0xC022:2,5:0xD022:0\n";
const std::string kHevraCards = "cards=0:0xD001:1,2:0xD001:9,4:0xD001:0\n";

// Writes an image, then reads it back through the same path.
void WriteThenRead(const LabDir& lab, const std::vector<std::string>& select, const std::string& serial) {
    const fs::path image = lab.path / (serial + ".bin");
    std::ofstream(image, std::ios::binary) << ImageWithSerial(serial);
    std::vector<std::string> write = {Cli(), "write"};
    write.insert(write.end(), select.begin(), select.end());
    write.insert(write.end(), {"--backup-dir", (lab.path / "backups").string(), image.string()});
    auto w = RunInLab(lab, write);
    ASSERT_EQ(w.status, 0) << w.err;
    std::vector<std::string> read = {Cli(), "read"};
    read.insert(read.end(), select.begin(), select.end());
    read.insert(read.end(), {"-o", (lab.path / "back.bin").string()});
    auto r = RunInLab(lab, read);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(lab.path / "back.bin"), ReadFile(image));
}

}  // namespace

TEST(NetLab, EvraAndKalderListEachDeviceOnceOnTheFirstInterfaceThatAnswers) {
    LabDir lab("evra-find");
    lab.WriteConfig(Lab(Net("evra-a", "evra", 0, "198.18.0.10", "EVA0001") +
                        Net("evra-dup", "evra", 0, "198.18.0.11", "EVD0002", "fault=duplicate\n") +
                        Net("evra-far", "evra", 1, "198.18.1.10", "EVF0003") +
                        Net("kalder-a", "kalder", 0, "198.18.0.20", "KLA0004", "fault=duplicate\n")));
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "Pembrix - Evra", "Kalder - 8S33"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The device on lab1 is not asked: lab0 answered.
    EXPECT_EQ(Sorted(JsonField(r.out, "serial")), (std::vector<std::string>{"EVA0001", "EVD0002", "KLA0004"})) << r.out;
    auto models = JsonField(r.out, "model");
    EXPECT_NE(std::find(models.begin(), models.end(), "Pembrix - Evra( 198.18.0.10 )"), models.end()) << r.out;
    EXPECT_NE(std::find(models.begin(), models.end(), "Kalder Series"), models.end());
}

TEST(NetLab, SecondInterfaceIsTriedWhenTheFirstIsQuiet) {
    LabDir lab("second-if");
    lab.WriteConfig(Lab(Net("evra-far", "evra", 1, "198.18.1.10", "EVF0003") +
                        Net("kalder-far", "kalder", 1, "198.18.1.20", "KLF0005") +
                        Net("gostel-far", "gostel", 1, "198.18.1.30", "GSF0006", kGostelCards)));
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "Pembrix - Evra", "Kalder - 8S33", "Gostel - 2160"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sorted(JsonField(r.out, "serial")),
              (std::vector<std::string>{"EVF0003", "GSF0006", "GSF0006-S1", "GSF0006-S3", "KLF0005"}))
        << r.out;
}

TEST(NetLab, MalformedEvraAndKalderRepliesAreIgnored) {
    LabDir lab("evra-bad");
    lab.WriteConfig(Lab(Net("evra-ok", "evra", 0, "198.18.0.10", "EVOK001") +
                        Net("evra-len", "evra", 0, "198.18.0.11", "EVBAD01", "fault=wrong-length\n") +
                        Net("evra-magic", "evra", 0, "198.18.0.12", "EVBAD02", "fault=wrong-magic\n") +
                        Net("evra-order", "evra", 0, "198.18.0.13", "EVBAD03", "fault=other-byte-order\n") +
                        Net("kalder-cmd", "kalder", 0, "198.18.0.21", "KLBAD04", "fault=wrong-command\n") +
                        Net("kalder-order", "kalder", 0, "198.18.0.22", "KLBAD05", "fault=other-byte-order\n") +
                        Net("kalder-ok", "kalder", 0, "198.18.0.20", "KLOK002", "fault=stale\n")));
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "Pembrix - Evra", "Kalder - 8S33"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sorted(JsonField(r.out, "serial")), (std::vector<std::string>{"EVOK001", "KLOK002"})) << r.out;
}

TEST(NetLab, EvraAndKalderWriteThenRead) {
    LabDir lab("evra-write");
    lab.WriteConfig(Lab(Net("evra-a", "evra", 0, "198.18.0.10", "EVA0001") +
                        Net("kalder-a", "kalder", 0, "198.18.0.20", "KLA0004", "fault=late\nlate-ms=200\n")));
    WriteThenRead(lab, {"--family", "Pembrix - Evra", "--module", "0"}, "EV-NEW-1");
    WriteThenRead(lab, {"--family", "Kalder - 8S33", "--module", "0"}, "KL-NEW-2");
    auto d = RunInLab(lab, {Cli(), "discover", "--json", "Pembrix - Evra", "Kalder - 8S33"});
    EXPECT_EQ(Sorted(JsonField(d.out, "serial")), (std::vector<std::string>{"EV-NEW-1", "KL-NEW-2"})) << d.out;
}

TEST(NetLab, SilentEvraFailsWithinItsPolls) {
    LabDir lab("evra-silent");
    lab.WriteConfig(Lab(Net("evra-quiet", "evra", 0, "198.18.0.10", "EVQ0001", "fault=silent\n")));
    auto r = RunInLab(lab, {Cli(), "read", "--family", "Pembrix - Evra", "--module", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no Pembrix - Evra device found"), std::string::npos) << r.err;
    // Two interfaces of three cycles of three 50 ms misses, plus the lab: at
    // least the 0.9 s of all those polls, and no more than the lab adds.
    EXPECT_GE(r.seconds, 0.9);
    EXPECT_LT(r.seconds, 20.0);
}

TEST(NetLab, GostelChassisCardsAndUnicastTarget) {
    LabDir lab("gostel-find");
    lab.WriteConfig(Lab(Net("gostel-a", "gostel", 0, "198.18.0.30", "GSA0001", kGostelCards + "fault=duplicate\n") +
                        Net("gostel-b", "gostel", 0, "198.18.0.31", "GSB0002", "cards=2:0xB010:1\n")));
    // Without a target the connection dialog's first choice is taken (the
    // alphabetically first chassis), and discovery goes to it alone.
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "Gostel - 2160"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"GSA0001", "GSA0001-S1", "GSA0001-S3"})) << r.out;
    const auto models = JsonField(r.out, "model");
    ASSERT_EQ(models.size(), 3u);
    EXPECT_EQ(models[1].substr(models[1].size() - 8), "(Slot 3)");
    EXPECT_EQ(models[2].substr(models[2].size() - 8), "(Slot 5)");

    auto t = RunInLab(lab, {Cli(), "discover", "--json", "--target", "198.18.0.31", "Gostel - 2160"});
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(JsonField(t.out, "serial"), (std::vector<std::string>{"GSB0002", "GSB0002-S2"})) << t.out;
}

TEST(NetLab, GostelCardSelectionWriteThenRead) {
    LabDir lab("gostel-write");
    lab.WriteConfig(Lab(Net("gostel-a", "gostel", 0, "198.18.0.30", "GSA0001", kGostelCards)));
    // Row 2 in Initialize mode (the dialog's preselection).
    WriteThenRead(lab, {"--family", "Gostel - 2160", "--card", "2"}, "GS-NEW-S1");
    // Row 3 needs Modify mode.
    auto refused = RunInLab(lab, {Cli(), "read", "--family", "Gostel - 2160", "--card", "3"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Under Initialize mode,You MUST insert olny one sub-card in Gostel - 2160."),
              std::string::npos)
        << refused.err;
    WriteThenRead(lab, {"--family", "Gostel - 2160", "--card", "3", "--mode", "modify"}, "GS-NEW-S3");
    auto none = RunInLab(lab, {Cli(), "read", "--json", "--family", "Gostel - 2160", "--card", "9"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find("Please select a card!"), std::string::npos) << none.out;
    auto d = RunInLab(lab, {Cli(), "discover", "--json", "Gostel - 2160"});
    EXPECT_EQ(JsonField(d.out, "serial"), (std::vector<std::string>{"GSA0001", "GS-NEW-S1", "GS-NEW-S3"})) << d.out;
}

TEST(NetLab, GostelCardFaultsFailTheTransferWithinItsLimit) {
    for (const std::string fault : {"silent", "wrong-subcommand", "wrong-length"}) {
        LabDir lab("gostel-" + fault);
        lab.WriteConfig(Lab(Net("gostel-a", "gostel", 0, "198.18.0.30", "GSA0001", kGostelCards + "fault=" + fault +
                                                                                    "\nfault-slot=1\n")));
        auto r = RunInLab(lab, {Cli(), "discover", "--json", "Gostel - 2160"});
        ASSERT_EQ(r.status, 0) << fault << r.err;
        // The card in slot 1 could not be read; the others were.
        EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"GSA0001", "GSA0001-S3"})) << fault << r.out;
        // 150 polls of 50 ms for the one failing chunk, plus two discoveries.
        EXPECT_GE(r.seconds, 7.5) << fault;
        EXPECT_LT(r.seconds, 7.5 + 15.0) << fault;
    }
}

TEST(NetLab, MissingGostelIsReportedOnTheCardPath) {
    LabDir lab("gostel-none");
    lab.WriteConfig(Lab(Net("evra-a", "evra", 0, "198.18.0.10", "EVA0001")));
    auto r = RunInLab(lab, {Cli(), "read", "--family", "Gostel - 2160", "--target", "198.18.0.30", "--card", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Can't detect Gostel - 2160!"), std::string::npos) << r.err;
}

TEST(NetLab, HevraListsOnlyTheFirstChassisAndIgnoresBadDiscoveryReplies) {
    LabDir lab("hevra-find");
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", 0, "198.18.0.40", "HVA0001", kHevraCards) +
                        Net("hevra-b", "hevra", 0, "198.18.0.41", "HVB0002", "cards=1:0xD001:1\n") +
                        Net("hevra-crc", "hevra", 0, "198.18.0.42", "HVC0003", "fault=bad-crc\n") +
                        Net("hevra-magic", "hevra", 0, "198.18.0.43", "HVM0004", "fault=wrong-magic\n")));
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "Hevra - 5160"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto serials = JsonField(r.out, "serial");
    ASSERT_FALSE(serials.empty()) << r.out;
    // One chassis only: its controller and its present cards.
    const std::string chassis = serials[0];
    EXPECT_TRUE(chassis == "HVA0001" || chassis == "HVB0002") << r.out;
    if (chassis == "HVA0001")
        EXPECT_EQ(serials, (std::vector<std::string>{"HVA0001", "HVA0001-S0", "HVA0001-S2"}));
    else
        EXPECT_EQ(serials, (std::vector<std::string>{"HVB0002", "HVB0002-S1"}));
    EXPECT_EQ(JsonField(r.out, "model")[0], "Hevra - 5160 Controller ");

    auto t = RunInLab(lab, {Cli(), "discover", "--json", "--target", "198.18.0.41", "Hevra - 5160"});
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(JsonField(t.out, "serial"), (std::vector<std::string>{"HVB0002", "HVB0002-S1"})) << t.out;
}

TEST(NetLab, HevraWriteThenReadThroughCardSelection) {
    LabDir lab("hevra-write");
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", 0, "198.18.0.40", "HVA0001", kHevraCards)));
    WriteThenRead(lab, {"--family", "Hevra - 5160", "--card", "3"}, "HV-NEW-S2");
    WriteThenRead(lab, {"--family", "Hevra - 5160", "--module", "0"}, "HV-NEW-CTL");
    auto d = RunInLab(lab, {Cli(), "discover", "--json", "Hevra - 5160"});
    EXPECT_EQ(JsonField(d.out, "serial"), (std::vector<std::string>{"HV-NEW-CTL", "HVA0001-S0", "HV-NEW-S2"})) << d.out;
}

TEST(NetLab, HevraCardFaultsFailTheChunkWithinFiftyAttempts) {
    for (const std::string fault : {"silent", "wrong-command", "wrong-length"}) {
        LabDir lab("hevra-" + fault);
        lab.WriteConfig(
            Lab(Net("hevra-a", "hevra", 0, "198.18.0.40", "HVA0001", kHevraCards + "fault=" + fault + "\nfault-slot=2\n")));
        auto r = RunInLab(lab, {Cli(), "read", "--family", "Hevra - 5160", "--module", "2"});
        EXPECT_EQ(r.status, 1) << fault;
        EXPECT_NE(r.err.find("no complete reply"), std::string::npos) << fault << r.err;
        // Two discoveries, a 1 s connect and 50 attempts of at most 350 ms:
        // the attempts alone are at least 50 x (100 ms pause + 200 ms wait).
        EXPECT_GE(r.seconds, 1.0 + 50 * 0.3) << fault;
        EXPECT_LT(r.seconds, 2 * 4.0 + 1.0 + 50 * 0.35 + 10.0) << fault;
    }
}

TEST(NetLab, HevraWithoutIdentifyKeepsOnlyItsController) {
    LabDir lab("hevra-noid");
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", 0, "198.18.0.40", "HVA0001", kHevraCards + "fault=no-identify\n")));
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "--target", "198.18.0.40", "Hevra - 5160"});
    // Three passes of a 1 s connect, a 500 ms pause and 50 attempts each,
    // for the target choice and again for the connection.
    EXPECT_LT(r.seconds, 2 * 3 * (1.0 + 0.5 + 50 * 0.35) + 45.0);
    const auto serials = JsonField(r.out, "serial");
    EXPECT_LE(serials.size(), 1u) << r.out;
    EXPECT_NE(r.err.find("Finding Hevra - 5160"), std::string::npos) << r.err;
}

TEST(NetLab, HevraBadCrcOnlyMeansNotFound) {
    LabDir lab("hevra-crc");
    lab.WriteConfig(Lab(Net("hevra-crc", "hevra", 0, "198.18.0.42", "HVC0003", "fault=bad-crc\n")));
    auto r = RunInLab(lab, {Cli(), "read", "--family", "Hevra - 5160", "--target", "198.18.0.42", "--card", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Can't detect Hevra - 5160!"), std::string::npos) << r.err;
    // Per interface three passes of 60 polls of 50 ms, on both interfaces (the
    // target is named, so only the connection's discovery runs).
    EXPECT_GE(r.seconds, 2 * 3 * 3.0);
    EXPECT_LT(r.seconds, 2 * 2 * 3 * 3.0 + 10.0);
}

TEST(NetLab, HevraIgnoresItsOwnDiscoveryBroadcast) {
    LabDir lab("hevra-echo");
    // The chassis is behind lab1, so on lab0 only the program's own broadcast
    // comes back; taking it for a chassis would end discovery there.
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", 1, "198.18.1.40", "HVA0001", kHevraCards + "fault=own-echo\n")));
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "Hevra - 5160"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"HVA0001", "HVA0001-S0", "HVA0001-S2"})) << r.out;
    // No entry for the program's own address came before the chassis.
    std::vector<std::string> modules;
    std::regex re("\"module\":([0-9]+)");
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), re); it != std::sregex_iterator(); ++it)
        modules.push_back((*it)[1]);
    EXPECT_EQ(modules, (std::vector<std::string>{"0", "1", "2"})) << r.out;
}

TEST(NetLab, VanishingDevicesFailTheNextTransfer) {
    LabDir lab("vanish");
    lab.WriteConfig(Lab(Net("evra-a", "evra", 0, "198.18.0.10", "EVA0001", "fault=vanish\n")));
    const fs::path image = lab.path / "new.bin";
    std::ofstream(image, std::ios::binary) << ImageWithSerial("EV-GONE");
    const fs::path backups = lab.path / "backups";
    auto w = RunInLab(lab, {Cli(), "write", "--family", "Pembrix - Evra", "--module", "0", "--backup-dir",
                            backups.string(), image.string()});
    // The backup read was answered; the write then found nobody.
    EXPECT_EQ(w.status, 1);
    EXPECT_NE(w.err.find("write: chunk 0 of 1 not acknowledged"), std::string::npos) << w.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(backups), fs::directory_iterator()), 1);
    EXPECT_LT(w.seconds, 50 * 0.05 + 10.0);

    LabDir chassis("vanish-hevra");
    chassis.WriteConfig(Lab(Net("hevra-a", "hevra", 0, "198.18.0.40", "HVA0001", kHevraCards + "fault=vanish\n")));
    auto r = RunInLab(chassis, {Cli(), "discover", "--json", "Hevra - 5160"});
    // The controller's image was read; then the chassis was gone.
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"HVA0001"})) << r.out << r.err;
    EXPECT_LT(r.seconds, 2 * 4.0 + 3 * (1.0 + 50 * 0.35) + 10.0);
}

namespace {
// Runs with the lab's own event log on its standard error (merged into err).
LabRun RunInLabLogged(const LabDir& lab, const std::vector<std::string>& command) {
    ::setenv("BREVANE_LAB_VERBOSE", "1", 1);
    auto r = RunInLab(lab, command);
    ::unsetenv("BREVANE_LAB_VERBOSE");
    return r;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}
}  // namespace

TEST(NetLab, InstrumentsThatAnswerByBroadcastAreFoundAndRead) {
    LabDir lab("bcast");
    lab.WriteConfig(Lab(Net("evra-lb", "evra", 0, "198.18.0.10", "EVB0001", "fault=broadcast-reply\n") +
                        Net("kalder-sb", "kalder", 0, "198.18.0.20", "KLB0002", "fault=subnet-broadcast-reply\n") +
                        Net("gostel-lb", "gostel", 0, "198.18.0.30", "GSB0003", kGostelCards + "fault=broadcast-reply\n") +
                        Net("hevra-sb", "hevra", 0, "198.18.0.40", "HVB0004",
                            kHevraCards + "fault=subnet-broadcast-reply\n")));
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "Pembrix - Evra", "Kalder - 8S33", "Gostel - 2160",
                            "Hevra - 5160"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sorted(JsonField(r.out, "serial")),
              Sorted({"EVB0001", "KLB0002", "GSB0003", "GSB0003-S1", "GSB0003-S3", "HVB0004", "HVB0004-S0",
                      "HVB0004-S2"}))
        << r.out << r.err;
    // Replies by broadcast also serve the transfers: write, then read back.
    WriteThenRead(lab, {"--family", "Kalder - 8S33", "--module", "0"}, "KL-BCAST");
}

TEST(NetLab, LeadingZerosInATargetAreDroppedAndOtherCharactersRefused) {
    LabDir lab("target-text");
    lab.WriteConfig(Lab(Net("gostel-b", "gostel", 0, "198.18.0.31", "GSB0002", "cards=2:0xB010:1\n")));
    auto t = RunInLab(lab, {Cli(), "discover", "--json", "--target", "198.018.000.031", "Gostel - 2160"});
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(JsonField(t.out, "serial"), (std::vector<std::string>{"GSB0002", "GSB0002-S2"})) << t.out;
    for (const std::string bad : {"a.18.0.31", "198.18.0.31abc"}) {
        auto b = RunInLab(lab, {Cli(), "discover", "--json", "--target", bad, "Gostel - 2160"});
        EXPECT_EQ(b.status, 2) << bad;
        EXPECT_NE(b.out.find("Please input a correct IP address!"), std::string::npos) << bad << b.out;
        EXPECT_LT(b.seconds, 5.0) << bad;  // refused before any search
    }
}

TEST(NetLab, GostelCardWrittenByIndexUsesTheModeItsDialogAllows) {
    LabDir lab("gostel-index-write");
    lab.WriteConfig(Lab(Net("gostel-a", "gostel", 0, "198.18.0.30", "GSA0001", kGostelCards)));
    const fs::path image = lab.path / "s3.bin";
    std::ofstream(image, std::ios::binary) << ImageWithSerial("GS-IDX-S3");
    // Module 2 is the dialog's third row (slot 3): beyond Initialize mode.
    auto w = RunInLabLogged(lab, {Cli(), "write", "--family", "Gostel - 2160", "--module", "2", "--backup-dir",
                                  (lab.path / "backups").string(), image.string()});
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_NE(w.err.find("write request (276 bytes), slot 3, sub-command 4"), std::string::npos) << w.err;
    EXPECT_EQ(w.err.find("sub-command 6"), std::string::npos) << w.err;
    // Module 1 (the dialog's second row) may still be written in Initialize mode.
    std::ofstream(image, std::ios::binary) << ImageWithSerial("GS-IDX-S1");
    auto w1 = RunInLabLogged(lab, {Cli(), "write", "--family", "Gostel - 2160", "--module", "1", "--backup-dir",
                                   (lab.path / "backups").string(), image.string()});
    ASSERT_EQ(w1.status, 0) << w1.err;
    EXPECT_NE(w1.err.find("write request (276 bytes), slot 1, sub-command 6"), std::string::npos) << w1.err;
}

TEST(NetLab, DiscoveryRepliesNamingABroadcastAddressAreRefused) {
    LabDir lab("names-bcast");
    lab.WriteConfig(Lab(Net("evra-ok", "evra", 0, "198.18.0.10", "EVOK001") +
                        Net("evra-bad", "evra", 0, "198.18.0.11", "EVBAD01", "fault=names-broadcast\n") +
                        Net("kalder-bad", "kalder", 0, "198.18.0.21", "KLBAD02", "fault=names-broadcast\n")));
    auto r = RunInLabLogged(lab, {Cli(), "discover", "--json", "Pembrix - Evra", "Kalder - 8S33"});
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"EVOK001"})) << r.out << r.err;
    // Nothing was ever sent to the broadcast address but discovery itself.
    EXPECT_EQ(r.out.find("198.18.0.255"), std::string::npos) << r.out;
    EXPECT_EQ(Count(r.err, "evra-bad: read request"), 0u) << r.err;
    EXPECT_EQ(Count(r.err, "kalder-bad: read request"), 0u) << r.err;
}

TEST(NetLab, GostelDiscoveryKeepsEveryChassisThatAnswers) {
    LabDir lab("gostel-many");
    // The alphabetically first chassis answers a little later than the others.
    std::string devices = Net("gostel-0", "gostel", 0, "198.18.0.30", "GS00", "fault=late\nlate-ms=30\n");
    for (int i = 1; i <= 4; ++i)
        devices += Net("gostel-" + std::to_string(i), "gostel", 0, "198.18.0.3" + std::to_string(i),
                       "GS0" + std::to_string(i), "cards=2:0xB010:1\n");
    lab.WriteConfig(Lab(devices));
    auto r = RunInLabLogged(lab, {Cli(), "-v", "discover", "--json", "Gostel - 2160"});
    // The connection dialog's first choice is the alphabetically first of all
    // five chassis.
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"GS00"})) << r.out;
    for (int i = 0; i <= 4; ++i)
        EXPECT_GE(Count(r.err, "chassis 198.18.0.3" + std::to_string(i) + " answered"), 1u) << i << r.err;
}

TEST(NetLab, HevraTakesAShortSlotTableAtOnce) {
    LabDir lab("hevra-short");
    lab.WriteConfig(Lab(Net("hevra-a", "hevra", 0, "198.18.0.40", "HVA0001", kHevraCards + "fault=short-table\n")));
    auto r = RunInLab(lab, {Cli(), "discover", "--json", "--target", "198.18.0.40", "Hevra - 5160"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"HVA0001", "HVA0001-S0", "HVA0001-S2"})) << r.out;
    // Fifty attempts (17.5 s) would have passed before the partial table was used.
    EXPECT_LT(r.seconds, 12.0);
}

TEST(NetLab, ATargetIsGoneToWithoutDiscoveryOnEveryInterface) {
    LabDir lab("target-direct");
    lab.WriteConfig(Lab(Net("gostel-a", "gostel", 0, "198.18.0.30", "GSA0001", kGostelCards) +
                        Net("gostel-b", "gostel", 0, "198.18.0.31", "GSB0002", "cards=2:0xB010:1\n") +
                        Net("hevra-a", "hevra", 0, "198.18.0.40", "HVA0001", kHevraCards)));
    auto r = RunInLabLogged(lab, {Cli(), "discover", "--json", "--target", "198.18.0.31", "Gostel - 2160"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"GSB0002", "GSB0002-S2"})) << r.out;
    // Nothing broadcast: the other chassis never heard a discovery request.
    EXPECT_EQ(Count(r.err, "gostel-a: discovery request"), 0u) << r.err;
    auto h = RunInLabLogged(lab, {Cli(), "discover", "--json", "--target", "198.18.0.40", "Hevra - 5160"});
    ASSERT_EQ(h.status, 0) << h.err;
    EXPECT_EQ(Count(h.err, "hevra-a: discovery request"), 1u) << h.err;  // the one unicast request
}

TEST(NetLab, AFamilyThatCannotRunSaysWhy) {
    LabDir lab("say-why");
    lab.WriteConfig(Lab(Net("evra-a", "evra", 0, "198.18.0.10", "EVA0001")));
    // No chassis anywhere: nothing to choose from.
    auto none = RunInLab(lab, {Cli(), "read", "--json", "--family", "Gostel - 2160", "--module", "0"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find("--target"), std::string::npos) << none.out;
    auto d = RunInLab(lab, {Cli(), "discover", "Gostel - 2160"});
    EXPECT_EQ(d.status, 1);
    EXPECT_NE(d.err.find("name the device with --target IP"), std::string::npos) << d.err;
    // --target for a family that takes none.
    auto r = RunInLab(lab, {Cli(), "read", "--family", "Pembrix - Evra", "--module", "0", "--target", "198.18.0.10"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("takes no target address"), std::string::npos) << r.err;
    auto only = RunInLab(lab, {Cli(), "discover", "--target", "198.18.0.10", "Pembrix - Evra"});
    EXPECT_EQ(only.status, 2);
    EXPECT_NE(only.err.find("takes no target address"), std::string::npos) << only.err;
    auto mixed = RunInLab(lab, {Cli(), "discover", "--json", "--target", "198.18.0.30", "Pembrix - Evra",
                                "Gostel - 2160"});
    EXPECT_EQ(JsonField(mixed.out, "serial"), (std::vector<std::string>{"EVA0001"})) << mixed.out;
    EXPECT_NE(mixed.err.find("--target does not apply to \"Pembrix - Evra\""), std::string::npos) << mixed.err;
}

TEST(NetLab, DuplicateSerialWarningNamesOnlyOtherModules) {
    LabDir lab("dup-serial");
    lab.WriteConfig(Lab(Net("gostel-a", "gostel", 0, "198.18.0.30", "GSA0001", kGostelCards)));
    // The last search is kept per user: this test's own, not another test's.
    ::setenv("BREVANE_E2E_DATA_HOME", (lab.path / "data").c_str(), 1);
    struct Unset {
        ~Unset() { ::unsetenv("BREVANE_E2E_DATA_HOME"); }
    } unset;
    // The warning speaks of the last search, which listed the reused serial.
    auto found = RunInLab(lab, {Cli(), "discover", "--json", "Gostel - 2160"});
    ASSERT_EQ(found.status, 0) << found.err;
    ASSERT_NE(found.out.find("GSA0001-S3"), std::string::npos) << found.out;
    const fs::path image = lab.path / "same.bin";
    const std::vector<std::string> write = {Cli(), "write", "--family", "Gostel - 2160", "--card", "2",
                                            "--backup-dir", (lab.path / "backups").string(), image.string()};
    std::ofstream(image, std::ios::binary) << ImageWithSerial("GSA0001-S1");  // the card's own
    auto own = RunInLab(lab, write);
    ASSERT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(own.err.find("warning: serial number"), std::string::npos) << own.err;
    std::ofstream(image, std::ios::binary) << ImageWithSerial("GSA0001-S3");  // the next card's
    auto other = RunInLab(lab, write);
    ASSERT_EQ(other.status, 0) << other.err;
    EXPECT_NE(other.err.find("warning: serial number \"GSA0001-S3\" is already that of"), std::string::npos)
        << other.err;
}

TEST(NetLab, SerialBytesAbove0x7FAreOneLatin1CharacterEverywhere) {
    LabDir lab("latin1");
    lab.WriteConfig(Lab(Net("evra-a", "evra", 0, "198.18.0.10", "EVA0001")));
    WriteThenRead(lab, {"--family", "Pembrix - Evra", "--module", "0"}, "EV\xE9\xFF" "1");
    auto j = RunInLab(lab, {Cli(), "discover", "--json", "Pembrix - Evra"});
    EXPECT_NE(j.out.find("\"serial\":\"EV\\u00e9\\u00ff1\""), std::string::npos) << j.out;
    auto t = RunInLab(lab, {Cli(), "discover", "Pembrix - Evra"});
    EXPECT_NE(t.out.find("EV\xC3\xA9\xC3\xBF" "1"), std::string::npos) << t.out;
}

TEST(NetLab, HevraKeepsToTheChassisItListedWhenItsIdentifyFails) {
    LabDir lab("hevra-first-only");
    // Chassis .41 answers first, then is gone before its identify; chassis .40
    // answers every pass, 300 ms late.
    lab.WriteConfig(Lab(Net("hevra-gone", "hevra", 0, "198.18.0.41", "HVG0001", kHevraCards + "fault=gone-after-discovery\n") +
                        Net("hevra-late", "hevra", 0, "198.18.0.40", "HVL0002", kHevraCards + "fault=late\nlate-ms=300\n")));
    auto r = RunInLab(lab, {Cli(), "-v", "discover", "--json", "Hevra - 5160"});
    // The first chassis stays the only one: the second is never taken on and
    // never identified, so nothing of it is offered or read.
    EXPECT_NE(r.err.find("chassis 198.18.0.41 answered"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("chassis 198.18.0.40 answered"), std::string::npos) << r.err;
    EXPECT_TRUE(JsonField(r.out, "serial").empty()) << r.out;
}
