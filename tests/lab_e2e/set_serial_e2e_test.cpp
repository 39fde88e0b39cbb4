// brevane-cli set-serial end to end in the lab: one USB module and one
// chassis card get a new serial number; only the serial bytes change, the
// backup holds the old image and its restore command puts it back.
#include <gtest/gtest.h>

#include <fstream>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

// An image whose every byte is set: a long serial, then bytes that a careless
// write would zero.
std::string OldImage(const std::string& serial) {
    std::string image(256, '\0');
    for (std::size_t i = 0; i < 256; ++i) image[i] = static_cast<char>(0x80 + i * 37 % 120);
    std::copy(serial.begin(), serial.end(), image.begin() + 76);
    image[76 + serial.size()] = '\0';
    return image;
}

std::size_t BackupCount(const fs::path& dir) {
    return fs::exists(dir) ? static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {})) : 0;
}

// Refusals, the identity check, the write and the restore on one module whose
// lab image is `stateFile`; `select` names it on the command line.
void SetSerialRoundTrip(const LabDir& lab, const std::vector<std::string>& select, const fs::path& stateFile,
                        const std::string& oldSerial, const std::string& newSerial) {
    const std::string old = OldImage(oldSerial);
    std::ofstream(stateFile, std::ios::binary) << old;
    const fs::path backups = lab.path / "backups";
    auto cli = [&](std::vector<std::string> extra) {
        std::vector<std::string> argv = {CliPath(), "set-serial", "--backup-dir", backups.string()};
        argv.insert(argv.end(), select.begin(), select.end());
        argv.insert(argv.end(), extra.begin(), extra.end());
        return RunInLab(lab, argv);
    };

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"", "empty"}, {std::string(180, 'A'), "at most 179"}, {"AB\tC", "character 3"}, {"N\xc3\xa9", "character 2"}};
    for (const auto& [text, reason] : refused) {
        auto r = cli({"--", text});
        EXPECT_EQ(r.status, 2) << reason << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing written"), std::string::npos) << r.err;
    }
    auto wrongUnit = cli({"--json", "--expect-serial", "SOMEONE-ELSE", newSerial});
    EXPECT_EQ(wrongUnit.status, 1);
    EXPECT_NE(wrongUnit.out.find("\"step\":\"confirm module\""), std::string::npos) << wrongUnit.out;
    EXPECT_EQ(JsonField(wrongUnit.out, "old_serial"), std::vector<std::string>{oldSerial});
    EXPECT_EQ(BackupCount(backups), 0u);
    EXPECT_EQ(ReadFile(stateFile), old);

    // The longest serial that fits ends with its zero byte in byte 255.
    auto r = cli({"--json", "--expect-serial", oldSerial, newSerial});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(JsonField(r.out, "old_serial"), std::vector<std::string>{oldSerial});
    EXPECT_EQ(JsonField(r.out, "serial"), std::vector<std::string>{newSerial});
    const auto backup = JsonField(r.out, "backup");
    ASSERT_EQ(backup.size(), 1u) << r.out;
    EXPECT_EQ(ReadFile(backup[0]), old);
    EXPECT_EQ(BackupCount(backups), 1u);

    const std::string now = ReadFile(stateFile);
    ASSERT_EQ(now.size(), 256u);
    const std::size_t end = 76 + newSerial.size();  // the new zero byte
    for (std::size_t i = 0; i < 256; ++i) {
        if (i < 76 || i > end) {
            EXPECT_EQ(now[i], old[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(now.substr(76, newSerial.size() + 1), newSerial + '\0');

    // What the module reads now, shown as the view.
    std::vector<std::string> read = {CliPath(), "read", "--show"};
    read.insert(read.end(), select.begin(), select.end());
    auto shown = RunInLab(lab, read);
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out.rfind("S/N: " + newSerial + "\n", 0), 0u) << shown.out;
    EXPECT_NE(shown.out.find("0040  "), std::string::npos) << shown.out;

    // The command given for putting the backup back does so.
    const auto restore = JsonField(r.out, "restore");
    ASSERT_EQ(restore.size(), 1u);
    auto back = RunInLab(lab, {"/bin/sh", "-c", restore[0]});
    ASSERT_EQ(back.status, 0) << restore[0] << "\n" << back.err;
    EXPECT_EQ(ReadFile(stateFile), old);
}

}  // namespace

TEST(SetSerialLab, TeskModuleGetsItsNewSerialAndOnlyThat) {
    LabDir lab("set-serial-tesk");
    const std::string usb = "vid=0x2403\npid=0x1688\nproduct=Quenlor Tesk-100/200\nprotocol=echo8\n";
    lab.WriteConfig("[lab]\nstate-dir=state\n\n[device tesk-pipe]\nkind=pipe\n" + usb +
                    "class-guid={DFEE6909-CA08-4BF6-9BD7-12C3511DE4AE}\nport=2\nserial=TKP0000789\n\n"
                    "[device tesk100-a]\nkind=mpusb\n" + usb + "port=1\nserial=TK1A000123\n");
    // Pipe devices come first: the MPUSB device is module 1.
    SetSerialRoundTrip(lab, {"--family", "Tesk - 100", "--module", "1"}, lab.state / "tesk100-a.bin",
                       "OLD-SERIAL-TESK-0123456789", "TK-NEW-7");
    // The other module was never touched.
    auto d = RunInLab(lab, {CliPath(), "discover", "--json", "Tesk - 100"});
    EXPECT_EQ(JsonField(d.out, "serial"), (std::vector<std::string>{"TKP0000789", "OLD-SERIAL-TESK-0123456789"}));
}

TEST(SetSerialLab, GostelCardThroughItsCardSelection) {
    LabDir lab("set-serial-gostel");
    lab.WriteConfig("[lab]\nstate-dir=state\n\n[device gostel-a]\nkind=gostel\nnetwork=lan0\naddress=198.18.0.30\n"
                    "serial=GSA0001\ncards=1:0xA021:1,3:0xC022:2,5:0xD022:0\n");
    // Row 2 of the card dialog is the card in slot 1; the new serial fills the image.
    SetSerialRoundTrip(lab, {"--family", "Gostel - 2160", "--card", "2"}, lab.state / "gostel-a-slot1.bin", "GS-OLD-1",
                       std::string(178, 'g') + "Z");
}

TEST(SetSerialLab, ShowViewsAnImageFile) {
    LabDir lab("show");
    const fs::path file = lab.path / "image.bin";
    std::ofstream(file, std::ios::binary) << ImageWithSerial("SHOW-ME");
    auto r = ::Run({CliPath(), "show", file.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("S/N: SHOW-ME\n0000  30 31", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("0040  70 71 72 73 74 75 76 77  78 79 7a 7b 53 48 4f 57  |pqrstuvwxyz{SHOW|\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 17);
    EXPECT_EQ(::Run({CliPath(), "show", (lab.path / "missing.bin").string()}).status, 2);
}
