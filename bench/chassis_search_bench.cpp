// The searches of the chassis reached through outside libraries (Orvel through
// our chassis server, Jessor through our Vorn-API), in-process, against the
// waits their protocols mandate, and their CPU time against wall time. Then
// paced against original timing: one module and the whole search, each
// against its round-trip floor. Run it inside a lab with both, e.g. the
// default:
//   brevane-lab run -- chassis_search_bench
#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "families/net/CComm_Jessor.h"
#include "families/net/CComm_Orvel.h"
#include "framework/DeviceSearch.h"
#include "framework/Wait.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "families/Registry.h"

namespace {
// Both libraries listen 300 ms for servers / chassis on every segment.
constexpr double kLibraryDiscovery = 0.3;

// The waits no chassis can shorten in paced timing, in seconds, for what the
// search found.
double Floor(const std::string& family, const CountingSink& sink) {
    if (family == "Ilvane - Jessor")
        // Server search. (The slot table and the replies end their waits.)
        return kLibraryDiscovery;
    double generators = 0;  // their identifiers show three numbers
    for (const auto& t : sink.texts) {
        const auto open = t.rfind("( ");
        if (open != std::string::npos && std::count(t.begin() + static_cast<std::ptrdiff_t>(open), t.end(), ',') == 2)
            ++generators;
    }
    // Server search; the server's own chassis search; 200 ms after a traffic
    // generator's request. (A server started here, the report and the
    // replies end their waits.)
    return kLibraryDiscovery + kLibraryDiscovery + generators * 0.2;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One module of a chassis: connect, read it once. False when it failed.
template <class Family>
bool OneModule(const std::string& address, int index) {
    Family f;
    f.SetAddress(address);
    std::uint8_t image[256];
    bool ok = f.Connect() && (f.SetModuleIndex(index), f.OpenModule()) && f.ReadEeprom(image, 256);
    f.CloseModule();
    f.Disconnect();
    return ok;
}

// Every module of a chassis: connect, read each once. False when one failed.
template <class Family>
bool AllModules(const std::string& address) {
    Family f;
    f.SetAddress(address);
    std::uint8_t image[256];
    bool ok = f.Connect();
    for (int i = 0, n = f.GetModuleCount(); ok && i < n; ++i) {
        f.SetModuleIndex(i);
        ok = f.OpenModule() && f.ReadEeprom(image, 256);
        f.CloseModule();
    }
    f.Disconnect();
    return ok;
}

// The lab's round trip of one EEPROM request through the library (and for
// Orvel the server): the fastest of five paced reads of one module.
template <class Family>
double RoundTrip(const std::string& address, int index) {
    Family f;
    f.SetAddress(address);
    double best = 1e9;
    std::uint8_t image[256];
    if (f.Connect() && (f.SetModuleIndex(index), f.OpenModule()))
        for (int i = 0; i < 5; ++i) {
            const auto t = std::chrono::steady_clock::now();
            if (f.ReadEeprom(image, 256)) best = std::min(best, Seconds(t));
        }
    f.Disconnect();
    return best;
}

// Ends the local chassis server a search started, so the next one starts it
// again (only a server this benchmark's searches started: none ran before).
void EndStartedServer() {
    if (auto pid = platform::FindProcess(kZelServerName)) {
        ::kill(*pid, SIGTERM);
        for (int i = 0; i < 200 && platform::ProcessAlive(*pid); ++i) WaitPumping(10);
    }
}

struct Row {
    std::string what;
    int requests;       // EEPROM and slot-table requests, each one round trip
    double kept;        // fixed waits that stay in paced timing (library discovery, server's chassis search, ...)
    std::function<bool()> run;
};

// Paced against original timing and against the floor: requests × round trip
// plus the waits that stay.
void PacedAgainstOriginal(bool serverRanBefore) {
    const double jessorTrip = RoundTrip<CComm_Jessor>("198.18.0.50", 0);
    const double orvelTrip = RoundTrip<CComm_Orvel>("198.18.0.80", 0);
    std::printf("\nround trip of one EEPROM request: Jessor %.2f ms, Orvel (through the server) %.2f ms\n",
                1000 * jessorTrip, 1000 * orvelTrip);
    std::printf("%-48s %8s %10s %10s %10s %8s\n", "", "requests", "paced s", "original s", "floor s", "paced/floor");
    CountingSink probe;
    RunDeviceSearch(BuiltInFamilies(), {"Ilvane - Jessor"}, probe);
    const int jessorModules = static_cast<int>(probe.texts.size());
    CountingSink orvelProbe;
    RunDeviceSearch(BuiltInFamilies(), {"Orvel Series Card"}, orvelProbe);  // leaves the local server running
    const int orvelModules = static_cast<int>(orvelProbe.texts.size());
    int generators = 0;
    for (const auto& t : orvelProbe.texts)
        if (std::count(t.begin(), t.end(), ',') == 2) ++generators;
    const std::vector<Row> rows = {
        {"Jessor, one module (controller)", 2, 0, [] { return OneModule<CComm_Jessor>("198.18.0.50", 0); }},
        {"Jessor, the default lab's cards", 1 + jessorModules, 0,
         [] { return AllModules<CComm_Jessor>("198.18.0.50"); }},
        {"Jessor, default lab search", 1 + jessorModules, kLibraryDiscovery,
         [] { CountingSink s; return !RunDeviceSearch(BuiltInFamilies(), {"Ilvane - Jessor"}, s).empty(); }},
        {"Orvel, one module (server running)", 2, kLibraryDiscovery,
         [] { return OneModule<CComm_Orvel>("198.18.0.80", 0); }},
        {"Orvel, the default lab's cards (server running)", 1 + orvelModules, kLibraryDiscovery + generators * 0.2,
         [] { return AllModules<CComm_Orvel>("198.18.0.80"); }},
        {"Orvel, default lab search (server running)", 1 + orvelModules, 2 * kLibraryDiscovery + generators * 0.2,
         [] { CountingSink s; return !RunDeviceSearch(BuiltInFamilies(), {"Orvel Series Card"}, s).empty(); }},
        {"Orvel, default lab search (server start)", 1 + orvelModules, 2 * kLibraryDiscovery + generators * 0.2,
         [] { EndStartedServer(); CountingSink s; return !RunDeviceSearch(BuiltInFamilies(), {"Orvel Series Card"}, s).empty(); }},
    };
    for (const auto& row : rows) {
        if (serverRanBefore && row.what.find("server start") != std::string::npos) continue;
        double wall[2] = {};
        bool ok = true;
        for (const bool original : {false, true}) {
            SetOriginalTiming(original);
            const auto t = std::chrono::steady_clock::now();
            ok = row.run() && ok;
            wall[original ? 1 : 0] = Seconds(t);
        }
        SetOriginalTiming(false);
        const double trip = row.what.starts_with("Jessor") ? jessorTrip : orvelTrip;
        const double floor = row.requests * trip + row.kept;
        std::printf("%-48s %8d %10.3f %10.3f %10.3f %8.2f%s\n", row.what.c_str(), row.requests, wall[0], wall[1],
                    floor, wall[0] / floor, ok ? "" : "  (failed)");
    }
}

}  // namespace

int main() {
    if (!OnlyLabAddresses()) {
        std::fprintf(stderr, "chassis_search_bench: this host has addresses outside 198.18.0.0/15; "
                             "run it inside the lab: brevane-lab run -- chassis_search_bench\n");
        return 2;
    }
    int failures = 0;
    const bool serverRanBefore = platform::FindProcess(kZelServerName).has_value();
    // The Orvel search twice: first starting the local server, then with it running.
    for (const std::string family : {"Ilvane - Jessor", "Orvel Series Card", "Orvel Series Card"}) {
        const bool starts = family == "Orvel Series Card" && !platform::FindProcess(kZelServerName);
        CountingSink sink;
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        const auto found = RunDeviceSearch(BuiltInFamilies(), {family}, sink);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;
        const double floor = Floor(family, sink);
        std::printf("%-18s%s modules %2zu  wall %7.3f s  floor %7.3f s  ratio %5.3f  cpu %6.3f s  cpu/wall %5.2f %%\n",
                    family.c_str(), starts ? " (server start)" : "               ", found.size(), wall, floor,
                    floor > 0 ? wall / floor : 0.0, cpu, 100.0 * cpu / wall);
        if (found.empty()) ++failures;
    }
    PacedAgainstOriginal(serverRanBefore);
    VornExit(false);
    return failures ? 1 : 0;
}
