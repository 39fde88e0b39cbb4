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
    // Two interfaces of three cycles of three 50 ms misses, plus the lab.
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
        // Two discoveries, a 1 s connect and 50 attempts of at most 350 ms.
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
    // Per interface three passes of 60 polls of 50 ms, twice.
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
