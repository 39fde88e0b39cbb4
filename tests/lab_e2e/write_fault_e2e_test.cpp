// Writes that fail half-way and writes to a module that is not the one
// chosen, through brevane-cli inside the simulated lab.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

std::string Tesk(const std::string& name, const std::string& serial, int port, const std::string& extra = "") {
    return "[device " + name + "]\nkind=mpusb\nvid=0x2403\npid=0x1688\nproduct=Quenlor Tesk-100/200\nport=" +
           std::to_string(port) + "\nprotocol=echo8\nserial=" + serial + "\n" + extra + "\n";
}

int JsonNumber(const std::string& json, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + name + "\":(-?[0-9]+)"))) return -999;
    return std::stoi(m[1]);
}

// An old image in the device's state file, so the backup can be compared with
// it; it differs from ImageWithSerial() images in every chunk.
std::string SeedState(const LabDir& lab, const std::string& device, const std::string& serial) {
    fs::create_directories(lab.state);
    std::string image = ImageWithSerial(serial);
    for (std::size_t i = 0; i < image.size(); ++i)
        if (i < 76 || i > 76 + serial.size()) image[i] = static_cast<char>(image[i] ^ 0x5A);
    std::ofstream(lab.state / (device + ".bin"), std::ios::binary) << image;
    return image;
}

}  // namespace

// A device that vanishes at write chunk 2, and one that stores chunks from 1
// on wrongly while echoing them as sent: both writes are reported failed with
// step and chunk, the backup holds the old image, and the printed restore
// command brings it back.
TEST(WriteFaultLab, MidWriteFaultsAreReportedWithBackupAndRestoreCommand) {
    struct Case {
        const char* fault;
        int fromWrite;
        const char* step;
        int chunk;
        const char* detail;
    };
    for (const Case& c : {Case{"vanish", 2, "write", 2, "write: chunk 2 of 5 not acknowledged"},
                          Case{"garble", 1, "compare", -1, "differs at byte 60"},
                          Case{"wrong-length", 4, "write", 4, "write: chunk 4 of 5 not acknowledged"}}) {
        SCOPED_TRACE(c.fault);
        LabDir lab(std::string("wfault-") + c.fault);
        const std::string fault = std::string("fault=") + c.fault + "\nfault-from-write=" + std::to_string(c.fromWrite) + "\n";
        lab.WriteConfig("[lab]\nstate-dir=state\n\n" + Tesk("victim", "OLD0000001", 1, fault));
        const std::string old = SeedState(lab, "victim", "OLD0000001");
        const fs::path image = lab.path / "new.bin";
        const fs::path backups = lab.path / "backups";
        std::ofstream(image, std::ios::binary) << ImageWithSerial("NEW0000002");

        auto w = RunInLab(lab, {CliPath(), "write", "--json", "--family", "Tesk - 100", "--module", "0",
                                "--backup-dir", backups.string(), image.string()});
        EXPECT_EQ(w.status, 1) << w.out << w.err;
        EXPECT_EQ(w.out.rfind("{\"ok\":false,", 0), 0u) << w.out;
        EXPECT_EQ(JsonField(w.out, "step"), std::vector<std::string>{c.step}) << w.out;
        EXPECT_EQ(JsonNumber(w.out, "chunk"), c.chunk) << w.out;
        EXPECT_NE(w.out.find(c.detail), std::string::npos) << w.out;
        EXPECT_NE(w.err.find("write: writing Tesk - 100 module 0, S/N OLD0000001"), std::string::npos) << w.err;
        const auto backup = JsonField(w.out, "backup");
        ASSERT_EQ(backup.size(), 1u) << w.out;
        EXPECT_EQ(ReadFile(backup[0]), old);
        // The module holds neither image whole.
        const std::string now = ReadFile(lab.state / "victim.bin");
        EXPECT_NE(now, old);
        EXPECT_NE(now, ReadFile(image));

        // The restore command, as printed, in the same lab without the fault.
        const auto restore = JsonField(w.out, "restore");
        ASSERT_EQ(restore.size(), 1u) << w.out;
        std::string unescaped;
        for (std::size_t i = 0; i < restore[0].size(); ++i) {
            if (restore[0][i] == '\\' && i + 1 < restore[0].size()) ++i;
            unescaped += restore[0][i];
        }
        EXPECT_NE(unescaped.find("--module 0"), std::string::npos) << unescaped;
        lab.WriteConfig("[lab]\nstate-dir=state\n\n" + Tesk("victim", "OLD0000001", 1));
        auto r = RunInLab(lab, {"/bin/sh", "-c", unescaped});
        EXPECT_EQ(r.status, 0) << unescaped << "\n" << r.err;
        EXPECT_EQ(ReadFile(lab.state / "victim.bin"), old);
    }
}

// The module at the index is not the one chosen: refused, nothing written,
// no backup made. Without --expect-serial the write goes ahead and says which
// module it writes.
TEST(WriteFaultLab, WriteToAnotherModuleThanChosenIsRefused) {
    LabDir lab("wrefuse");
    lab.WriteConfig("[lab]\nstate-dir=state\n\n" + Tesk("first", "FIRST00001", 1) + Tesk("second", "SECOND0002", 2));
    const std::string first = SeedState(lab, "first", "FIRST00001");
    const std::string second = SeedState(lab, "second", "SECOND0002");
    const fs::path image = lab.path / "new.bin";
    const fs::path backups = lab.path / "backups";
    std::ofstream(image, std::ios::binary) << ImageWithSerial("NEW0000003");

    // Chosen as the module with SECOND0002 (index 1 in an earlier search), but
    // index 0 is asked for.
    auto w = RunInLab(lab, {CliPath(), "write", "--family", "Tesk - 100", "--module", "0", "--expect-serial",
                            "SECOND0002", "--backup-dir", backups.string(), image.string()});
    EXPECT_EQ(w.status, 1) << w.err;
    EXPECT_NE(w.err.find("confirm module: Tesk - 100 module 0 has serial number \"FIRST00001\", not \"SECOND0002\""),
              std::string::npos)
        << w.err;
    EXPECT_NE(w.err.find("nothing written"), std::string::npos) << w.err;
    EXPECT_EQ(w.err.find("write: writing"), std::string::npos) << w.err;
    EXPECT_FALSE(fs::exists(backups));
    EXPECT_EQ(ReadFile(lab.state / "first.bin"), first);
    EXPECT_EQ(ReadFile(lab.state / "second.bin"), second);

    // The right serial for the index: written.
    auto ok = RunInLab(lab, {CliPath(), "write", "--family", "Tesk - 100", "--module", "1", "--expect-serial",
                             "SECOND0002", "--backup-dir", backups.string(), image.string()});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ReadFile(lab.state / "second.bin"), ReadFile(image));
    // Without --expect-serial: written, and the module named first.
    auto plain = RunInLab(lab, {CliPath(), "write", "--family", "Tesk - 100", "--module", "0", "--backup-dir",
                                backups.string(), image.string()});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.err.find("write: writing Tesk - 100 module 0, S/N FIRST00001"), std::string::npos) << plain.err;
    EXPECT_EQ(ReadFile(lab.state / "first.bin"), ReadFile(image));
}

// The USB families with transfers of their own (Olvenna from byte 32, the
// word-addressed Brantle-311, the Pirrel's 124-byte packets) name the chunk at
// which a write stopped, as the others do.
TEST(WriteFaultLab, EveryUsbFamilyNamesTheFailedChunk) {
    struct Case {
        const char* family;
        const char* device;
        int fromWrite;
        const char* detail;
    };
    const Case cases[] = {
        {"Olvenna", "vid=0x2403\npid=0x1688\nproduct=Olvenna\nprotocol=echo8\n", 2, "write: chunk 2 of 4 not"},
        {"Brantle - 311", "vid=0x2403\npid=0x9302\nproduct=Quenlor Brantle-311\nprotocol=word16\n", 3,
         "write: chunk 3 of 5 not"},
        {"Pirrel - 4U", "vid=0x10c4\npid=0xea61\nproduct=Pirrel-4U\nprotocol=usbxpress\n", 1,
         "write: chunk 1 of 3 not"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.family);
        LabDir lab("wchunk-" + std::to_string(c.fromWrite));
        lab.WriteConfig("[lab]\nstate-dir=state\n\n[device unit]\nkind=mpusb\nport=1\nserial=CHUNK0001\n" +
                        std::string(c.device) + "fault=vanish\nfault-from-write=" + std::to_string(c.fromWrite) + "\n");
        const fs::path image = lab.path / "new.bin";
        std::ofstream(image, std::ios::binary) << ImageWithSerial("NEWCHUNK2");
        auto w = RunInLab(lab, {CliPath(), "write", "--json", "--family", c.family, "--module", "0", "--backup-dir",
                                (lab.path / "backups").string(), image.string()});
        EXPECT_EQ(w.status, 1) << w.out << w.err;
        EXPECT_EQ(JsonField(w.out, "step"), std::vector<std::string>{"write"}) << w.out;
        EXPECT_EQ(JsonNumber(w.out, "chunk"), c.fromWrite) << w.out;
        EXPECT_NE(w.out.find(c.detail), std::string::npos) << w.out;
    }
}
