// Ctrl-C of brevane-cli inside the simulated lab: SIGINT during a search that
// meets a silent Tesk stops it at the next transfer boundary with what was
// found printed; during a write it is refused and the write runs to its end.
#include <gtest/gtest.h>

#include <fstream>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

std::string Tesk(const std::string& name, const std::string& kind, const std::string& serial, int port,
                 const std::string& extra = "") {
    std::string s = "[device " + name + "]\nkind=" + kind +
                    "\nvid=0x2403\npid=0x1688\nproduct=Quenlor Tesk-100/200\nport=" + std::to_string(port) +
                    "\nprotocol=echo8\nserial=" + serial + "\n";
    if (kind == "pipe") s += "class-guid={DFEE6909-CA08-4BF6-9BD7-12C3511DE4AE}\n";
    return s + extra + "\n";
}

// True once the lab's wire record holds `text`.
std::function<bool()> RecordHolds(const fs::path& record, std::string text) {
    return [record, text] { return ReadFile(record).find(text) != std::string::npos; };
}

}  // namespace

TEST(CliInterrupt, CtrlCStopsASearchAndPrintsWhatWasFound) {
    LabDir lab("int-search");
    const fs::path record = lab.path / "record.txt";
    lab.WriteConfig("[lab]\nstate-dir=state\nrecord=" + record.string() + "\n\n" +
                    Tesk("tesk-pipe", "pipe", "INTP0000001", 1) +
                    Tesk("tesk-silent", "mpusb", "INTS0000002", 2, "fault=silent"));
    double at = -1;
    // Interrupted while the silent Tesk's first chunk waits for its reply.
    auto r = RunInLabInterrupted(lab, {CliPath(), "discover", "--json", "Tesk - 100"},
                                 RecordHolds(record, "tesk-silent out"), &at);
    ASSERT_GE(at, 0) << r.err;
    EXPECT_EQ(r.status, 130) << r.err;
    // Stopped at the next transfer boundary, not after 80 attempts (nor killed
    // by the lab five seconds after the signal).
    EXPECT_LT(r.seconds - at, 4.5) << r.err;
    // One complete JSON document with the module found before the stop.
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    EXPECT_NE(r.out.find("\"stopped\":true"), std::string::npos) << r.out;
    EXPECT_EQ(JsonField(r.out, "serial"), std::vector<std::string>{"INTP0000001"}) << r.out;
    EXPECT_NE(r.err.find("Finding Tesk - 100 . . ."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Search stopped."), std::string::npos) << r.err;
}

TEST(CliInterrupt, CtrlCDuringAWriteIsRefusedAndTheWriteRunsToItsEnd) {
    LabDir lab("int-write");
    const fs::path record = lab.path / "record.txt";
    lab.WriteConfig("[lab]\nstate-dir=state\nrecord=" + record.string() + "\n\n" +
                    Tesk("tesk-late", "pipe", "INTW0000003", 1, "fault=late\nlate-ms=150"));
    const fs::path image = lab.path / "new.bin";
    std::ofstream(image, std::ios::binary) << ImageWithSerial("INT-WRITTEN-7");
    double at = -1;
    // Interrupted once the first write request (command 0x08) is on the wire.
    auto r = RunInLabInterrupted(lab,
                                 {CliPath(), "write", "--family", "Tesk - 100", "--module", "0", "--backup-dir",
                                  (lab.path / "backups").string(), image.string()},
                                 RecordHolds(record, "tesk-late out 64 08"), &at);
    ASSERT_GE(at, 0) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("a write is never stopped half-way; waiting for it to end"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("written and verified"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(lab.state / "tesk-late.bin"), ReadFile(image));
}
