// Wall time per exchange pattern, paced against the original pacing
// (TAVIKAPI_ORIGINAL_TIMING) and against the round-trip floor (the transport
// alone: write, read, no pause), for a HID and an MPUSB device; a whole
// 256-byte EEPROM read likewise; and CPU time while an export waits on a
// silent device. Runs inside the lab (scripts/bench).
//   tavikapi_bench [N] [ROUNDS]
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/UsbSearch.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tavikapi.h"

namespace {

double WallMs(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

bool Open(int type) {
    return Tavik_SetDeviceType(type) && Tavik_DetectDevice(type) && Tavik_SelectDevice(0) && Tavik_ConnectToDevice();
}

void Pacing(bool original) {
    if (original) ::setenv("TAVIKAPI_ORIGINAL_TIMING", "1", 1);
    else ::unsetenv("TAVIKAPI_ORIGINAL_TIMING");
}

// One pattern: the export that runs it and the requests it sends.
struct Pattern {
    const char* name;
    int requests;
    bool (*run)();
};

const Pattern kPatterns[] = {
    {"Deadline (0x1D link status)", 1, [] { std::uint32_t s = 0; return Tavik_GetLinkStatus(&s) == 1; }},
    {"Deadline after 50 ms (0x30 WLAN)", 1, [] { TavikWlanCommand c{}; return Tavik_SendWlanCommand(c) == 1; }},
    {"Busy deadline (0x12 EEPROM 58 B)", 1, [] { EepromChunk c{}; return Tavik_GetEeprom(0, 58, &c) == 1; }},
    {"Counted (0x01 register)", 1, [] { std::uint32_t v = 0; return Tavik_ReadReg(1, &v) == 1; }},
    {"Raw (0x71 RG test start)", 1, [] { return Tavik_StartRGTest() == 1; }},
    {"Chunked upload (0x70, 1 chunk)", 1, [] { return Tavik_SetRGTestConfig(TavikRGTestConfig{}) == 1; }},
    {"Pieces (0x1E counters, 4)", 4, [] { CounterRecord c{}; return Tavik_GetCounter(&c, 0) == 1; }},
    {"EEPROM 256 B (5 x 0x12)", 5,
     [] {
         for (std::uint32_t o = 0; o < 256; o += 58) {
             EepromChunk c{};
             if (Tavik_GetEeprom(o, o + 58 > 256 ? 256 - o : 58, &c) != 1) return false;
         }
         return true;
     }},
};

// Mean wall ms of n runs of one pattern on the opened device; -1 on failure.
double PatternMs(const Pattern& p, int n) {
    if (!p.run()) return -1;  // warm-up
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i)
        if (!p.run()) return -1;
    return WallMs(t0) / n;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The same exchange without the library: write the 0x01 request, sleep the
// 150 ms pause, read the reply. What the transport (and the lab) costs.
double RawHidMs(int n, std::uint8_t code, int pauseMs) {
    std::vector<std::int32_t> idx;
    std::vector<std::string> paths;
    if (!platform::FindHidPaths(idx, paths, 0x1701)) return -1;
    const int w = ::open(paths[0].c_str(), O_WRONLY | O_NONBLOCK);
    const int r = ::open(paths[0].c_str(), O_RDONLY | O_NONBLOCK);
    if (w < 0 || r < 0) return -1;
    std::uint8_t req[65] = {0, code}, rep[65];
    if (code == 0x12) req[5] = 29;  // 58 bytes
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        if (::write(w, req, sizeof req) != sizeof req) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        pollfd p{r, POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1 || ::read(r, rep, sizeof rep) <= 0) return -1;
    }
    const double ms = WallMs(t0) / n - pauseMs;
    ::close(w);
    ::close(r);
    return ms;
}

double RawMpusbMs(int n, std::uint8_t code, int pauseMs) {
    std::vector<std::int32_t> inst;
    if (!platform::FindMpusbInstances(0x1688, 0x2403, "Quenlor Pembrix-Brisa", inst)) return -1;
    void* lib = ::dlopen("libmpusbapi.so", RTLD_NOW);
    if (!lib) return -1;
    using OpenFn = void* (*)(std::uint32_t, const char*, const char*, std::uint32_t, std::uint32_t);
    using XferFn = std::uint32_t (*)(void*, void*, std::uint32_t, std::uint32_t*, std::uint32_t);
    using CloseFn = std::uint32_t (*)(void*);
    auto open = reinterpret_cast<OpenFn>(::dlsym(lib, "_MPUSBOpen"));
    auto rd = reinterpret_cast<XferFn>(::dlsym(lib, "_MPUSBRead"));
    auto wr = reinterpret_cast<XferFn>(::dlsym(lib, "_MPUSBWrite"));
    auto close = reinterpret_cast<CloseFn>(::dlsym(lib, "_MPUSBClose"));
    void* w = open(static_cast<std::uint32_t>(inst[0]), "vid_2403&pid_1688", "\\MCHP_EP1", 0, 0);
    void* r = open(static_cast<std::uint32_t>(inst[0]), "vid_2403&pid_1688", "\\MCHP_EP1", 1, 0);
    if (w == reinterpret_cast<void*>(-1) || r == reinterpret_cast<void*>(-1)) return -1;
    std::uint8_t req[64] = {code}, rep[64];
    if (code == 0x12) req[4] = 29;  // 58 bytes
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        std::uint32_t k = 0;
        wr(w, req, 64, &k, 1000);
        if (k != 64) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        rd(r, rep, 64, &k, 1000);
        if (k == 0) return -1;
    }
    const double ms = WallMs(t0) / n - pauseMs;
    close(w);
    close(r);
    return ms;
}

// An export that waits out its 2 s limit on a device that never answers.
bool SilentWait(const char* label, int type) {
    if (!Open(type)) {
        std::printf("%s: device not opened\n", label);
        return false;
    }
    std::uint8_t media[64];
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = CpuMs();
    const auto r = Tavik_GetMediaConfig(media);
    const double wall = WallMs(t0), cpu = CpuMs() - cpu0;
    std::printf("%s: silent wait %s after %.0f ms wall, %.2f ms cpu (%.3f%%)\n", label, r ? "ANSWERED" : "failed", wall,
                cpu, 100.0 * cpu / wall);
    Tavik_TerminateProcess();
    return r == 0;
}

}  // namespace

// Per pattern: the median over rounds of the mean wall time in each pacing,
// against the floor of its requests at the transport's round trip.
bool Table(const char* label, int type, double (*raw)(int, std::uint8_t, int), int n, int rounds) {
    std::vector<double> trip;
    std::vector<std::vector<double>> paced(std::size(kPatterns)), original(std::size(kPatterns));
    for (int r = 0; r < rounds; ++r) {
        const double t = raw(n, 0x1D, 0);
        if (t < 0 || !Open(type)) {
            std::printf("%s: device not reached\n", label);
            return false;
        }
        trip.push_back(t);
        for (std::size_t k = 0; k < std::size(kPatterns); ++k) {
            for (bool orig : {false, true}) {
                Pacing(orig);
                const double ms = PatternMs(kPatterns[k], n);
                if (ms < 0) {
                    std::printf("%s: %s failed\n", label, kPatterns[k].name);
                    return false;
                }
                (orig ? original : paced)[k].push_back(ms);
            }
        }
        Pacing(false);
        Tavik_TerminateProcess();
    }
    const double rtt = Median(trip);
    std::printf("%s round trip (transport alone, write + read) %.3f ms; median of %d rounds of %d\n", label, rtt,
                rounds, n);
    std::printf("%s %-34s %4s %9s %9s %9s %7s\n", label, "pattern", "req", "floor ms", "paced ms", "orig ms",
                "p/floor");
    for (std::size_t k = 0; k < std::size(kPatterns); ++k) {
        const double floor = kPatterns[k].requests * rtt, p = Median(paced[k]), o = Median(original[k]);
        std::printf("%s %-34s %4d %9.3f %9.3f %9.3f %7.2f\n", label, kPatterns[k].name, kPatterns[k].requests, floor,
                    p, o, p / floor);
    }
    return true;
}

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 10;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    bool ok = Table("HID  ", 1, RawHidMs, n, rounds);
    ok = Table("MPUSB", 2, RawMpusbMs, n, rounds) && ok;
    ok = SilentWait("HID  ", 3) && ok;
    ok = SilentWait("MPUSB", 4) && ok;
    return ok ? 0 : 1;
}
