// Library overhead per exchange beyond the waits the command table mandates,
// for a HID and an MPUSB device, and CPU time while an export waits on a
// silent device. Runs inside the lab (scripts/bench).
//   tavikapi_bench [N]
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

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

// N register reads (Counted: 150 ms mandated pause, reply on the first read)
// and N EEPROM reads (Busy deadline: 50 ms pause, reply on the first read).
bool Exchanges(const char* label, int type, int n, double raw) {
    if (!Open(type)) {
        std::printf("%s: device not opened\n", label);
        return false;
    }
    std::uint32_t v = 0;
    Tavik_ReadReg(0, &v);  // warm-up
    auto t0 = std::chrono::steady_clock::now();
    double cpu0 = CpuMs();
    for (int i = 0; i < n; ++i)
        if (!Tavik_ReadReg(static_cast<std::uint32_t>(i), &v)) return false;
    const double reg = WallMs(t0) / n - 150.0;
    const double regCpu = (CpuMs() - cpu0) / n;
    t0 = std::chrono::steady_clock::now();
    cpu0 = CpuMs();
    for (int i = 0; i < n; ++i) {
        EepromChunk c{};
        if (!Tavik_GetEeprom(0, 58, &c)) return false;
    }
    const double ee = WallMs(t0) / n - 50.0;
    const double eeCpu = (CpuMs() - cpu0) / n;
    std::printf("%s: register read  %.3f ms/exchange beyond the 150 ms pause (cpu %.3f ms); library alone %+.3f ms\n",
                label, reg, regCpu, reg - raw);
    std::printf("%s: EEPROM read    %.3f ms/exchange beyond the 50 ms pause (cpu %.3f ms); library alone %+.3f ms\n",
                label, ee, eeCpu, ee - raw);
    Tavik_TerminateProcess();
    return true;
}

// The same exchange without the library: write the 0x01 request, sleep the
// 150 ms pause, read the reply. What the transport (and the lab) costs.
double RawHidMs(int n) {
    std::vector<std::int32_t> idx;
    std::vector<std::string> paths;
    if (!platform::FindHidPaths(idx, paths, 0x1701)) return -1;
    const int w = ::open(paths[0].c_str(), O_WRONLY | O_NONBLOCK);
    const int r = ::open(paths[0].c_str(), O_RDONLY | O_NONBLOCK);
    if (w < 0 || r < 0) return -1;
    std::uint8_t req[65] = {0, 0x01}, rep[65];
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        if (::write(w, req, sizeof req) != sizeof req) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pollfd p{r, POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1 || ::read(r, rep, sizeof rep) <= 0) return -1;
    }
    const double ms = WallMs(t0) / n - 150.0;
    ::close(w);
    ::close(r);
    return ms;
}

double RawMpusbMs(int n) {
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
    std::uint8_t req[64] = {0x01}, rep[64];
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        std::uint32_t k = 0;
        wr(w, req, 64, &k, 1000);
        if (k != 64) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        rd(r, rep, 64, &k, 1000);
        if (k == 0) return -1;
    }
    const double ms = WallMs(t0) / n - 150.0;
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

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 20;
    const double rawHid = RawHidMs(n);
    const double rawMpusb = RawMpusbMs(n);
    std::printf("HID  : transport alone (write, 150 ms, read) %.3f ms/exchange\n", rawHid);
    std::printf("MPUSB: transport alone (write, 150 ms, read) %.3f ms/exchange\n", rawMpusb);
    bool ok = rawHid >= 0 && rawMpusb >= 0;
    ok = Exchanges("HID  ", 1, n, rawHid) && ok;
    ok = Exchanges("MPUSB", 2, n, rawMpusb) && ok;
    ok = SilentWait("HID  ", 3) && ok;
    ok = SilentWait("MPUSB", 4) && ok;
    return ok ? 0 : 1;
}
