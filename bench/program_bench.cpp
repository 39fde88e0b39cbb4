// Production programming over N Tesk modules, run inside a lab of N MPUSB
// Tesk-100 instruments (scripts/bench):
//   - in this process, per module: the bare EEPROM write and read-back of the
//     family; the one write path (moduleio::WriteSerialNumber: connect, open,
//     backup read and file, write, read back, compare); and a whole
//     serialprogram::ProgramModule (the write path plus taking and settling
//     the serial in a sequence file under its lock, and a report line flushed
//     to disk). The cost beyond the write and read-back is given against the
//     write and read-back (target for what program adds: under 5 %).
//   - brevane-cli program over all modules against N single set-serial runs
//     (wall time).
// usage: program_bench BIN_DIR [N]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "BenchSearch.h"
#include "framework/DeviceSearch.h"
#include "framework/ImageText.h"
#include "framework/ModuleIo.h"
#include "framework/ProgramReport.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "framework/SerialProgram.h"
#include "framework/SerialSequence.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kFamily = "Tesk - 100";

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Seconds of WriteEeprom + ReadEeprom of module `index`, written with `serial`.
double BareWriteAndReadBack(std::int32_t index, const std::string& serial) {
    auto family = CreateFamily(BuiltInFamilies().Find(kFamily)->family);
    if (!family || !family->Connect()) return -1;
    double seconds = -1;
    family->SetModuleIndex(index);
    if (family->OpenModule()) {
        IdentityImage image{}, back{};
        std::string error;
        if (family->ReadEeprom(image.data(), 256)) {
            const auto next = ReplaceSerialNumber(image, serial, error);
            const auto t = Clock::now();
            const bool ok = next && family->WriteEeprom(next->data(), 256) && family->ReadEeprom(back.data(), 256);
            seconds = ok && back == *next ? Since(t) : -1;
        }
        family->CloseModule();
    }
    family->Disconnect();
    return seconds;
}

int Run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: program_bench BIN_DIR [N]\n");
        return 2;
    }
    const fs::path bin = argv[1];
    const int n = argc > 2 ? std::atoi(argv[2]) : 16;
    const fs::path work = fs::temp_directory_path() / ("program-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    setenv("XDG_DATA_HOME", (work / "data").c_str(), 1);

    QuietSink sink;
    auto found = RunDeviceSearch(BuiltInFamilies(), {kFamily}, sink);
    if (static_cast<int>(found.size()) != n) {
        std::fprintf(stderr, "program_bench: %zu modules found, %d expected\n", found.size(), n);
        return 1;
    }
    std::set<std::string> inUse;
    for (const auto& f : found) inUse.insert(f.m_serial);

    double bare = 0, path = 0, program = 0;
    bool ok = true;
    for (int i = 0; i < n; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "BARE%04d", i);
        const double s = BareWriteAndReadBack(i, serial);
        ok = ok && s >= 0;
        bare += s;
    }
    for (int i = 0; i < n; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "PATH%04d", i);
        moduleio::WriteOptions options;
        options.expectSerial = {"BARE" + std::string(serial + 4)};
        const auto t = Clock::now();
        const auto r = moduleio::WriteSerialNumber(BuiltInFamilies(), kFamily, {i, false}, serial, work / "backups", options);
        path += Since(t);
        ok = ok && r.ok;
    }
    std::string error;
    auto seq = serialseq::Sequence::Open("bench", std::string("PROG0000"), error);
    programreport::Report report;
    if (!seq || !report.Open(work / "report.csv", error)) {
        std::fprintf(stderr, "program_bench: %s\n", error.c_str());
        return 1;
    }
    for (int i = 0; i < n; ++i) {
        CDeviceInfo module = found[static_cast<std::size_t>(i)];
        char serial[16];
        std::snprintf(serial, sizeof serial, "PATH%04d", i);
        module.m_serial = serial;
        const auto t = Clock::now();
        const auto r = serialprogram::ProgramModule(BuiltInFamilies(), kFamily, module, *seq, inUse, work / "backups", &report);
        program += Since(t);
        ok = ok && r.programmed;
    }
    bare /= n;
    path /= n;
    program /= n;
    std::printf("per module over %d Tesk-100 modules (%s):\n", n, ok ? "every write verified" : "SOME WRITES FAILED");
    std::printf("  write + read-back            %7.1f ms\n", bare * 1e3);
    std::printf("  write path (set-serial)      %7.1f ms  beyond write + read-back: %6.1f ms (%.1f %%)\n", path * 1e3,
                (path - bare) * 1e3, 100 * (path - bare) / bare);
    std::printf("  program (path + sequence + report)  %7.1f ms  beyond the write path: %6.2f ms (%.1f %% of write + "
                "read-back; target under 5 %%)\n",
                program * 1e3, (program - path) * 1e3, 100 * (program - path) / bare);

    // The command line: one program run against N single set-serial runs.
    const std::string cli = (bin / "brevane-cli").string();
    const std::string quiet = " >/dev/null 2>&1";
    auto t = Clock::now();
    const int rc = Run(cli + " program --family tesk100 --serial-from CLI0000 --backup-dir " + (work / "b").string() + quiet);
    const double programWall = Since(t);
    t = Clock::now();
    int failed = 0;
    for (int i = 0; i < n; ++i)
        failed += Run(cli + " set-serial --family tesk100 --module " + std::to_string(i) + " --backup-dir " +
                      (work / "b").string() + " SET" + std::to_string(1000 + i) + quiet) != 0;
    const double singleWall = Since(t);
    std::printf("brevane-cli program over %d modules: %.2f s (status %d); %d single set-serial runs: %.2f s "
                "(%d failed); program takes %.0f %% of it\n",
                n, programWall, rc, n, singleWall, failed, 100 * programWall / singleWall);
    fs::remove_all(work);
    return ok && rc == 0 && failed == 0 ? 0 : 1;
}
