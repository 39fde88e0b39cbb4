// The USB link families beyond Tesk-100/200 and the Pirrel, end to end:
// brevane-cli inside the simulated lab, through the sysfs walk, hidraw, pipe
// nodes, libmpusbapi and libSiUSBXp over libusb.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

struct Dev {
    std::string name, kind;
    unsigned vid, pid;
    std::string product, protocol, serial;
    int port;
    std::string extra = {};  // further keys, e.g. "fault=silent\n"
    std::string guid = {};   // pipe devices
};

std::string Hex4(unsigned v) {
    char t[8];
    std::snprintf(t, sizeof t, "0x%04x", v);
    return t;
}

std::string Config(const std::vector<Dev>& devices) {
    std::string s = "[lab]\nstate-dir=state\nrecord=record.txt\n\n[hub hub1]\nport=1\nports=15\n\n";
    for (const auto& d : devices) {
        s += "[device " + d.name + "]\nkind=" + d.kind + "\nvid=" + Hex4(d.vid) + "\npid=" + Hex4(d.pid) +
             "\nproduct=" + d.product + "\nport=" + std::to_string(d.port) + "\nparent=hub1\nprotocol=" + d.protocol +
             "\nserial=" + d.serial + "\n" + d.extra;
        if (!d.guid.empty()) s += "class-guid=" + d.guid + "\n";
        s += "\n";
    }
    return s;
}

const char* kTesk300Guid = "{EF986A86-8B26-4A89-820F-C0C355BC9500}";
const char* kBrantleGuid = "{02C8F5BE-60F8-4683-BED8-C20502BFBB06}";
const char* kQuisselGuid = "{C702CFA0-138E-4C31-9C91-C5B015C6DD7F}";
const char* kOlvennaGuid = "{81228C3B-0283-44B6-996C-89475046E950}";
const char* kDorlaGuid = "{43F563C9-5D65-4C86-9F88-37AD5E903545}";

// One or more instruments of every row, under every search stage that does
// not take HID product 0x1705 (shared by Tesk-300 and Quissel: see HidLab).
std::vector<Dev> EveryRow() {
    return {
        {"t3-pipe", "pipe", 0x2403, 0x1688, "Quenlor Tesk-300", "tesk300", "T3PIPE01", 1, "", kTesk300Guid},
        {"t3-walk1", "mpusb", 0x10c4, 0x001d, "Quenlor Tesk-300", "tesk300", "T3WALK01", 2},
        {"t3-walk2", "mpusb", 0x2403, 0x1688, "Quenlor Tesk-300", "tesk300", "T3WALK02", 3},
        {"ov-pipe", "pipe", 0x2403, 0x1688, "Olvenna", "echo8", "OVPIPE01", 4, "", kOlvennaGuid},
        {"ov-walk", "mpusb", 0x2403, 0x1688, "Olvenna", "echo8", "OVWALK01", 5},
        {"br-pipe", "pipe", 0x2403, 0x1688, "Brantle-300 series", "brantle300", "BRPIPE01", 6, "", kBrantleGuid},
        {"br-walk1", "mpusb", 0x10c4, 0x0014, "Brantle-300 series", "brantle300", "BRWALK01", 7},
        {"br-walk2", "mpusb", 0x2403, 0x1688, "Brantle-300 series", "brantle300", "BRWALK02", 8},
        {"pd-pipe", "pipe", 0x2403, 0x1688, "Pembrix-Dorla", "dorla", "PDPIPE01", 9, "", kDorlaGuid},
        {"pd-walk", "mpusb", 0x10c4, 0x0010, "Pembrix-Dorla", "dorla", "PDWALK01", 10},
        {"b311-a", "mpusb", 0x2403, 0x1688, "Quenlor Brantle-311", "word16", "B311A001", 11},
        {"b311-b", "mpusb", 0x2403, 0x9302, "Quenlor Brantle-311", "word16", "B311B001", 12},
        {"s61", "mpusb", 0x10c4, 0x1001, "Quenlor Brantle-S61", "word16", "BS61A001", 13},
        {"qs-pipe", "pipe", 0x2403, 0x1688, "Quissel-500 Series", "quissel", "QSPIPE01", 14, "", kQuisselGuid},
        {"qs-walk", "mpusb", 0x10c4, 0x0016, "Quissel-500 Series", "quissel", "QSWALK01", 15},
    };
}

// Devices beyond hub1's ports sit on the root hub.
std::string RootDevices() {
    return "[device dv-hid]\nkind=hid\nvid=0x2403\npid=0x1707\nproduct=Dravik-100\nport=2\nprotocol=quissel\n"
           "serial=DVHID001\n\n"
           "[device dv-walk]\nkind=mpusb\nvid=0x2405\npid=0x1688\nproduct=Dravik-100\nport=3\nprotocol=quissel\n"
           "serial=DVWALK01\n\n"
           "[device pirrel]\nkind=mpusb\nvid=0x10c4\npid=0xea61\nproduct=Pirrel-4U\nport=4\nprotocol=usbxpress\n"
           "serial=PIRREL01\n\n";
}

// (model, serial) of every module a discover --json listed, in order.
std::vector<std::string> Listed(const std::string& json) {
    auto models = JsonField(json, "model");
    auto serials = JsonField(json, "serial");
    std::vector<std::string> out;
    for (std::size_t i = 0; i < models.size() && i < serials.size(); ++i) out.push_back(models[i] + "/" + serials[i]);
    return out;
}

// The request frames one device received, as hex, in order.
std::vector<std::string> Requests(const fs::path& record, const std::string& device) {
    std::ifstream in(record);
    std::vector<std::string> out;
    std::string stamp, name, dir, count, hex;
    while (in >> stamp >> name >> dir >> count >> hex)
        if (name == device && dir == "out") out.push_back(hex);
    return out;
}

std::string Image(const std::string& serial, std::uint8_t fill) {
    std::string image = ImageWithSerial(serial);
    for (std::size_t i = 0; i < 76; ++i) image[i] = static_cast<char>(fill + i);
    return image;
}

std::string Sh(const std::string& s) { return "'" + s + "'"; }

}  // namespace

TEST(UsbFamiliesLab, EveryRowListsItsInstrumentsInOrderThenWritesAndReadsBack) {
    LabDir lab("usbfam-rows");
    lab.WriteConfig(Config(EveryRow()) + RootDevices());
    const std::string cli = CliPath();
    auto d = RunInLab(lab, {cli, "discover", "--json", "Tesk - 300", "Olvenna", "Brantle - 302", "Brantle - 303",
                            "Pembrix - Dorla", "Brantle - 311", "Brantle - S61", "Quissel - 501", "Quissel - 551",
                            "Dravik - 100", "Pirrel - 4U"});
    ASSERT_EQ(d.status, 0) << d.err;
    // Registry order; within a family: pipe, HID, then each walk in turn.
    EXPECT_EQ(Listed(d.out),
              (std::vector<std::string>{
                  "Olvenna/OVPIPE01", "Olvenna/OVWALK01", "Pirrel - 4U/PIRREL01", "Tesk - 300/T3PIPE01",
                  "Tesk - 300/T3WALK01", "Tesk - 300/T3WALK02", "Quissel - 501/QSPIPE01", "Quissel - 501/QSWALK01",
                  "Quissel - 551/QSPIPE01", "Quissel - 551/QSWALK01", "Dravik - 100/DVHID001",
                  "Dravik - 100/DVWALK01", "Brantle - 302/BRPIPE01", "Brantle - 302/BRWALK01",
                  "Brantle - 302/BRWALK02", "Brantle - 303/BRPIPE01", "Brantle - 303/BRWALK01",
                  "Brantle - 303/BRWALK02", "Brantle - 311/B311B001", "Brantle - 311/B311A001",
                  "Brantle - S61/BS61A001", "Pembrix - Dorla/PDPIPE01", "Pembrix - Dorla/PDWALK01"}))
        << d.err;

    // The wire, as the instruments saw it during that search.
    const fs::path record = lab.path / "record.txt";
    auto s61 = Requests(record, "s61");
    ASSERT_EQ(s61.size(), 5u);
    const char* words[] = {"030000001d00", "03001d001d00", "03003a001d00", "030057001d00", "030074000c00"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s61[i].substr(0, 12), words[i]) << i;
    auto dorla = Requests(record, "pd-walk");
    ASSERT_EQ(dorla.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(dorla[i].substr(0, 8), "1200" + std::string("0") + char('0' + i) + (i < 4 ? "3c" : "10"));
    auto tesk = Requests(record, "t3-walk1");
    ASSERT_EQ(tesk.size(), 5u);
    EXPECT_EQ(tesk[4].substr(0, 8), "0900f010");
    auto pirrel = Requests(record, "pirrel");
    ASSERT_EQ(pirrel.size(), 3u);
    EXPECT_EQ(pirrel[0].substr(0, 6), "26007c");
    EXPECT_EQ(pirrel[1].substr(0, 6), "267c7c");
    EXPECT_EQ(pirrel[2].substr(0, 6), "26f808");
    EXPECT_EQ(pirrel[0].size(), 256u);  // 128-byte packets

    // Write then read one module of each family, through every transport kind.
    struct Target {
        const char* family;
        int module;
        const char* device;
    };
    const Target targets[] = {{"Tesk - 300", 0, "t3-pipe"},      {"Olvenna", 1, "ov-walk"},
                              {"Brantle - 303", 1, "br-walk1"},  {"Pembrix - Dorla", 1, "pd-walk"},
                              {"Brantle - 311", 0, "b311-b"},    {"Brantle - S61", 0, "s61"},
                              {"Quissel - 551", 0, "qs-pipe"},   {"Dravik - 100", 0, "dv-hid"},
                              {"Pirrel - 4U", 0, "pirrel"}};
    const std::size_t recordBefore = fs::file_size(record);
    std::string script;
    int n = 0;
    for (const auto& t : targets) {
        const fs::path image = lab.path / ("new" + std::to_string(n) + ".bin");
        std::ofstream(image, std::ios::binary) << Image("NEW-" + std::string(t.device), static_cast<std::uint8_t>(0x40 + n));
        script += cli + " write --family " + Sh(t.family) + " --module " + std::to_string(t.module) +
                  " --backup-dir " + (lab.path / "backups").string() + " " + image.string() + " > " +
                  (lab.path / ("w" + std::to_string(n) + ".out")).string() + " 2>&1; echo $? >> " +
                  (lab.path / ("w" + std::to_string(n) + ".out")).string() + "; " + cli + " read --family " +
                  Sh(t.family) + " --module " + std::to_string(t.module) + " -o " +
                  (lab.path / ("r" + std::to_string(n) + ".bin")).string() + " 2>/dev/null; ";
        ++n;
    }
    const std::string olvennaBefore = ReadFile(lab.state / "ov-walk.bin");
    auto w = RunInLab(lab, {"/bin/sh", "-c", script});
    ASSERT_EQ(w.status, 0) << w.err;
    n = 0;
    for (const auto& t : targets) {
        SCOPED_TRACE(t.family);
        const std::string written = ReadFile(lab.path / ("new" + std::to_string(n) + ".bin"));
        const std::string readBack = ReadFile(lab.path / ("r" + std::to_string(n) + ".bin"));
        const std::string out = ReadFile(lab.path / ("w" + std::to_string(n) + ".out"));
        if (std::string(t.family) == "Olvenna") {
            // Bytes 0-31 stay the instrument's own, and the user is told so:
            // they differ from the image, so this is no plain success.
            ASSERT_EQ(readBack.size(), 256u);
            EXPECT_EQ(readBack.substr(0, 32), olvennaBefore.substr(0, 32));
            EXPECT_EQ(readBack.substr(32), written.substr(32));
            EXPECT_NE(out.find("keeps bytes 0-31"), std::string::npos) << out;
            EXPECT_NE(out.find("written, but not all of the image: Olvenna module 1, S/N NEW-ov-walk; it kept bytes "
                               "0-31 unchanged"),
                      std::string::npos)
                << out;
            EXPECT_EQ(out.find("written and verified"), std::string::npos) << out;
        } else {
            EXPECT_NE(out.find("written and verified"), std::string::npos) << out;
            EXPECT_EQ(readBack, written);
            EXPECT_EQ(out.find("keeps"), std::string::npos) << out;
        }
        ++n;
    }
    // The Olvenna write: four chunks from byte 32 (backup read and read-back
    // are the other requests).
    std::vector<std::string> writes;
    {
        std::ifstream in(record);
        in.seekg(static_cast<std::streamoff>(recordBefore));
        std::string stamp, name, dir, count, hex;
        while (in >> stamp >> name >> dir >> count >> hex)
            if (name == "ov-walk" && dir == "out" && hex.substr(0, 2) == "08") writes.push_back(hex.substr(0, 6));
    }
    EXPECT_EQ(writes, (std::vector<std::string>{"08203c", "085c3c", "08983c", "08d42c"}));
}

// HID product 0x1705 belongs to both the Tesk-300 and the Quissel searches,
// so each gets a bench of its own.
TEST(UsbFamiliesLab, HidDevicesComeAfterPipesAndBeforeMpusbAndTransferOverHidraw) {
    LabDir tesk("usbfam-hid-tesk");
    tesk.WriteConfig(Config({{"t3-hid", "hid", 0x2403, 0x1705, "Quenlor Tesk-300", "tesk300", "T3HID001", 1},
                             {"t3-walk", "mpusb", 0x2403, 0x1688, "Quenlor Tesk-300", "tesk300", "T3WALK01", 2},
                             {"t3-pipe", "pipe", 0x2403, 0x1688, "Quenlor Tesk-300", "tesk300", "T3PIPE01", 3, "",
                              kTesk300Guid}}));
    LabDir quissel("usbfam-hid-quissel");
    // A Quissel seen through the HID driver and one through the MPUSB driver:
    // listed twice, the HID entry first.
    quissel.WriteConfig(
        Config({{"qs-walk", "mpusb", 0x2403, 0x1688, "Quissel-500 Series", "quissel", "QSWALK01", 1},
                {"qs-hid", "hid", 0x2403, 0x1705, "Quissel-500 Series", "quissel", "QSHID001", 2, "fault=late\nlate-ms=1900\n"}}));
    const std::string cli = CliPath();
    for (auto* lab : {&tesk, &quissel}) {
        const bool isTesk = lab == &tesk;
        const std::string family = isTesk ? "Tesk - 300" : "Quissel - 501";
        const fs::path image = lab->path / "new.bin";
        std::ofstream(image, std::ios::binary) << Image(isTesk ? "HID-TESK" : "HID-QUISSEL", 0x21);
        const std::string script = cli + " discover --json " + Sh(family) + "; " + cli + " write --family " +
                                   Sh(family) + " --module " + (isTesk ? "1" : "0") + " --backup-dir " +
                                   (lab->path / "b").string() + " " + image.string() + " >&2 && " + cli +
                                   " read --family " + Sh(family) + " --module " + (isTesk ? "1" : "0") + " -o " +
                                   (lab->path / "r.bin").string();
        auto r = RunInLab(*lab, {"/bin/sh", "-c", script});
        EXPECT_EQ(r.status, 0) << r.err;
        if (isTesk) {
            EXPECT_EQ(Listed(r.out), (std::vector<std::string>{"Tesk - 300/T3PIPE01", "Tesk - 300/T3HID001",
                                                               "Tesk - 300/T3WALK01"}));
            // 65 bytes out: report ID 0, then the request.
            auto req = Requests(lab->path / "record.txt", "t3-hid");
            ASSERT_FALSE(req.empty());
            EXPECT_EQ(req[0].size(), 130u);
            EXPECT_EQ(req[0].substr(0, 10), "000900003c");
        } else {
            // Its replies come 1900 ms late: just inside the 2000 ms HID limit.
            EXPECT_EQ(Listed(r.out), (std::vector<std::string>{"Quissel - 501/QSHID001", "Quissel - 501/QSWALK01"}));
        }
        EXPECT_EQ(ReadFile(lab->path / "r.bin"), ReadFile(image));
    }
}

// Instruments unplugged while the host waits for a reply (each hangs up
// 300 ms after its first request): a hang-up, EIO, ENODEV or a removed node
// ends every reply attempt at once, so the chunk fails after its 80 attempts
// and their 50 ms pauses, about 4 s, instead of 80 waits of the whole HID
// (2000 ms Dravik, 1000 ms Tesk-300) or pipe (1000 ms) limit. The search goes on.
TEST(UsbFamiliesLab, InstrumentsUnpluggedDuringAReadFailTheirChunkAfterTheAttemptsNotTheLimits) {
    LabDir lab("usbfam-unplug");
    const std::string gone = "fault=vanish\nlate-ms=300\n";
    lab.WriteConfig(Config({{"t3-hid", "hid", 0x2403, 0x1705, "Quenlor Tesk-300", "tesk300", "T3HIDGON", 1, gone},
                            {"t3-pipe", "pipe", 0x2403, 0x1688, "Quenlor Tesk-300", "tesk300", "T3PIPGON", 2, gone,
                             kTesk300Guid},
                            {"t3-walk", "mpusb", 0x2403, 0x1688, "Quenlor Tesk-300", "tesk300", "T3WALK01", 3},
                            {"dv-hid", "hid", 0x2403, 0x1707, "Dravik-100", "quissel", "DVHIDGON", 4, gone}}));
    // One chunk of a gone device: the 50 ms pause, the read it was unplugged
    // in, then 80 attempts that end at once, each with its 50 ms pause.
    constexpr double kAttemptsOnly = 0.05 + 80 * 0.05;
    constexpr double kGoneChunk = 0.05 + 0.3 + 80 * 0.05;
    const std::string cli = CliPath();
    auto tesk = RunInLab(lab, {cli, "discover", "--json", "Tesk - 300"});
    EXPECT_EQ(tesk.status, 0) << tesk.err;
    EXPECT_EQ(Listed(tesk.out), (std::vector<std::string>{"Tesk - 300/T3WALK01"})) << tesk.err;
    EXPECT_GE(tesk.seconds, 2 * kAttemptsOnly);  // every attempt was made
    EXPECT_LT(tesk.seconds, 2 * kGoneChunk * 1.5 + 10.0);
    auto dravik = RunInLab(lab, {cli, "discover", "--json", "Dravik - 100"});
    EXPECT_EQ(dravik.status, 1) << dravik.err;
    EXPECT_TRUE(Listed(dravik.out).empty()) << dravik.out;
    EXPECT_GE(dravik.seconds, kAttemptsOnly);
    EXPECT_LT(dravik.seconds, kGoneChunk * 1.5 + 10.0);
    // The first chunk failed: no further request reached the devices.
    for (const char* device : {"t3-hid", "t3-pipe", "dv-hid"})
        EXPECT_EQ(Requests(lab.path / "record.txt", device).size(), 1u) << device;
}

TEST(UsbFamiliesLab, FaultsGiveTheirResultInTimeAndTheSearchGoesOn) {
    LabDir lab("usbfam-faults");
    lab.WriteConfig(Config({
        // Silent: no reply within 3000 ms after the request, the module is dropped.
        {"b311-silent", "mpusb", 0x2403, 0x9302, "Quenlor Brantle-311", "word16", "B311SIL1", 1, "fault=silent\n"},
        {"b311-good", "mpusb", 0x2403, 0x9302, "Quenlor Brantle-311", "word16", "B311GOOD", 2},
        // Sends the reply to an earlier request first: taken, as the exchange
        // compares the reply code only.
        {"s61-stale", "mpusb", 0x10c4, 0x1001, "Quenlor Brantle-S61", "word16", "BS61STAL", 3, "fault=stale\n"},
        // Answers each chunk after the previous chunk's reply: skipped.
        {"pirrel", "mpusb", 0x10c4, 0xea61, "Pirrel-4U", "usbxpress", "PIRSTALE", 4, "fault=stale\n"},
        // Leaves the bus after its first request: the reads fail at once.
        {"pd-vanish", "mpusb", 0x10c4, 0x0010, "Pembrix-Dorla", "dorla", "PDVANISH", 5, "fault=vanish\n"},
        {"pd-good", "mpusb", 0x2403, 0x1688, "Pembrix-Dorla", "dorla", "PDGOOD01", 6},
        {"ov-stale", "mpusb", 0x2403, 0x1688, "Olvenna", "echo8", "OVSTALE1", 7, "fault=stale\n"},
        {"t3-late", "mpusb", 0x10c4, 0x001d, "Quenlor Tesk-300", "tesk300", "T3LATE01", 8, "fault=late\nlate-ms=900\n"},
        {"br-wrongaddr", "mpusb", 0x10c4, 0x0014, "Brantle-300 series", "brantle300", "BRWRONG1", 9,
         "fault=wrong-address\n"},
        {"br-good", "pipe", 0x2403, 0x1688, "Brantle-300 series", "brantle300", "BRGOOD01", 10, "", kBrantleGuid},
    }));
    const std::string cli = CliPath();
    auto timed = [&](const std::string& family) {
        auto r = RunInLab(lab, {cli, "discover", "--json", family});
        EXPECT_EQ(r.status, 0) << r.err;
        return std::make_pair(Listed(r.out), r.seconds);
    };
    auto [b311, b311Time] = timed("Brantle - 311");
    EXPECT_EQ(b311, (std::vector<std::string>{"Brantle - 311/B311GOOD"}));
    EXPECT_GE(b311Time, 3.0);  // the full limit was waited for
    EXPECT_LT(b311Time, 3.0 + 1.0 + 10.0);
    auto [s61, s61Time] = timed("Brantle - S61");
    EXPECT_EQ(s61.size(), 1u);
    auto [pirrel, pirrelTime] = timed("Pirrel - 4U");
    EXPECT_EQ(pirrel, (std::vector<std::string>{"Pirrel - 4U/PIRSTALE"}));
    auto [dorla, dorlaTime] = timed("Pembrix - Dorla");
    EXPECT_EQ(dorla, (std::vector<std::string>{"Pembrix - Dorla/PDGOOD01"}));
    EXPECT_LT(dorlaTime, 0.05 + 80 * 1.05 + 10.0);
    auto [ov, ovTime] = timed("Olvenna");
    EXPECT_EQ(ov, (std::vector<std::string>{"Olvenna/OVSTALE1"}));
    auto [t3, t3Time] = timed("Tesk - 300");
    EXPECT_EQ(t3, (std::vector<std::string>{"Tesk - 300/T3LATE01"}));
    auto [br, brTime] = timed("Brantle - 302");
    EXPECT_EQ(br, (std::vector<std::string>{"Brantle - 302/BRGOOD01"}));
    EXPECT_GE(brTime, 80 * 1.0);  // eighty 1000 ms reads
    EXPECT_LT(brTime, 0.05 + 80 * 1.05 + 10.0);
}

TEST(UsbFamiliesLab, WithoutTheUsbXpressLibraryPirrelFindsNothingAndTheRestWorks) {
    LabDir lab("usbfam-nosi");
    lab.WriteConfig(Config({{"ov-walk", "mpusb", 0x2403, 0x1688, "Olvenna", "echo8", "OVWALK01", 1},
                            {"pirrel", "mpusb", 0x10c4, 0xea61, "Pirrel-4U", "usbxpress", "PIRREL01", 2}}));
    const fs::path alone = lab.path / "bin";
    fs::create_directories(alone);
    for (const char* f : {"brevane-cli", "libTavikAPI.so.1", "libmpusbapi.so", "libHarlo301API.so"}) fs::copy_file(BinDir() / f, alone / f);
    auto r = RunInLab(lab, {(alone / "brevane-cli").string(), "discover", "--json", "Pirrel - 4U", "Olvenna"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Listed(r.out), (std::vector<std::string>{"Olvenna/OVWALK01"}));
    // With the library beside it, the same program finds the Pirrel.
    fs::copy_file(BinDir() / "libSiUSBXp.so", alone / "libSiUSBXp.so");
    auto p = RunInLab(lab, {(alone / "brevane-cli").string(), "discover", "--json", "Pirrel - 4U"});
    EXPECT_EQ(Listed(p.out), (std::vector<std::string>{"Pirrel - 4U/PIRREL01"}));
}

TEST(UsbFamiliesLab, PirrelKeepsTheLibraryTimeoutsAndItsIndexWithoutDevices) {
    LabDir with("usbfam-probe");
    with.WriteConfig(Config({{"pirrel", "mpusb", 0x10c4, 0xea61, "Pirrel-4U", "usbxpress", "PIRREL01", 1}}));
    auto r = RunInLab(with, {(BinDir() / "pirrel_probe").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("connect 1 read 1 serial PIRREL01 timeouts 777 888 -> 777 888"), std::string::npos) << r.out;
    LabDir without("usbfam-probe0");
    without.WriteConfig(Config({{"ov-walk", "mpusb", 0x2403, 0x1688, "Olvenna", "echo8", "OVWALK01", 1}}));
    auto z = RunInLab(without, {(BinDir() / "pirrel_probe").string()});
    EXPECT_EQ(z.status, 0) << z.err;
    EXPECT_NE(z.out.find("connect 0 count 0 index 7"), std::string::npos) << z.out;
}
