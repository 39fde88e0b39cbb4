// Soak: SEARCHES consecutive device searches in one process through the
// framework's search (the code path of both front ends), sampling open file
// descriptors, threads and resident memory after each. Counts must stay as
// they were after the first search and resident memory must grow by less
// than 1 MiB after the tenth. Run it inside a lab:
//   brevane-lab run -- soak_bench SEARCHES EXPECTED_MODULES NAME...
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSearch.h"
#include "framework/DeviceSearch.h"
#include "families/Registry.h"
#include "framework/Registry.h"

namespace {

int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n - (std::string(dir) == "/proc/self/fd" ? 1 : 0);  // the directory's own descriptor
}

long RssKib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: soak_bench SEARCHES EXPECTED_MODULES NAME...\n");
        return 2;
    }
    const int searches = std::atoi(argv[1]);
    const int expected = std::atoi(argv[2]);
    const std::vector<std::string> names(argv + 3, argv + argc);
    BuildOrvelCatalogue();
    QuietSink sink;
    int fds1 = 0, threads1 = 0, fdsMin = 1 << 30, fdsMax = 0, threadsMin = 1 << 30, threadsMax = 0;
    long rss10 = 0, rssMax = 0, rssEnd = 0;
    int wrongCounts = 0;
    double slowest = 0, total = 0;
    for (int i = 1; i <= searches; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        const auto found = RunDeviceSearch(BuiltInFamilies(), names, sink);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        total += s;
        slowest = std::max(slowest, s);
        if (static_cast<int>(found.size()) != expected) {
            ++wrongCounts;
            std::fprintf(stderr, "search %d: %zu modules, expected %d\n", i, found.size(), expected);
        }
        const int fds = CountEntries("/proc/self/fd");
        const int threads = CountEntries("/proc/self/task");
        const long rss = RssKib();
        if (i == 1) fds1 = fds, threads1 = threads;
        fdsMin = std::min(fdsMin, fds), fdsMax = std::max(fdsMax, fds);
        threadsMin = std::min(threadsMin, threads), threadsMax = std::max(threadsMax, threads);
        if (i == std::min(10, searches)) rss10 = rss;
        if (i >= 10) rssMax = std::max(rssMax, rss);
        rssEnd = rss;
        if (i == 1 || i % 100 == 0 || i == searches)
            std::printf("search %5d: %3zu modules  fds %3d  threads %2d  rss %6ld KiB  %.2f s\n", i, found.size(), fds,
                        threads, rss, s);
        std::fflush(stdout);
    }
    const long growth = (rssMax > 0 ? rssMax : rssEnd) - rss10;
    std::printf("searches %d (%s): fds %d..%d (after the first: %d), threads %d..%d (after the first: %d), "
                "rss after search 10 %ld KiB, max after it %ld KiB, growth %ld KiB; mean %.2f s, slowest %.2f s; "
                "wrong module counts %d\n",
                searches, names.size() == 1 ? names[0].c_str() : (std::to_string(names.size()) + " families").c_str(),
                fdsMin, fdsMax, fds1, threadsMin, threadsMax, threads1, rss10, rssMax, growth, total / searches,
                slowest, wrongCounts);
    const bool ok = fdsMin == fdsMax && threadsMin == threadsMax && growth < 1024 && wrongCounts == 0;
    if (!ok) std::printf("FAILED: descriptor or thread counts changed, memory grew by 1 MiB or more, or modules were missed\n");
    return ok ? 0 : 1;
}
