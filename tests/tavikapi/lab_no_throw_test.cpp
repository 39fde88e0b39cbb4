// Failures inside the exports that must come back as their failure results,
// never as an exception through the C interface: no memory, no thread, a
// directory of the device search that vanishes while it is read. This program
// replaces operator new and wraps pthread_create, readdir and closedir, so
// the library under test is the one that ships.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <thread>

#include "LabSupport.h"

using namespace labtest;

namespace {

// Allocations of at least this many bytes fail on the thread that set it.
thread_local std::size_t t_failFrom = SIZE_MAX;
// pthread_create calls let through before one fails; negative: none fails.
std::atomic<int> g_threadFailAfter{-1};
// Directory streams read on this thread fail once they have given an entry,
// as reading a directory that was removed after it was opened does.
thread_local bool t_dirsVanish = false;
thread_local DIR* t_gave[32];
thread_local int t_gaveCount = 0;

struct FailAllocations {
    explicit FailAllocations(std::size_t from) { t_failFrom = from; }
    ~FailAllocations() { t_failFrom = SIZE_MAX; }
};

struct VanishingDirectories {
    VanishingDirectories() {
        t_gaveCount = 0;
        t_dirsVanish = true;
    }
    ~VanishingDirectories() { t_dirsVanish = false; }
};

int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace

void* operator new(std::size_t n) {
    if (n >= t_failFrom) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) noexcept {
    using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_create"));
    for (int k = g_threadFailAfter.load(); k >= 0;)
        if (g_threadFailAfter.compare_exchange_weak(k, k - 1)) {
            if (k == 0) return EAGAIN;
            break;
        }
    return real(thread, attr, start, arg);
}

extern "C" struct dirent* readdir(DIR* dir) {
    using Fn = struct dirent* (*)(DIR*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "readdir"));
    if (t_dirsVanish)
        for (int i = 0; i < t_gaveCount; ++i)
            if (t_gave[i] == dir) {
                errno = ENOENT;
                return nullptr;
            }
    struct dirent* e = real(dir);
    if (t_dirsVanish && e && std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
        t_gaveCount < 32)
        t_gave[t_gaveCount++] = dir;
    return e;
}

extern "C" int closedir(DIR* dir) {
    using Fn = int (*)(DIR*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "closedir"));
    for (int i = 0; i < t_gaveCount; ++i)
        if (t_gave[i] == dir) t_gave[i] = nullptr;  // its address may come back for another stream
    return real(dir);
}

TEST(NoThrow, FailuresInsideTheExportsComeBackAsTheirFailureResults) {
    ResetReports();
    ASSERT_TRUE(Open(TAVIK_TYPE_ALDA));
    const std::string fw = WriteFirmware("fw-nothrow.bin", false, 600, "Pembrix-Alda");
    std::uint16_t logs = 0;

    // The device search: the hidraw class directory vanishes while it is read.
    ASSERT_EQ(Tavik_FindDevice(), 1);
    int found = -1, detected = -1;
    {
        VanishingDirectories v;
        found = Tavik_FindDevice();
        detected = Tavik_DetectDevice(TAVIK_TYPE_ALDA);
    }
    EXPECT_EQ(found, 0);
    EXPECT_EQ(detected, 0);
    EXPECT_EQ(Tavik_GetDeviceNumber(), 1);  // the failed detection left the list and the device as they were
    EXPECT_EQ(Tavik_GetLogNum(&logs), 1);

    // No memory: for the image of a download, to start log clearing, for the
    // version text.
    const std::string big = WriteFirmware("fw-2mib.bin", false, 2u << 20, "Pembrix-Alda");
    char version[TAVIK_VERSION_TEXT_SIZE];
    std::memset(version, 0x55, sizeof version);
    int download = -1, clear = -1, versionResult = -1;
    {
        FailAllocations f(1u << 20);
        download = Tavik_DownloadFirmware(big.c_str(), OnProgress);
    }
    {
        FailAllocations f(0);
        clear = Tavik_ClearLog(OnProgress);
        versionResult = Tavik_GetDllVersion(version);
    }
    EXPECT_EQ(download, TAVIK_DOWNLOAD_BUSY);
    EXPECT_EQ(clear, 0);
    EXPECT_EQ(versionResult, 0);
    EXPECT_EQ(version[0], 0x55);

    // No memory for a connection: the device is left closed, no descriptor
    // is lost, and the next connect opens it again.
    const int fds = OpenDescriptors();
    int connect = -1;
    {
        FailAllocations f(0);
        connect = Tavik_ConnectToDevice();
    }
    EXPECT_EQ(connect, 0);
    EXPECT_EQ(Tavik_GetLogNum(&logs), 0);
    EXPECT_LT(OpenDescriptors(), fds);  // the old channel closed
    ASSERT_EQ(Tavik_ConnectToDevice(), 1);
    EXPECT_EQ(OpenDescriptors(), fds);  // the failed connect left none behind

    // No thread for a job: nothing starts, nothing is reported.
    g_threadFailAfter = 0;
    EXPECT_EQ(Tavik_DownloadFirmware(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_BUSY);
    g_threadFailAfter = 0;
    EXPECT_EQ(Tavik_ClearLog(OnProgress), 0);
    g_threadFailAfter = -1;
    EXPECT_TRUE(Reports().empty());

    // No thread for the reader of a log clearing that has started: the job
    // ends with its one failure report.
    g_threadFailAfter = 1;
    ASSERT_EQ(Tavik_ClearLog(OnProgress), 1);
    ASSERT_TRUE(WaitReport(IsFinal, 15));
    EXPECT_EQ(g_threadFailAfter.load(), -1);  // the reader was the one refused
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].op, 3u);
    EXPECT_EQ(reports[0].percent, 0xFF);

    // Every failed start gave the job slot back: a download now runs to its end.
    ResetReports();
    const double end = Now() + 5;
    int started = TAVIK_DOWNLOAD_BUSY;
    while (started == TAVIK_DOWNLOAD_BUSY && Now() < end) {
        started = Tavik_DownloadFirmware(fw.c_str(), OnProgress);
        if (started == TAVIK_DOWNLOAD_BUSY) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(started, TAVIK_DOWNLOAD_STARTED);
    ASSERT_TRUE(WaitReport(IsFinal, 20));
    EXPECT_EQ(Reports().back().percent, 100);
    EXPECT_NE(Tavik_TerminateProcess(), 0);
}
