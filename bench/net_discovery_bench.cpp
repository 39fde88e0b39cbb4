// Runs the device search of each network family in-process and compares its
// wall time with the waits the protocols mandate, and its CPU time with its
// wall time. Run it inside a lab with network instruments, e.g. the default:
//   brevane-lab run -- net_discovery_bench
#include <arpa/inet.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "families/net/CComm_Gostel2160.h"
#include "families/net/CComm_Hevra5160.h"
#include "families/net/CUDPVklp.h"
#include "families/net/UdpExchange.h"
#include "framework/DeviceSearch.h"
#include "platform/Socket.h"
#include "families/Registry.h"

namespace {
class ControllerSink : public CountingSink {
public:
    int Controllers() const {
        int n = 0;
        for (const auto& t : texts) n += t.find("Controller") != std::string::npos;
        return n;
    }
};

constexpr double kPause = udpx::kPollPauseMs / 1000.0;

// The waits no device can shorten, in seconds, for what the search found.
double Floor(const std::string& family, const ControllerSink& sink) {
    const double modules = static_cast<double>(sink.texts.size());
    if (family == "Pembrix - Evra" || family == "Kalder - 8S33")
        // Three cycles on the answering interface: every answer and the
        // closing misses are each followed by a pause.
        return CUDPVklp::kDiscoveryCycles * (modules + CUDPVklp::kDiscoveryMisses) * kPause;
    if (family == "Gostel - 2160") {
        // The target choice broadcasts, the connection asks the chosen chassis.
        const double chassis = sink.Controllers();
        return CUDPGostel::kDiscoveryCycles * (chassis + CUDPGostel::kDiscoveryMisses) * kPause +
               CUDPGostel::kDiscoveryCycles * (1 + CUDPGostel::kDiscoveryMisses) * kPause;
    }
    if (family == "Hevra - 5160") {
        // Two discoveries, each: connect, identify and slot-table pauses plus
        // one attempt pause each; then per module a connect and one chunk.
        const double discovery = (CHevra5160::kConnectWaitMs + 2 * CHevra5160::kIdentifyPauseMs +
                                  2 * CHevra5160::kAttemptPauseMs) /
                                 1000.0;
        return 2 * discovery + modules * (CHevra5160::kConnectWaitMs + CHevra5160::kAttemptPauseMs) / 1000.0;
    }
    return 0;
}
}  // namespace

int main() {
    if (!OnlyLabAddresses()) {
        std::fprintf(stderr, "net_discovery_bench: this host has addresses outside 198.18.0.0/15; "
                             "run it inside the lab: brevane-lab run -- net_discovery_bench\n");
        return 2;
    }
    int failures = 0;
    for (const std::string family : {"Pembrix - Evra", "Kalder - 8S33", "Gostel - 2160", "Hevra - 5160"}) {
        ControllerSink sink;
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        const auto found = RunDeviceSearch(BuiltInFamilies(), {family}, sink);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;
        const double floor = Floor(family, sink);
        std::printf("%-16s modules %2zu  wall %7.3f s  floor %7.3f s  ratio %5.3f  cpu %6.3f s  cpu/wall %5.2f %%\n",
                    family.c_str(), found.size(), wall, floor, floor > 0 ? wall / floor : 0.0, cpu,
                    100.0 * cpu / wall);
        if (found.empty()) ++failures;
    }
    return failures ? 1 : 0;
}
