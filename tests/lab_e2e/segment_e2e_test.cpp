// Raw Ethernet families end to end: brevane-cli inside the lab's namespace,
// where seg0 leads nowhere and seg1 reaches the simulated instruments.
#include <gtest/gtest.h>

#include <fstream>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

std::string Segment(const std::string& name, const std::string& kind, const std::string& extra = "") {
    return "[segment " + name + "]\nkind=" + kind + "\n" + extra + "\n";
}

std::string Lab(const std::string& devices) { return "[lab]\nstate-dir=state\n\n" + devices; }

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

void WriteThenRead(const LabDir& lab, const std::string& family, const std::string& serial) {
    const fs::path image = lab.path / (serial + ".bin");
    std::ofstream(image, std::ios::binary) << ImageWithSerial(serial);
    auto w = RunInLab(lab, {CliPath(), "write", "--family", family, "--module", "0", "--backup-dir",
                            (lab.path / "backups").string(), image.string()});
    ASSERT_EQ(w.status, 0) << w.err;
    auto r = RunInLab(lab, {CliPath(), "read", "--family", family, "--module", "0", "-o", (lab.path / "back.bin").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(lab.path / "back.bin"), ReadFile(image));
}

}  // namespace

// Of the two interfaces only the second reaches the instrument, and it is the
// one kept; search, read, write and read back.
TEST(SegmentLab, NesbinFoundOnTheSecondInterfaceReadAndWritten) {
    LabDir lab("nesbin");
    lab.WriteConfig("[lab]\nstate-dir=state\nrecord=record.txt\n\n" +
                    Segment("nesbin-a", "nesbin", "serial=NB0A000777\nmac=02:4e:53:00:00:21"));
    auto d = RunInLab(lab, {CliPath(), "-v", "discover", "--json", "OEM - Nesbin"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(JsonField(d.out, "serial"), std::vector<std::string>{"NB0A000777"});
    EXPECT_TRUE(Has(d.err, "discovery on seg0")) << d.err;
    EXPECT_TRUE(Has(d.err, "instrument 02:4e:53:00:00:21 on seg1")) << d.err;
    EXPECT_FALSE(Has(d.err, "discovery on lo"));
    // The 256-byte image is one read request: address 0, length 0x0100.
    const std::string record = ReadFile(lab.path / "record.txt");
    const std::string readRequest = "0806435800000801000000040000" "0100";
    const auto at = record.find(readRequest);
    ASSERT_NE(at, std::string::npos) << record;
    EXPECT_EQ(record.find(readRequest, at + 1), std::string::npos);
    WriteThenRead(lab, "OEM - Nesbin", "NB0A-NEW-01");
}

// Faults: unrelated broadcasts use up the five discovery attempts; replies
// with another group or command are not replies; silence; a late reply inside
// the attempts is taken; a read reply that brings fewer bytes than its header
// promises is refused.
TEST(SegmentLab, NesbinFaults) {
    struct Case {
        std::string fault;
        int status;
        std::string log;
    };
    const std::vector<Case> cases = {
        {"fault=noise", 1, ""},
        {"fault=wrong-group", 1, ""},
        {"fault=wrong-command", 1, ""},
        {"fault=silent", 1, ""},
        {"fault=short-read", 1, "read EEPROM chunk 0: no reply"},
        {"fault=late\nlate-ms=120", 0, ""},
        {"fault=late\nlate-ms=400", 1, ""},  // past the five attempts
    };
    for (const auto& c : cases) {
        LabDir lab("nesbin-fault");
        lab.WriteConfig(Lab(Segment("nesbin-f", "nesbin", "serial=NBF0000001\n" + c.fault)));
        auto d = RunInLab(lab, {CliPath(), "-v", "discover", "--json", "OEM - Nesbin"});
        EXPECT_EQ(d.status, c.status) << c.fault << "\n" << d.err;
        if (c.status == 1) {
            EXPECT_TRUE(Has(d.out, "\"modules\":[]")) << c.fault << d.out;
        } else {
            EXPECT_EQ(JsonField(d.out, "serial"), std::vector<std::string>{"NBF0000001"}) << c.fault;
        }
        if (!c.log.empty()) {
            EXPECT_TRUE(Has(d.err, c.log)) << c.fault << "\n" << d.err;
        }
    }
}

// Without the capture capability no interface opens. The diagnostic log of
// each family says so once, with the way to grant it, however often the search
// tries; the search log says it for every family it could not look for, and
// --json carries it as that family's error, never as an empty success.
TEST(SegmentLab, MissingCaptureCapabilityIsSaidForEveryFamily) {
    LabDir lab("nesbin-perm");
    lab.WriteConfig(Lab(Segment("nesbin-p", "nesbin", "serial=NBP0000001") +
                        Segment("harlo-p", "harlo", "serial=HLP0000001")));
    const std::vector<std::string> noCaps = {"setpriv", "--inh-caps=-all", "--bounding-set=-net_raw,-net_admin",
                                             "--"};
    const std::vector<std::string> families = {"OEM - Nesbin", "Harlo - 301", "Harlo - 101"};
    const std::string reason = "no network interface could be opened for raw Ethernet: this program lacks "
                               "the capture capability. To grant it: sudo setcap cap_net_raw,cap_net_admin+ep";
    auto args = noCaps;
    args.push_back(CliPath());
    args.push_back("discover");
    args.insert(args.end(), families.begin(), families.end());
    auto d = RunInLab(lab, args);
    EXPECT_EQ(d.status, 1) << d.err;
    for (const std::string who : {"nesbin: ", "harlo301api: "}) {
        const auto first = d.err.find(who + reason);
        ASSERT_NE(first, std::string::npos) << d.err;
        EXPECT_EQ(d.err.find(who + reason, first + 1), std::string::npos) << d.err;
    }
    // Once per family, on the line after its "not found" (the diagnostic line
    // may come between the two texts of the "Finding" line).
    std::size_t said = 0;
    for (auto at = d.err.find(" CANNOT FIND ACTIVE DEVICE!!!\n" + reason); at != std::string::npos;
         at = d.err.find(" CANNOT FIND ACTIVE DEVICE!!!\n" + reason, at + 1))
        ++said;
    EXPECT_EQ(said, families.size()) << d.err;

    args.push_back("--json");
    auto j = RunInLab(lab, args);
    EXPECT_EQ(j.status, 1) << j.err;
    EXPECT_TRUE(Has(j.out, "{\"ok\":false,\"errors\":[{\"family\":\"Harlo - 101\",\"error\":\"" + reason)) << j.out;
    EXPECT_EQ(JsonField(j.out, "family"), (std::vector<std::string>{"Harlo - 101", "Harlo - 301", "OEM - Nesbin"}))
        << j.out;
    EXPECT_TRUE(Has(j.out, "\"modules\":[]")) << j.out;

    // With the capability the same search finds both instruments and says nothing of it.
    auto ok = RunInLab(lab, {CliPath(), "discover", "--json", "OEM - Nesbin", "Harlo - 301"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_FALSE(Has(ok.out + ok.err, "capture capability")) << ok.out << ok.err;
}

// Harlo through the stand-in library: each model is found only by its own
// row (a Harlo-301 row refuses machine ID 2); search, read, write, read back.
TEST(SegmentLab, HarloModelsSearchReadAndWrite) {
    const std::vector<std::pair<std::string, std::string>> models = {
        {"101", "Harlo - 101"}, {"301", "Harlo - 301"}, {"801", "Harlo - 801"}, {"802", "Harlo - 802"}};
    for (const auto& [model, row] : models) {
        LabDir lab("harlo-" + model);
        lab.WriteConfig(Lab(Segment("harlo-" + model, "harlo", "model=" + model + "\nserial=HL" + model + "X0001")));
        auto d = RunInLab(lab, {CliPath(), "discover", "--json", "Harlo - 101", "Harlo - 301", "Harlo - 801",
                                "Harlo - 802"});
        ASSERT_EQ(d.status, 0) << d.err;
        EXPECT_EQ(JsonField(d.out, "serial"), std::vector<std::string>{"HL" + model + "X0001"}) << model;
        EXPECT_EQ(JsonField(d.out, "name"), std::vector<std::string>{row}) << d.out;
        if (model == "101") {
            auto wrong = RunInLab(lab, {CliPath(), "read", "--family", "Harlo - 301", "--module", "0", "-o",
                                        (lab.path / "x.bin").string()});
            EXPECT_EQ(wrong.status, 1);
            EXPECT_FALSE(fs::exists(lab.path / "x.bin"));
        }
        if (model == "802") WriteThenRead(lab, row, "HL802-NEW-7");
    }
}

// A read whose completion never comes fails after about 2 s and writes no
// image; a completion frame with another code completes nothing; a completion
// 1700 ms late is inside the limit, 2300 ms late is not.
TEST(SegmentLab, HarloCompletionFaults) {
    LabDir late("harlo-late");
    late.WriteConfig(Lab(Segment("harlo-l", "harlo", "model=301\nserial=HLLATE\nfault=late\nlate-ms=1700")));
    auto in = RunInLab(late, {CliPath(), "read", "--family", "Harlo - 301", "--module", "0", "-o",
                              (late.path / "x.bin").string()});
    EXPECT_EQ(in.status, 0) << in.err;
    for (const std::string fault : {"silent", "other-completion", "late\nlate-ms=2300"}) {
        LabDir lab("harlo-" + fault);
        lab.WriteConfig(Lab(Segment("harlo-f", "harlo", "model=301\nserial=HLF\nfault=" + fault)));
        auto r = RunInLab(lab, {CliPath(), "-v", "read", "--family", "Harlo - 301", "--module", "0", "-o",
                                (lab.path / "x.bin").string()});
        EXPECT_EQ(r.status, 1) << fault << r.err;
        EXPECT_TRUE(Has(r.err, "read: no completion")) << fault << r.err;
        EXPECT_FALSE(fs::exists(lab.path / "x.bin"));
        EXPECT_GE(r.seconds, 2.0) << fault;
    }
    // The read-back of a write loses its image frame, its completion comes:
    // the read does not complete, so the write is not verified.
    LabDir lost("harlo-lost");
    lost.WriteConfig(Lab(Segment("harlo-r", "harlo", "model=301\nserial=HLR\nfault=lost-read-back")));
    const fs::path image = lost.path / "new.bin";
    std::ofstream(image, std::ios::binary) << ImageWithSerial("HLR-NEW-1");
    auto w = RunInLab(lost, {CliPath(), "-v", "write", "--family", "Harlo - 301", "--module", "0", "--backup-dir",
                             (lost.path / "backups").string(), image.string()});
    EXPECT_EQ(w.status, 1) << w.err;
    EXPECT_TRUE(Has(w.err, "completion without the image")) << w.err;
    EXPECT_TRUE(Has(w.err, "not answered by")) << w.err;
}

// The library connects again after its connection ended: open, read and
// close twice after one detection; a read or write longer than the 256-byte
// image is refused.
TEST(SegmentLab, HarloReopenAndOverlongTransfers) {
    LabDir lab("harlo-reopen");
    lab.WriteConfig(Lab(Segment("harlo-o", "harlo", "model=301\nserial=HLREOPEN1")));
    auto p = RunInLab(lab, {(BinDir() / "harlo_probe").string()});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.out, "connect 1\nopen 1 read 1 serial HLREOPEN1 read 257: 0 write 257: 0\n"
                     "open 1 read 1 serial HLREOPEN1\n")
        << p.err;
}
