// The search of the raw-Ethernet and serial-console families, in-process,
// against the waits their protocols mandate; and the Yaltro port probe alone.
// Run inside a lab (scripts/bench builds the labs):
//   segment_serial_bench search NAME FLOOR_SECONDS
//   segment_serial_bench compare NAME FLOOR_SECONDS   (paced and original timing)
//   segment_serial_bench probe PORTS
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "framework/DeviceSearch.h"
#include "framework/Registry.h"
#include "framework/Wait.h"

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
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || !InLab()) {
        std::fprintf(stderr, "usage (inside brevane-lab run): segment_serial_bench search|compare NAME FLOOR_S | probe PORTS\n");
        return 2;
    }
    const double t0 = Now(), c0 = CpuSeconds();
    if (!std::strcmp(argv[1], "search") && argc >= 4) {
        CountingSink sink;
        RunDeviceSearch(std::vector<std::string>{argv[2]}, sink);
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
            RunDeviceSearch(std::vector<std::string>{argv[2]}, sink);
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
        auto family = CreateFamily(FamilyRegistry::ClassOf("Yaltro"));
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
