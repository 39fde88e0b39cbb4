// The traffic-generator families end to end: brevane-cli inside the lab,
// through the device library, to simulated generators in library (MPUSB) and
// HID mode. The lab's wire record shows what went over the wire.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

std::string Generator(const std::string& name, const std::string& model, bool hid, int port,
                      const std::string& serial, const std::string& extra = "") {
    static const std::map<std::string, std::string> hidPids = {
        {"Alda", "0x1701"}, {"Alda+", "0x1702"}, {"Brisa", "0x1703"}, {"Cygna", "0x1704"}};
    return "[device " + name + "]\nkind=" + (hid ? "hid" : "mpusb") + "\nvid=0x2403\npid=" +
           (hid ? hidPids.at(model) : "0x1688") + "\nproduct=Quenlor Pembrix-" + model + "\nport=" +
           std::to_string(port) + "\nprotocol=tavik\nserial=" + serial + "\n" + extra + "\n";
}

std::string Lab(const LabDir& lab, const std::string& devices) {
    return "[lab]\nstate-dir=state\nrecord=" + (lab.path / "wire.txt").string() + "\n\n" + devices;
}

struct Request {
    int bytes;                 // as written by the host, report ID included
    std::vector<unsigned> data;  // the 64 packet bytes
};

// The host's requests to one device, from the wire record.
std::vector<Request> Requests(const LabDir& lab, const std::string& device) {
    std::vector<Request> out;
    std::istringstream lines(ReadFile(lab.path / "wire.txt"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string time, name, dir, hex;
        int count = 0;
        if (!(f >> time >> name >> dir >> count >> hex) || name != device || dir != "out") continue;
        Request r{count, {}};
        for (std::size_t i = (count == 65 ? 2 : 0); i + 1 < hex.size(); i += 2)
            r.data.push_back(static_cast<unsigned>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        out.push_back(r);
    }
    return out;
}

// (word address, word count) of every EEPROM request with this code.
std::vector<std::pair<unsigned, unsigned>> EepromRequests(const std::vector<Request>& requests, unsigned code) {
    std::vector<std::pair<unsigned, unsigned>> out;
    for (const auto& r : requests)
        if (r.data.size() >= 6 && r.data[0] == code)
            out.emplace_back(r.data[2] | (r.data[3] << 8), r.data[4] | (r.data[5] << 8));
    return out;
}

// 256 bytes in chunks of 58: word addresses and counts of 58, 58, 58, 58 and 24 bytes.
const std::vector<std::pair<unsigned, unsigned>> kFiveChunks = {{0, 29}, {29, 29}, {58, 29}, {87, 29}, {116, 12}};

}  // namespace

TEST(TavikFamilies, SearchReadsEachModuleInFiveChunksAndSwitchesTypes) {
    LabDir lab("tavik-search");
    lab.WriteConfig(Lab(lab, Generator("alda-1", "Alda", false, 1, "ALDA000001") +
                                 Generator("alda-2", "Alda", false, 2, "ALDA000002") +
                                 Generator("brisa-h", "Brisa", true, 3, "BRISA00003")));
    auto r = RunInLab(lab, {CliPath(), "discover", "--json", "Pembrix - Alda", "Pembrix - Brisa"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The Brisa search selects its own first module, not the second Alda's index.
    EXPECT_EQ(JsonField(r.out, "serial"), (std::vector<std::string>{"ALDA000001", "ALDA000002", "BRISA00003"}))
        << r.out << r.err;
    EXPECT_EQ(JsonField(r.out, "name"),
              (std::vector<std::string>{"Pembrix - Alda", "Pembrix - Alda", "Pembrix - Brisa"}));

    for (const char* device : {"alda-1", "alda-2", "brisa-h"}) {
        const auto requests = Requests(lab, device);
        EXPECT_EQ(EepromRequests(requests, 0x12), kFiveChunks) << device;
        // Library mode writes 64-byte reports, HID mode 65 with a report ID first.
        const int size = std::string(device) == "brisa-h" ? 65 : 64;
        for (const auto& q : requests) EXPECT_EQ(q.bytes, size) << device;
    }
}

TEST(TavikFamilies, WriteThenReadThroughTheLibrary) {
    LabDir lab("tavik-write");
    lab.WriteConfig(Lab(lab, Generator("cygna-1", "Cygna", false, 1, "CYGNA00001") +
                                 Generator("cygna-2", "Cygna", true, 2, "CYGNA00002")));
    const fs::path image = lab.path / "new.bin";
    std::ofstream(image, std::ios::binary) << ImageWithSerial("CYGNA-NEW-7");

    // Module 0 is the HID device: HID devices hide the library-mode ones.
    auto w = RunInLab(lab, {CliPath(), "write", "--family", "Pembrix - Cygna", "--module", "0", "--backup-dir",
                            (lab.path / "backups").string(), image.string()});
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(EepromRequests(Requests(lab, "cygna-2"), 0x13), kFiveChunks);
    EXPECT_TRUE(EepromRequests(Requests(lab, "cygna-1"), 0x13).empty());

    auto r = RunInLab(lab, {CliPath(), "read", "--family", "Pembrix - Cygna", "--module", "0", "-o",
                            (lab.path / "back.bin").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(lab.path / "back.bin"), ReadFile(image));
    auto d = RunInLab(lab, {CliPath(), "discover", "--json", "Pembrix - Cygna"});
    EXPECT_EQ(JsonField(d.out, "serial"), std::vector<std::string>{"CYGNA-NEW-7"}) << d.out << d.err;
}

TEST(TavikFamilies, SilentOrLateModuleFailsInTimeAndTheSearchGoesOn) {
    LabDir lab("tavik-faults");
    lab.WriteConfig(Lab(lab, Generator("alda-q", "Alda+", false, 1, "ALDAP00001", "fault=silent\n") +
                                 Generator("alda-l", "Alda+", false, 2, "ALDAP00002", "fault=late\nlate-ms=2500\n") +
                                 Generator("alda-g", "Alda+", false, 3, "ALDAP00003")));
    auto r = RunInLab(lab, {CliPath(), "discover", "--json", "Pembrix - Alda+"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonField(r.out, "serial"), std::vector<std::string>{"ALDAP00003"}) << r.out << r.err;
    // Each failed module costs one EEPROM exchange of at most 2 s after a 50 ms pause.
    EXPECT_EQ(EepromRequests(Requests(lab, "alda-q"), 0x12).size(), 1u);
    EXPECT_EQ(EepromRequests(Requests(lab, "alda-l"), 0x12).size(), 1u);
    EXPECT_LT(r.seconds, 30.0);
}
