// The search of the raw-Ethernet and serial-console families, in-process,
// against the waits their protocols mandate; and the Yaltro port probe alone.
// Run inside a lab (scripts/bench builds the labs):
//   segment_serial_bench search NAME FLOOR_SECONDS
//   segment_serial_bench compare NAME FLOOR_SECONDS   (paced and original timing)
//   segment_serial_bench probe PORTS
//   segment_serial_bench yaltro-timing paced|original   (the default lab's
//       Yaltro in one timing; run once per timing, each in a fresh lab)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <string>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "framework/DeviceSearch.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "framework/Wait.h"
#include "platform/SerialPort.h"

namespace {
double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Only inside a network namespace of the lab: the host's own has other interfaces.
bool InLab() {
    std::ifstream dev("/proc/net/dev");
    std::string line;
    bool seg = false;
    while (std::getline(dev, line)) seg = seg || line.find("seg1:") != std::string::npos;
    return seg || std::getenv("UMOCKDEV_DIR");
}
// The Yaltro console in one timing (a fresh lab per timing: the console
// stays logged in once it is): the first search (login), then one module
// (connect, open, read) on the console logged in, each against its floor of
// request round trips. The round trip is an empty line answered by the
// prompt, on the console logged in.
int YaltroTiming(bool original) {
    SetOriginalTiming(original);
    const auto ports = platform::FindSerialPorts();
    const double t0 = Now();
    CountingSink sink;
    RunDeviceSearch(BuiltInFamilies(), std::vector<std::string>{"Yaltro"}, sink);
    const double searchWall = Now() - t0;
    const int modules = static_cast<int>(sink.texts.size());
    if (!modules || ports.empty()) return 1;
    const double t1 = Now();
    auto f = CreateFamily(BuiltInFamilies().ClassOf("Yaltro"));
    std::uint8_t image[256] = {};
    const bool ok = f && f->Connect() && (f->SetModuleIndex(0), f->OpenModule()) && f->ReadEeprom(image, 256);
    if (f) f->CloseModule();
    const double oneWall = Now() - t1;
    double trip = 1e9;
    platform::SerialPort port;
    if (!port.Open(ports.front().devicePath, *platform::ParseSerialSettings("38400", "None", "8", "1"))) return 1;
    for (int i = 0; i < 5; ++i) {
        const double t = Now();
        std::string text;
        std::uint8_t buf[256];
        port.Write("\r", 1, 1000);
        while (text.find("Yaltro>") == std::string::npos && Now() - t < 2)
            text.append(reinterpret_cast<char*>(buf), port.Read(buf, sizeof buf, 100));
        trip = std::min(trip, Now() - t);
    }
    // The search: carriage return, the login line twice, then per module the
    // opening's carriage return and 60 word reads. One module on the console
    // logged in: two carriage returns and 60 word reads.
    const int searchRequests = 3 + modules * 61, oneRequests = 62;
    std::printf("Yaltro %s timing, round trip (empty line to prompt) %.2f ms\n", original ? "original" : "paced",
                1000 * trip);
    std::printf("  first search (login)   requests %3d  wall %7.3f s  floor %6.3f s  wall/floor %6.2f\n",
                searchRequests, searchWall, searchRequests * trip, searchWall / (searchRequests * trip));
    std::printf("  one module (logged in) requests %3d  wall %7.3f s  floor %6.3f s  wall/floor %6.2f%s\n",
                oneRequests, oneWall, oneRequests * trip, oneWall / (oneRequests * trip), ok ? "" : "  (failed)");
    return ok ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && !std::strcmp(argv[1], "yaltro-timing") && InLab())
        return YaltroTiming(!std::strcmp(argv[2], "original"));
    if (argc < 3 || !InLab()) {
        std::fprintf(stderr, "usage (inside brevane-lab run): segment_serial_bench search|compare NAME FLOOR_S | probe PORTS\n");
        return 2;
    }
    const double t0 = Now(), c0 = CpuSeconds();
    if (!std::strcmp(argv[1], "search") && argc >= 4) {
        CountingSink sink;
        RunDeviceSearch(BuiltInFamilies(), std::vector<std::string>{argv[2]}, sink);
        const double wall = Now() - t0, cpu = CpuSeconds() - c0, floor = std::atof(argv[3]);
        std::printf("%-14s modules %d  wall %7.3f s  floor %6.3f s  ratio %5.2f  cpu %6.3f s  cpu/wall %5.2f %%\n",
                    argv[2], static_cast<int>(sink.texts.size()), wall, floor, floor > 0 ? wall / floor : 0.0, cpu, 100 * cpu / wall);
        return static_cast<int>(sink.texts.size()) > 0 ? 0 : 1;
    }
    if (!std::strcmp(argv[1], "compare") && argc >= 4) {
        // The same search in paced and in original timing.
        double wall[2] = {};
        int found[2] = {};
        for (int original = 0; original < 2; ++original) {
            SetOriginalTiming(original == 1);
            CountingSink sink;
            const double start = Now();
            RunDeviceSearch(BuiltInFamilies(), std::vector<std::string>{argv[2]}, sink);
            wall[original] = Now() - start;
            found[original] = static_cast<int>(sink.texts.size());
        }
        SetOriginalTiming(false);
        const double floor = std::atof(argv[3]);
        std::printf("%-14s modules %d  paced %7.3f s  original %7.3f s  floor %6.3f s  paced/floor %5.2f\n", argv[2],
                    found[0], wall[0], wall[1], floor, floor > 0 ? wall[0] / floor : 0.0);
        return found[0] > 0 && found[0] == found[1] ? 0 : 1;
    }
    if (!std::strcmp(argv[1], "probe")) {
        auto family = CreateFamily(BuiltInFamilies().ClassOf("Yaltro"));
        if (!family) return 1;
        const BOOL ok = family->Connect();
        const int found = family->GetModuleCount();
        family->Disconnect();
        const double wall = Now() - t0, cpu = CpuSeconds() - c0;
        std::printf("Yaltro probe   ports %2s  found %d  wall %7.3f s  cpu %6.3f s  cpu/wall %5.2f %%\n", argv[2],
                    found, wall, cpu, 100 * cpu / wall);
        return ok ? 0 : 1;
    }
    return 2;
}
