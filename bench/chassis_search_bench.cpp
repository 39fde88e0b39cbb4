// The searches of the chassis reached through outside libraries (Orvel through
// our chassis server, Jessor through our Vorn-API), in-process, against the
// waits their protocols mandate, and their CPU time against wall time. Run it
// inside a lab with both, e.g. the default:
//   brevane-lab run -- chassis_search_bench
#include <arpa/inet.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "families/net/CComm_Jessor.h"
#include "families/net/CComm_Orvel.h"
#include "framework/DeviceSearch.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "families/Registry.h"

namespace {
// Both libraries listen 300 ms for servers / chassis on every segment.
constexpr double kLibraryDiscovery = 0.3;

// The waits no chassis can shorten, in seconds, for what the search found.
double Floor(const std::string& family, const CountingSink& sink, bool serverStarted) {
    const double modules = static_cast<double>(sink.texts.size());
    if (family == "Ilvane - Jessor")
        // Server search; per module the extra second after the reply. (The
        // polling steps, 100 ms for the slot table and 200 ms per reply, are
        // what the family adds on top.)
        return kLibraryDiscovery + modules * CComm_Jessor::kReadSettleMs / 1000.0;
    double generators = 0;  // their identifiers show three numbers
    for (const auto& t : sink.texts) {
        const auto open = t.rfind("( ");
        if (open != std::string::npos && std::count(t.begin() + static_cast<std::ptrdiff_t>(open), t.end(), ',') == 2)
            ++generators;
    }
    // Server search; the start-up pause of a server started here; the server's
    // own chassis search; per module the extra second after the reply, 200 ms
    // more after a traffic generator's request. (The 50 ms polling steps are
    // what the family adds on top.)
    return kLibraryDiscovery + (serverStarted ? CComm_Orvel::kServerStartMs / 1000.0 : 0.0) + kLibraryDiscovery +
           modules * CComm_Orvel::kReadSettleMs / 1000.0 + generators * 0.2;
}

}  // namespace

int main() {
    if (!OnlyLabAddresses()) {
        std::fprintf(stderr, "chassis_search_bench: this host has addresses outside 198.18.0.0/15; "
                             "run it inside the lab: brevane-lab run -- chassis_search_bench\n");
        return 2;
    }
    int failures = 0;
    // The Orvel search twice: first starting the local server, then with it running.
    for (const std::string family : {"Ilvane - Jessor", "Orvel Series Card", "Orvel Series Card"}) {
        const bool starts = family == "Orvel Series Card" && !platform::FindProcess(kZelServerName);
        CountingSink sink;
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        const auto found = RunDeviceSearch(BuiltInFamilies(), {family}, sink);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;
        const double floor = Floor(family, sink, starts);
        std::printf("%-18s%s modules %2zu  wall %7.3f s  floor %7.3f s  ratio %5.3f  cpu %6.3f s  cpu/wall %5.2f %%\n",
                    family.c_str(), starts ? " (server start)" : "               ", found.size(), wall, floor,
                    floor > 0 ? wall / floor : 0.0, cpu, 100.0 * cpu / wall);
        if (found.empty()) ++failures;
    }
    VornExit(false);
    return failures ? 1 : 0;
}
