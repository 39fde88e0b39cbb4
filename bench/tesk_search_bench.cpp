// Runs the device search for the Tesk-100/200 family in-process, in original
// and in paced timing, against the pauses original timing sits out, and its
// CPU time with its wall time. Run it inside a lab holding the expected modules:
//   brevane-lab run --config lab.ini -- tesk_search_bench N
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "families/usb/EchoProtocol.h"
#include "families/usb/UsbLink.h"
#include "framework/DeviceSearch.h"
#include "families/Registry.h"
#include "framework/Wait.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tesk_search_bench EXPECTED_MODULES\n");
        return 2;
    }
    const int expected = std::atoi(argv[1]);
    QuietSink sink;
    // Original timing first, for comparison; then the paced search (the
    // default), whose CPU is measured.
    SetOriginalTiming(true);
    const auto o0 = std::chrono::steady_clock::now();
    const auto foundOriginal = RunDeviceSearch(BuiltInFamilies(), {"Tesk - 100"}, sink);
    const double originalWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - o0).count();
    SetOriginalTiming(false);
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const auto found = RunDeviceSearch(BuiltInFamilies(), {"Tesk - 100"}, sink);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;

    // Each module: one exchange per chunk, each with the pause after the
    // request that original timing sits out.
    const double floor = static_cast<double>(found.size()) *
                         static_cast<double>(echo::ChunkCount(echo::kTeskLayout, 256)) * UsbLink::kReplyPauseMs /
                         1000.0;
    std::printf("modules %2d  paced %7.3f s  original %7.3f s  original's pauses %7.3f s  cpu %6.3f s  "
                "cpu/wall %5.1f %%\n",
                static_cast<int>(found.size()), wall, originalWall, floor, cpu, 100.0 * cpu / wall);
    if (foundOriginal.size() != found.size()) {
        std::fprintf(stderr, "original timing found %zu modules, paced %zu\n", foundOriginal.size(), found.size());
        return 1;
    }
    if (static_cast<int>(found.size()) != expected) {
        std::fprintf(stderr, "expected %d modules, found %zu\n", expected, found.size());
        return 1;
    }
    return 0;
}
