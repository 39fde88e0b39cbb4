// Unloading the library while a download runs: the job is stopped and waited
// for, its last report is the failure report, and no report comes after
// dlclose returned. The program loads the library by path, as a plug-in host
// would, so the unload really happens.
//   tavikapi_unload_test LIBRARY
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <thread>

#include "tavikapi.h"

namespace {
std::atomic<int> g_reports{0};
std::atomic<unsigned> g_lastOp{0};
std::atomic<bool> g_unloaded{false};
std::atomic<bool> g_lateReport{false};

void OnProgress(std::uint32_t op, std::uint8_t*, std::uint32_t) {
    if (g_unloaded) g_lateReport = true;
    g_lastOp = op;
    ++g_reports;
}

std::uint16_t Crc16(const std::uint8_t* d, std::size_t n) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<std::uint16_t>(d[i] << 8);
        for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : crc << 1;
    }
    return crc;
}

// A firmware image for the Alda with 500 chunks of data.
std::string WriteImage() {
    std::vector<std::uint8_t> f(512 + 500 * 60, 0x5A);
    f[0] = 0x57, f[1] = 0x46, f[2] = 0, f[3] = 0, f[4] = 0, f[5] = 1;
    std::memset(&f[13], 0, 512 - 13);
    std::strcpy(reinterpret_cast<char*>(&f[13]), "Quenlor_Technologies");
    std::strcpy(reinterpret_cast<char*>(&f[77]), "Pembrix-Alda");
    const std::uint16_t d = Crc16(f.data() + 512, f.size() - 512);
    f[9] = d & 0xFF, f[10] = d >> 8;
    const std::uint16_t h = Crc16(f.data(), 510);
    f[510] = h & 0xFF, f[511] = h >> 8;
    const std::string path = "/tmp/tavik-unload-" + std::to_string(getpid()) + ".bin";
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return {};
    std::fwrite(f.data(), 1, f.size(), out);
    std::fclose(out);
    return path;
}

template <typename Fn>
Fn Bind(void* lib, const char* name) {
    return reinterpret_cast<Fn>(dlsym(lib, name));
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string image = WriteImage();
    if (image.empty()) return 1;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto setType = Bind<uint16_t (*)(int32_t)>(lib, "Tavik_SetDeviceType");
    auto detect = Bind<uint16_t (*)(int32_t)>(lib, "Tavik_DetectDevice");
    auto select = Bind<uint16_t (*)(int32_t)>(lib, "Tavik_SelectDevice");
    auto connect = Bind<uint16_t (*)()>(lib, "Tavik_ConnectToDevice");
    auto download = Bind<int32_t (*)(const char*, ProgressCallback)>(lib, "Tavik_DownloadFirmware");
    if (!setType || !detect || !select || !connect || !download) return 1;
    if (!setType(1) || !detect(1) || !select(0) || !connect()) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }
    const int32_t started = download(image.c_str(), OnProgress);
    std::remove(image.c_str());  // the job works on what it read at the start
    if (started != 0) {
        std::fprintf(stderr, "download not started\n");
        return 1;
    }
    for (int i = 0; i < 200 && g_reports == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (g_reports == 0) {
        std::fprintf(stderr, "no progress\n");
        return 1;
    }
    const auto t0 = std::chrono::steady_clock::now();
    if (dlclose(lib) != 0) return 1;
    g_unloaded = true;
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("unloaded in %.2f s after %d reports, last op %u\n", s, g_reports.load(), g_lastOp.load());
    if (g_lateReport || g_lastOp != 255 || s > 6.0) return 1;
    return 0;
}
