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

// Yaltro writes only bytes 32-107, 154-183 and 188-197 (and reads 184-187
// besides). A serial number it would not write whole is refused with nothing
// written and the longest it takes named; a byte it reads and keeps that
// differs from the image is named; the restore command asks for the console's
// own login text and never shows it.
TEST(SetSerialLab, YaltroTakesOnlyTheSerialNumbersItWrites) {
    LabDir lab("set-serial-yaltro");
    lab.WriteConfig("[lab]\nstate-dir=state\n\n[serial yaltro-c]\nport=0\nserial=YT3C000303\nlogin=yes\n"
                    "login-text=Kv7-quartz\n");
    const fs::path secret = lab.path / "secret.txt";
    std::ofstream(secret) << "Kv7-quartz\n";
    const fs::path backups = lab.path / "backups";
    const fs::path stateFile = lab.state / "yaltro-c.bin";
    auto cli = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = {CliPath(),  "--json",        "--yaltro-password-file", secret.string(),
                                         "--family", "Yaltro",        "--module",               "0",
                                         "--backup-dir", backups.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunInLab(lab, argv);
    };
    auto has = [](const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; };

    // 41 characters would leave the module with its first 31 and a stray byte.
    auto longer = cli({"set-serial", std::string(41, 'L')});
    EXPECT_EQ(longer.status, 1) << longer.out << longer.err;
    EXPECT_TRUE(has(longer.out, "Yaltro takes serial numbers of at most 31 characters; nothing written")) << longer.out;
    EXPECT_EQ(BackupCount(backups), 0u);
    const std::string initial = ReadFile(stateFile);

    // 31 characters fit (the zero byte is byte 107).
    auto fits = cli({"set-serial", std::string(31, 'F')});
    ASSERT_EQ(fits.status, 0) << fits.out << fits.err;
    const auto restore = JsonField(fits.out, "restore");
    ASSERT_EQ(restore.size(), 1u) << fits.out;
    EXPECT_TRUE(has(restore[0], "'--yaltro-password'")) << restore[0];
    EXPECT_TRUE(has(restore[0], "--expect-serial '" + std::string(31, 'F') + "'")) << restore[0];
    EXPECT_FALSE(has(fits.out + fits.err, "Kv7-quartz"));
    const auto backup = JsonField(fits.out, "backup");
    ASSERT_EQ(backup.size(), 1u);
    const std::string original = ReadFile(backup[0]);
    ASSERT_EQ(original.size(), 256u);
    const std::string afterFits = ReadFile(stateFile);

    // An image whose serial's zero byte would be byte 108: refused, nothing written.
    std::string image = original;
    image.replace(76, 33, std::string(32, 'S') + '\0');
    const fs::path file = lab.path / "image.bin";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << image;
    auto w32 = cli({"write", file.string()});
    EXPECT_EQ(w32.status, 1) << w32.out << w32.err;
    EXPECT_TRUE(has(w32.out, "reaches byte 108")) << w32.out;
    EXPECT_TRUE(has(w32.out, "at most 31 characters; nothing written")) << w32.out;
    EXPECT_EQ(BackupCount(backups), 1u);
    EXPECT_EQ(ReadFile(stateFile), afterFits);

    // A byte that it reads but keeps, changed in the image: written, and
    // exactly that byte named (bytes it cannot read are not claimed).
    const fs::path current = lab.path / "current.bin";
    auto read = RunInLab(lab, {CliPath(), "--yaltro-password-file", secret.string(), "read", "--family", "Yaltro",
                               "--module", "0", "-o", current.string()});
    ASSERT_EQ(read.status, 0) << read.err;
    image = ReadFile(current);
    ASSERT_EQ(image.size(), 256u);
    for (std::size_t at : {0u, 184u, 200u}) image[at] = static_cast<char>(image[at] ^ 0x01);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << image;
    auto kept = cli({"write", file.string()});
    ASSERT_EQ(kept.status, 0) << kept.out << kept.err;
    EXPECT_EQ(JsonField(kept.out, "kept_differing"), std::vector<std::string>{"byte 184"}) << kept.out;
    std::vector<std::string> plain = {CliPath(), "--yaltro-password-file", secret.string(), "write", "--family",
                                      "Yaltro", "--module", "0", "--backup-dir", backups.string(), file.string()};
    auto keptText = RunInLab(lab, plain);
    EXPECT_EQ(keptText.status, 0) << keptText.err;
    EXPECT_TRUE(has(keptText.out, "written, but not all of the image: Yaltro module 0, S/N " + std::string(31, 'F') +
                                      "; it kept byte 184 unchanged although the image differs there"))
        << keptText.out;

    // The restore command of the serial number change, its login text given
    // on standard input, puts the first image back.
    auto restored = RunInLab(lab, {"/bin/sh", "-c", restore[0] + " < '" + secret.string() + "'"});
    EXPECT_EQ(restored.status, 0) << restore[0] << "\n" << restored.err;
    EXPECT_EQ(ReadFile(stateFile), initial);
}
