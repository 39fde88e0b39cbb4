// Runs the device search of each network family in-process and compares its
// wall time with the waits the protocols mandate, and its CPU time with its
// wall time. Then, per family, the pacing table: the search (all modules of
// the lab) and one module (open, read, close), paced against original timing
// and against the floor: the requests times the lab's round trip, plus the
// silence that ends a discovery cycle (no pacing can shorten it). Run it
// inside a lab with network instruments, e.g. the default:
//   brevane-lab run -- net_discovery_bench
#include <arpa/inet.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "families/net/CComm_Evra.h"
#include "families/net/CComm_Gostel2160.h"
#include "families/net/CComm_Hevra5160.h"
#include "families/net/CComm_Kalder.h"
#include "families/net/CUDPVklp.h"
#include "families/net/HevraProtocol.h"
#include "families/net/LomberEvraProtocol.h"
#include "families/net/UdpExchange.h"
#include "framework/DeviceSearch.h"
#include "framework/Wait.h"
#include "platform/Socket.h"
#include "families/Registry.h"

#include <algorithm>
#include <memory>

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

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The lab's round trip for a minimal request: an Evra read over UDP (the
// first device that answers discovery), in seconds; 0 when none answers.
double UdpRoundTrip() {
    CComm_Evra evra;
    if (!evra.Connect()) return 0;
    const auto device = evra.Socket().Found().front();
    const auto local = evra.Socket().FoundVia().front();
    evra.Disconnect();
    platform::UdpSocket udp;
    if (!udp.Create(local)) return 0;
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
        const auto t0 = Clock::now();
        if (!udp.SendTo(lomber::EvraReadRequest(), device, lomber::kEvraPort)) return 0;
        std::optional<platform::Datagram> d;
        while (!d && Since(t0) < 1.0) {
            WaitReadableUntil(udp.Descriptor(), Clock::now() + std::chrono::milliseconds(100));
            d = udp.ReceiveFrom();
        }
        if (d) times.push_back(Since(t0));
    }
    return Median(times);
}

// The same over the Hevra data channel: connect, then identify requests.
double TcpRoundTrip(const std::string& chassis) {
    std::vector<double> times;
    platform::TcpSocket tcp;
    const auto c0 = Clock::now();
    if (!tcp.StartConnect(chassis, hevra::kTcpPort) || !tcp.WaitConnected(1000)) return 0;
    times.push_back(Since(c0));
    for (int i = 0; i < 20; ++i) {
        std::vector<std::uint8_t> reply;
        const auto t0 = Clock::now();
        if (!tcp.Send(hevra::IdentifyRequest())) return 0;
        while (reply.size() < 100 && tcp.WaitReadable(1000)) {
            bool closed = false;
            auto got = tcp.ReceiveAvailable(hevra::kReceiveLimit, closed);
            if (closed) return 0;
            reply.insert(reply.end(), got.begin(), got.end());
        }
        times.push_back(Since(t0));
    }
    return Median(times);
}

std::unique_ptr<CCommBase> Make(const std::string& family) {
    if (family == "Pembrix - Evra") return std::make_unique<CComm_Evra>();
    if (family == "Kalder - 8S33") return std::make_unique<CComm_Kalder>();
    if (family == "Gostel - 2160") return std::make_unique<CComm_Gostel2160>();
    return std::make_unique<CComm_Hevra5160>();
}

// One module: after discovery, open the first module, read its image, close.
double OneModule(const std::string& family) {
    auto f = Make(family);
    if (!f->Connect() || f->GetModuleCount() < 1) return -1;
    f->SetModuleIndex(0);
    std::vector<std::uint8_t> image(256);
    const auto t0 = Clock::now();
    const bool ok = f->OpenModule() && f->ReadEeprom(image.data(), 256);
    f->CloseModule();
    const double took = Since(t0);
    f->Disconnect();
    return ok ? took : -1;
}

struct Counted {
    double requests = 0;  // round trips of the search
    double silence = 0;   // seconds of silence that end discovery cycles
};

// What a paced search of the family cannot go below, for what it found.
Counted PacedFloor(const std::string& family, const ControllerSink& sink) {
    const double modules = static_cast<double>(sink.texts.size());
    // Each discovery cycle ends in silence: the pause after the last reply
    // and one after each closing miss run their full length.
    if (family == "Pembrix - Evra" || family == "Kalder - 8S33")
        return {CUDPVklp::kDiscoveryCycles + modules,
                CUDPVklp::kDiscoveryCycles * (1 + CUDPVklp::kDiscoveryMisses) * kPause};
    if (family == "Gostel - 2160") {
        // Two discoveries (target choice, connection), each asking every new
        // chassis for its slot table; one read per module.
        const double chassis = sink.Controllers();
        return {2.0 * CUDPGostel::kDiscoveryCycles + chassis + 1 + modules,
                2.0 * CUDPGostel::kDiscoveryCycles * (1 + CUDPGostel::kDiscoveryMisses) * kPause};
    }
    // Hevra: two discoveries of a broadcast, a connection, identify and slot
    // table; per module a connection and one chunk.
    return {2.0 * 4 + 2 * modules, 0};
}

const char* kFamilies[] = {"Pembrix - Evra", "Kalder - 8S33", "Gostel - 2160", "Hevra - 5160"};

}  // namespace

int main() {
    if (!OnlyLabAddresses()) {
        std::fprintf(stderr, "net_discovery_bench: this host has addresses outside 198.18.0.0/15; "
                             "run it inside the lab: brevane-lab run -- net_discovery_bench\n");
        return 2;
    }
    int failures = 0;
    std::printf("Original timing against the waits it mandates:\n");
    SetOriginalTiming(true);
    for (const std::string family : kFamilies) {
        ControllerSink sink;
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        const auto found = RunDeviceSearch(BuiltInFamilies(), {family}, sink);
        const double wall = Since(t0);
        const double cpu = CpuSeconds() - cpu0;
        const double floor = Floor(family, sink);
        std::printf("%-16s modules %2zu  wall %7.3f s  floor %7.3f s  ratio %5.3f  cpu %6.3f s  cpu/wall %5.2f %%\n",
                    family.c_str(), found.size(), wall, floor, floor > 0 ? wall / floor : 0.0, cpu,
                    100.0 * cpu / wall);
        if (found.empty()) ++failures;
    }
    SetOriginalTiming(false);

    const double udpRtt = UdpRoundTrip();
    double tcpRtt = 0;
    {
        CComm_Hevra5160 hevra;
        if (hevra.Connect()) tcpRtt = TcpRoundTrip(hevra.Socket().m_cards.front().deviceAddress);
        hevra.Disconnect();
    }
    std::printf("\nLab round trip: UDP %.3f ms, TCP %.3f ms\n", udpRtt * 1000, tcpRtt * 1000);
    std::printf("Paced against original timing; floor = requests x round trip + discovery silence:\n");
    std::printf("%-16s %-12s %3s %5s %9s %9s %9s %7s %7s %8s\n", "family", "what", "mod", "reqs", "floor s",
                "paced s", "orig s", "p/floor", "o/p", "cpu ms");
    for (const std::string family : kFamilies) {
        const double rtt = family == "Hevra - 5160" ? tcpRtt : udpRtt;
        double wall[2] = {0, 0}, cpuMs = 0, one[2] = {0, 0};
        ControllerSink sink;
        for (int original = 0; original < 2; ++original) {
            SetOriginalTiming(original != 0);
            ControllerSink s;
            const double cpu0 = CpuSeconds();
            const auto t0 = Clock::now();
            const auto found = RunDeviceSearch(BuiltInFamilies(), {family}, s);
            wall[original] = Since(t0);
            if (!original) {
                cpuMs = 1000.0 * (CpuSeconds() - cpu0);
                sink = s;
            }
            if (found.empty()) ++failures;
            one[original] = OneModule(family);
        }
        SetOriginalTiming(false);
        const Counted c = PacedFloor(family, sink);
        const double floor = c.requests * rtt + c.silence;
        std::printf("%-16s %-12s %3zu %5.0f %9.3f %9.3f %9.3f %7.1f %7.1f %8.1f\n", family.c_str(), "search",
                    sink.texts.size(), c.requests, floor, wall[0], wall[1], floor > 0 ? wall[0] / floor : 0.0,
                    wall[0] > 0 ? wall[1] / wall[0] : 0.0, cpuMs);
        // One module: a read of one request (Hevra: a connection and one chunk).
        const double oneRequests = family == "Hevra - 5160" ? 2 : 1;
        std::printf("%-16s %-12s %3d %5.0f %9.4f %9.4f %9.4f %7.1f %7.1f\n", family.c_str(), "one module", 1,
                    oneRequests, oneRequests * rtt, one[0], one[1], rtt > 0 ? one[0] / (oneRequests * rtt) : 0.0,
                    one[0] > 0 ? one[1] / one[0] : 0.0);
        if (one[0] < 0 || one[1] < 0) ++failures;
    }
    return failures ? 1 : 0;
}
