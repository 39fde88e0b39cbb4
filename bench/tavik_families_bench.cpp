// The traffic-generator families' search (the four families over TavikAPI)
// in-process, paced against the original pacing (brevane-cli's
// --original-timing: the framework's switch and TAVIKAPI_ORIGINAL_TIMING),
// and against the round-trip floor: 5 EEPROM requests per module at the
// quickest round trip of a minimal request (0x1D link status) through the
// library. Run it inside the default lab:
//   brevane-lab run -- tavik_families_bench [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "families/Registry.h"
#include "framework/DeviceSearch.h"
#include "framework/Wait.h"
#include "tavikapi.h"

namespace {

void Pacing(bool original) {
    SetOriginalTiming(original);
    if (original) ::setenv("TAVIKAPI_ORIGINAL_TIMING", "1", 1);
    else ::unsetenv("TAVIKAPI_ORIGINAL_TIMING");
}

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Quickest of 20 link-status exchanges on the first device of a type (s).
double RoundTrip(int type) {
    if (!(Tavik_SetDeviceType(type) && Tavik_DetectDevice(type) && Tavik_SelectDevice(0) && Tavik_ConnectToDevice()))
        return -1;
    double best = 1e9;
    for (int i = 0; i < 20; ++i) {
        std::uint32_t s = 0;
        const auto t0 = std::chrono::steady_clock::now();
        if (Tavik_GetLinkStatus(&s) != 1) best = -1;
        best = best < 0 ? best : std::min(best, Seconds(t0));
    }
    Tavik_TerminateProcess();
    return best;
}

struct Run {
    double wall = 0, cpu = 0;
    std::size_t modules = 0;
};

Run Search(const std::vector<std::string>& families) {
    QuietSink sink;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const auto found = RunDeviceSearch(BuiltInFamilies(), families, sink);
    return {Seconds(t0), CpuSeconds() - cpu0, found.size()};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const double hid = RoundTrip(1), mpusb = RoundTrip(2);
    if (hid < 0 || mpusb < 0) {
        std::fprintf(stderr, "round trip not measured: are the default lab's traffic generators there?\n");
        return 1;
    }
    std::printf("round trip of a minimal request through the library: HID %.3f ms, MPUSB %.3f ms\n", hid * 1e3,
                mpusb * 1e3);
    const std::vector<std::vector<std::string>> searches = {
        {"Pembrix - Alda"}, {"Pembrix - Alda+"}, {"Pembrix - Brisa"}, {"Pembrix - Cygna"},
        {"Pembrix - Alda", "Pembrix - Alda+", "Pembrix - Brisa", "Pembrix - Cygna"}};
    std::printf("%-16s %3s %8s %8s %8s %7s %13s %13s\n", "search", "mod", "floor s", "paced s", "orig s", "p/floor",
                "paced cpu ms", "orig cpu ms");
    bool ok = true;
    for (const auto& families : searches) {
        std::vector<double> paced, original, pacedCpu, originalCpu;
        std::size_t modules = 0;
        for (int r = 0; r < rounds; ++r)
            for (bool orig : {false, true}) {
                Pacing(orig);
                const Run run = Search(families);
                modules = run.modules;
                (orig ? original : paced).push_back(run.wall);
                (orig ? originalCpu : pacedCpu).push_back(run.cpu);
            }
        Pacing(false);
        // The Alda is the HID device; the others are MPUSB.
        double floor = 0;
        for (const auto& f : families) floor += 5 * (f == "Pembrix - Alda" ? hid : mpusb);
        const std::string name = families.size() == 1 ? families[0] : "all four";
        std::printf("%-16s %3zu %8.4f %8.4f %8.4f %7.1f %13.1f %13.1f\n", name.c_str(), modules, floor, Median(paced),
                    Median(original), Median(paced) / floor, 1e3 * Median(pacedCpu), 1e3 * Median(originalCpu));
        ok = ok && modules == families.size();
    }
    return ok ? 0 : 1;
}
