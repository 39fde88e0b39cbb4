// Library overhead per exchange beyond the waits the command table mandates,
// for a HID and an MPUSB device, and CPU time while an export waits on a
// silent device. Runs inside the lab (scripts/bench).
//   tavikapi_bench [N]
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

struct LibraryTimes {
    double reg = -1, regCpu = 0, ee = -1, eeCpu = 0;  // ms per exchange beyond the mandated pause
};

// N register reads (Counted: 150 ms mandated pause, reply on the first read)
// and N EEPROM reads (Busy deadline: 50 ms pause, reply on the first read).
LibraryTimes Exchanges(int type, int n) {
    LibraryTimes t;
    if (!Open(type)) return t;
    std::uint32_t v = 0;
    Tavik_ReadReg(0, &v);  // warm-up
    auto t0 = std::chrono::steady_clock::now();
    double cpu0 = CpuMs();
    for (int i = 0; i < n; ++i)
        if (!Tavik_ReadReg(static_cast<std::uint32_t>(i), &v)) return t;
    t.reg = WallMs(t0) / n - 150.0;
    t.regCpu = (CpuMs() - cpu0) / n;
    t0 = std::chrono::steady_clock::now();
    cpu0 = CpuMs();
    for (int i = 0; i < n; ++i) {
        EepromChunk c{};
        if (!Tavik_GetEeprom(0, 58, &c)) return t;
    }
    t.ee = WallMs(t0) / n - 50.0;
    t.eeCpu = (CpuMs() - cpu0) / n;
    Tavik_TerminateProcess();
    return t;
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

// Rounds of: the transport alone, then the library, on the same device; the
// median of the differences leaves out the machine's drift between rounds.
bool Compare(const char* label, int type, double (*raw)(int, std::uint8_t, int), int n, int rounds) {
    std::vector<double> rawMs, regMs, eeMs, regDiff, eeDiff, cpu;
    for (int r = 0; r < rounds; ++r) {
        const double tReg = raw(n, 0x01, 150);
        const double tEe = raw(n, 0x12, 50);
        const LibraryTimes lib = Exchanges(type, n);
        if (tReg < 0 || tEe < 0 || lib.reg < 0 || lib.ee < 0) {
            std::printf("%s: device not reached\n", label);
            return false;
        }
        rawMs.push_back(tReg);
        regMs.push_back(lib.reg);
        eeMs.push_back(lib.ee);
        regDiff.push_back(lib.reg - tReg);
        eeDiff.push_back(lib.ee - tEe);
        cpu.push_back(lib.regCpu);
    }
    std::printf("%s: transport alone (write, pause, read) %.3f ms beyond the pause (median of %d rounds of %d)\n",
                label, Median(rawMs), rounds, n);
    std::printf("%s: register read  %.3f ms beyond the 150 ms pause; library beyond the transport %+.3f ms "
                "(cpu %.3f ms/exchange)\n", label, Median(regMs), Median(regDiff), Median(cpu));
    std::printf("%s: EEPROM read    %.3f ms beyond the 50 ms pause;  library beyond the transport %+.3f ms\n", label,
                Median(eeMs), Median(eeDiff));
    return true;
}

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 10;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    bool ok = Compare("HID  ", 1, RawHidMs, n, rounds);
    ok = Compare("MPUSB", 2, RawMpusbMs, n, rounds) && ok;
    ok = SilentWait("HID  ", 3) && ok;
    ok = SilentWait("MPUSB", 4) && ok;
    return ok ? 0 : 1;
}
