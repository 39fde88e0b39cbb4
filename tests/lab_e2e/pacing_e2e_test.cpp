// Paced and original timing of the USB link transports, the USBXpress, raw
// Ethernet and call-back library families, timed in one process (pace_probe)
// inside the lab. Per transport, in both pacings: a reply that comes at once
// is taken at once in paced timing (original timing sits out its fixed
// pauses: a floor); a reply that comes just inside the limit is still taken;
// a device that never answers is given up only after the full limit.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "LabRun.h"

namespace {

const char* const kModes[] = {"paced", "original"};

struct Step {
    int ok = -1;
    double ms = -1;
    std::string serial;
};

// What pace_probe printed: per run, its connect and its modules by index.
struct ProbeRun {
    Step connect;
    std::map<int, Step> modules;
};

std::vector<ProbeRun> Parse(const std::string& out) {
    std::vector<ProbeRun> runs;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::string word, unit;
        l >> word;
        if (word == "connect") {
            runs.emplace_back();
            l >> runs.back().connect.ok >> runs.back().connect.ms;
        } else if (word == "module" && !runs.empty()) {
            int index = -1, opened = 0;
            double openMs = 0;
            Step s;
            l >> index >> word >> opened >> openMs >> unit >> word >> s.ok >> s.ms >> unit >> s.serial;
            runs.back().modules[index] = s;
        }
    }
    return runs;
}

std::string Device(const std::string& name, const std::string& kind, const std::string& vidPid,
                   const std::string& product, int port, const std::string& protocol, const std::string& extra = "") {
    return "[device " + name + "]\nkind=" + kind + "\n" + vidPid + "\nproduct=" + product +
           "\nport=" + std::to_string(port) + "\nprotocol=" + protocol + "\nserial=" + name + "\n" + extra + "\n";
}

// pace_probe MODE FAMILY LENGTH MODULES, one call per entry, in one lab run.
std::vector<ProbeRun> ProbeInLab(const LabDir& lab, const std::string& mode,
                                 const std::vector<std::string>& calls) {
    std::string script;
    for (const auto& c : calls) script += (BinDir() / "pace_probe").string() + " " + mode + " " + c + "; ";
    auto r = RunInLab(lab, {"/bin/sh", "-c", script});
    EXPECT_EQ(r.status, 0) << r.err;
    auto runs = Parse(r.out);
    EXPECT_EQ(runs.size(), calls.size()) << r.out << r.err;
    runs.resize(calls.size());
    return runs;
}

// Slack on the slow side for a busy machine.
constexpr double kSlackMs = 5000;

}  // namespace

// Pipe nodes and the MPUSB library: five echo exchanges per image.
TEST(PacingLab, EchoExchangeOverPipeNodesAndMpusb) {
    LabDir lab("pace-echo");
    const std::string tesk = "vid=0x2403\npid=0x1688", product = "Quenlor Tesk-100/200";
    lab.WriteConfig("[lab]\nstate-dir=state\n\n" +
                    Device("EPIPE01", "pipe", tesk, product, 1, "echo8",
                           "class-guid={DFEE6909-CA08-4BF6-9BD7-12C3511DE4AE}") +
                    Device("EMPUSB01", "mpusb", tesk, product, 2, "echo8") +
                    Device("ELATE01", "mpusb", tesk, product, 3, "echo8", "fault=late\nlate-ms=950") +
                    Device("EGONE01", "mpusb", tesk, product, 4, "echo8", "fault=vanish"));
    for (const char* mode : kModes) {
        SCOPED_TRACE(mode);
        const bool paced = std::string(mode) == "paced";
        auto runs = ProbeInLab(lab, mode, {"'Tesk - 100' 256 0 1", "'Tesk - 100' 60 2 3"});
        for (int m : {0, 1}) {
            const Step s = runs[0].modules[m];
            EXPECT_EQ(s.ok, 1) << m;
            EXPECT_EQ(s.serial, m == 0 ? "EPIPE01" : "EMPUSB01");
            // Five exchanges: paced, each ends with its reply, well before
            // the 50 ms pause after the request that original timing keeps.
            if (paced)
                EXPECT_LT(s.ms, 5 * 50.0) << m;
            else
                EXPECT_GE(s.ms, 5 * 50.0) << m;
        }
        // A reply 950 ms late, inside the 1000 ms read: taken.
        EXPECT_EQ(runs[1].modules[2].ok, 1);
        EXPECT_GE(runs[1].modules[2].ms, 950.0);
        EXPECT_LT(runs[1].modules[2].ms, 950.0 + 1050 + kSlackMs);
        // Gone at its first request, every read ends at once: the chunk fails
        // after all 80 attempts and the pause after the request, 81 x 50 ms.
        EXPECT_EQ(runs[1].modules[3].ok, 0);
        EXPECT_GE(runs[1].modules[3].ms, 81 * 50.0);
        EXPECT_LT(runs[1].modules[3].ms, 81 * 50.0 + kSlackMs);
    }
}

// hidraw: Tesk-300 (1000 ms per read) and Dravik (2000 ms, overlapped).
TEST(PacingLab, EchoExchangeOverHidraw) {
    LabDir lab("pace-hid");
    const std::string t3 = "vid=0x2403\npid=0x1705", dv = "vid=0x2403\npid=0x1707";
    lab.WriteConfig("[lab]\nstate-dir=state\n\n" + Device("HT3A01", "hid", t3, "Quenlor Tesk-300", 1, "tesk300") +
                    Device("HT3LATE1", "hid", t3, "Quenlor Tesk-300", 2, "tesk300", "fault=late\nlate-ms=950") +
                    Device("HDVLATE1", "hid", dv, "Dravik-100", 3, "quissel", "fault=late\nlate-ms=1950") +
                    Device("HDVGONE1", "hid", dv, "Dravik-100", 4, "quissel", "fault=vanish"));
    for (const char* mode : kModes) {
        SCOPED_TRACE(mode);
        auto runs = ProbeInLab(lab, mode, {"'Tesk - 300' 256 0", "'Tesk - 300' 60 1", "'Dravik - 100' 60 0 1"});
        const Step fast = runs[0].modules[0];
        EXPECT_EQ(fast.ok, 1);
        EXPECT_EQ(fast.serial, "HT3A01");
        if (std::string(mode) == "paced")
            EXPECT_LT(fast.ms, 5 * 50.0);
        else
            EXPECT_GE(fast.ms, 5 * 50.0);
        // Late replies just inside each family's HID limit: taken.
        EXPECT_EQ(runs[1].modules[1].ok, 1);
        EXPECT_GE(runs[1].modules[1].ms, 950.0);
        EXPECT_LT(runs[1].modules[1].ms, 950.0 + 1050 + kSlackMs);
        EXPECT_EQ(runs[2].modules[0].ok, 1);
        EXPECT_GE(runs[2].modules[0].ms, 1950.0);
        EXPECT_LT(runs[2].modules[0].ms, 1950.0 + 2050 + kSlackMs);
        // Hung up at its first request: 81 pauses of 50 ms, then failure.
        EXPECT_EQ(runs[2].modules[1].ok, 0);
        EXPECT_GE(runs[2].modules[1].ms, 81 * 50.0);
        EXPECT_LT(runs[2].modules[1].ms, 81 * 50.0 + kSlackMs);
    }
}

// Word protocol (Brantle-311): no fixed pause in either pacing; 3000 ms limit.
TEST(PacingLab, WordProtocolOverMpusb) {
    LabDir lab("pace-word");
    const std::string b311 = "vid=0x2403\npid=0x9302", product = "Quenlor Brantle-311";
    lab.WriteConfig("[lab]\nstate-dir=state\n\n" + Device("W311A01", "mpusb", b311, product, 1, "word16") +
                    Device("W311LAT1", "mpusb", b311, product, 2, "word16", "fault=late\nlate-ms=2900") +
                    Device("W311SIL1", "mpusb", b311, product, 3, "word16", "fault=silent"));
    for (const char* mode : kModes) {
        SCOPED_TRACE(mode);
        auto runs = ProbeInLab(lab, mode, {"'Brantle - 311' 256 0", "'Brantle - 311' 58 1 2"});
        EXPECT_EQ(runs[0].modules[0].ok, 1);
        EXPECT_EQ(runs[0].modules[0].serial, "W311A01");
        EXPECT_LT(runs[0].modules[0].ms, 5 * 50.0);
        EXPECT_EQ(runs[1].modules[1].ok, 1);
        EXPECT_GE(runs[1].modules[1].ms, 2900.0);
        EXPECT_LT(runs[1].modules[1].ms, 3000.0 + 1000 + kSlackMs);
        EXPECT_EQ(runs[1].modules[2].ok, 0);
        EXPECT_GE(runs[1].modules[2].ms, 3000.0);
        EXPECT_LT(runs[1].modules[2].ms, 3000.0 + 1000 + kSlackMs);
    }
}

// USBXpress (Pirrel): three exchanges per image, 100 attempts.
TEST(PacingLab, UsbXpressExchange) {
    LabDir lab("pace-xpress");
    const std::string ids = "vid=0x10c4\npid=0xea61";
    lab.WriteConfig("[lab]\nstate-dir=state\n\n" + Device("XPR01", "mpusb", ids, "Pirrel-4U", 1, "usbxpress") +
                    Device("XPRLATE1", "mpusb", ids, "Pirrel-4U", 2, "usbxpress", "fault=late\nlate-ms=950") +
                    Device("XPRGONE1", "mpusb", ids, "Pirrel-4U", 3, "usbxpress", "fault=vanish"));
    for (const char* mode : kModes) {
        SCOPED_TRACE(mode);
        auto runs = ProbeInLab(lab, mode, {"'Pirrel - 4U' 256 0", "'Pirrel - 4U' 124 1 2"});
        EXPECT_EQ(runs[0].modules[0].ok, 1);
        EXPECT_EQ(runs[0].modules[0].serial, "XPR01");
        if (std::string(mode) == "paced")
            EXPECT_LT(runs[0].modules[0].ms, 3 * 50.0);
        else
            EXPECT_GE(runs[0].modules[0].ms, 3 * 50.0);
        EXPECT_EQ(runs[1].modules[1].ok, 1);
        EXPECT_GE(runs[1].modules[1].ms, 950.0);
        EXPECT_LT(runs[1].modules[1].ms, 950.0 + 1050 + kSlackMs);
        // 100 attempts that end at once, each with its pause, and the pause
        // after the request.
        EXPECT_EQ(runs[1].modules[2].ok, 0);
        EXPECT_GE(runs[1].modules[2].ms, 101 * 50.0);
        EXPECT_LT(runs[1].modules[2].ms, 101 * 50.0 + kSlackMs);
    }
}

// Raw Ethernet (Nesbin): seg0 never answers (five 50 ms discovery attempts),
// seg1 holds the instrument.
TEST(PacingLab, RawEthernetNesbin) {
    struct Case {
        const char* fault;
        double lateMs;
    };
    for (const Case c : {Case{"late", 20}, Case{"late", 150}, Case{"silent", 0}}) {
        SCOPED_TRACE(std::string(c.fault) + " " + std::to_string(c.lateMs));
        LabDir lab("pace-nesbin");
        lab.WriteConfig("[lab]\nstate-dir=state\n\n[segment nb]\nkind=nesbin\nserial=NBPACE01\nfault=" +
                        std::string(c.fault) + "\n" +
                        (c.lateMs > 0 ? "late-ms=" + std::to_string(static_cast<int>(c.lateMs)) + "\n" : ""));
        auto runs = ProbeInLab(lab, "paced", {"'OEM - Nesbin' 256 0"});
        const auto original = ProbeInLab(lab, "original", {"'OEM - Nesbin' 256 0"});
        runs.insert(runs.end(), original.begin(), original.end());
        for (std::size_t m = 0; m < runs.size(); ++m) {
            SCOPED_TRACE(kModes[m]);
            const ProbeRun& r = runs[m];
            if (c.lateMs == 0) {
                // Nothing answers on either interface: every attempt's pause.
                EXPECT_EQ(r.connect.ok, 0);
                EXPECT_GE(r.connect.ms, 2 * 5 * 50.0);
                EXPECT_LT(r.connect.ms, 2 * 5 * 50.0 + kSlackMs);
                continue;
            }
            // 150 ms is inside the five discovery attempts of seg1.
            ASSERT_EQ(r.connect.ok, 1);
            EXPECT_GE(r.connect.ms, 5 * 50.0 + c.lateMs);
            EXPECT_EQ(r.modules.at(0).ok, 1);
            EXPECT_EQ(r.modules.at(0).serial, "NBPACE01");
            EXPECT_GE(r.modules.at(0).ms, c.lateMs);
            // A reply 20 ms late: paced takes it when captured, original
            // after the first 50 ms pause.
            if (c.lateMs < 50) {
                if (m == 0)
                    EXPECT_LT(r.modules.at(0).ms, 50.0);
                else
                    EXPECT_GE(r.modules.at(0).ms, 50.0);
            }
            EXPECT_LT(r.modules.at(0).ms, c.lateMs + 50 + kSlackMs);
        }
    }
}

// Harlo301API: completion by call-back, 40 waits of 50 ms for a read.
TEST(PacingLab, CallBackLibraryHarlo) {
    for (const char* fault : {"none", "late", "silent"}) {
        SCOPED_TRACE(fault);
        LabDir lab("pace-harlo");
        lab.WriteConfig("[lab]\nstate-dir=state\n\n[segment hl]\nkind=harlo\nmodel=301\nserial=HLPACE01\nfault=" +
                        std::string(fault) + "\n" + (std::string(fault) == "late" ? "late-ms=1900\n" : ""));
        auto runs = ProbeInLab(lab, "paced", {"'Harlo - 301' 256 0"});
        const auto original = ProbeInLab(lab, "original", {"'Harlo - 301' 256 0"});
        runs.insert(runs.end(), original.begin(), original.end());
        for (std::size_t m = 0; m < runs.size(); ++m) {
            SCOPED_TRACE(kModes[m]);
            ASSERT_EQ(runs[m].connect.ok, 1);
            const Step s = runs[m].modules.at(0);
            if (std::string(fault) == "none") {
                EXPECT_EQ(s.ok, 1);
                EXPECT_EQ(s.serial, "HLPACE01");
                if (m == 0)
                    EXPECT_LT(s.ms, 50.0);
                else
                    EXPECT_GE(s.ms, 50.0);
            } else if (std::string(fault) == "late") {
                // 1900 ms: inside the 40 waits of 50 ms.
                EXPECT_EQ(s.ok, 1);
                EXPECT_GE(s.ms, 1900.0);
                EXPECT_LT(s.ms, 2000.0 + kSlackMs);
            } else {
                EXPECT_EQ(s.ok, 0);
                EXPECT_GE(s.ms, 40 * 50.0);
                EXPECT_LT(s.ms, 40 * 50.0 + kSlackMs);
            }
        }
    }
}
