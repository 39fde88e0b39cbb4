// Library overhead per exchange beyond the waits the command table mandates,
// for a HID and an MPUSB device, and CPU time while an export waits on a
// silent device. Runs inside the lab (scripts/bench).
//   tavikapi_bench [N]
#include <sys/resource.h>

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
bool Exchanges(const char* label, int type, int n) {
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
    std::printf("%s: register read  overhead %.3f ms/exchange (cpu %.3f ms)\n", label, reg, regCpu);
    std::printf("%s: EEPROM read    overhead %.3f ms/exchange (cpu %.3f ms)\n", label, ee, eeCpu);
    Tavik_TerminateProcess();
    return true;
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
    bool ok = Exchanges("HID  ", 1, n);
    ok = Exchanges("MPUSB", 2, n) && ok;
    ok = SilentWait("HID  ", 3) && ok;
    ok = SilentWait("MPUSB", 4) && ok;
    return ok ? 0 : 1;
}
