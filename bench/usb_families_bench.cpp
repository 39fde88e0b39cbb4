// Runs the device search for one USB link family (or the Pirrel) in-process,
// in paced and in original timing, and compares each with the round-trip
// floor: the requests of a 256-byte read times the lab's round trip, measured
// with minimal requests straight over the transport (no exchange loop, no
// pause). Also one module's read alone, and CPU time against wall time. Run it
// inside a lab holding the modules:
//   brevane-lab run --config lab.ini -- usb_families_bench FAMILY N
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "families/usb/CComm_Pirrel.h"
#include "families/usb/CComm_Tesk.h"
#include "families/usb/UsbFamilyTable.h"
#include "framework/DeviceSearch.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "framework/Wait.h"
#include "platform/DynLib.h"

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

constexpr int kRoundTrips = 21;

struct Row {
    const char* name;
    UsbLinkParams link;
    bool word;
    echo::Layout layout;
};

// The link parameters and exchange of a USB link family; false for others.
bool RowOf(const std::string& family, Row& row) {
    using usbfamily::Id;
    if (family == "Tesk - 100" || family == "Tesk - 200") {
        row = {"Tesk", CComm_Tesk::LinkParams(), false, echo::kTeskLayout};
        return true;
    }
    const std::pair<const char*, Id> rows[] = {
        {"Tesk - 300", Id::Tesk300},       {"Olvenna", Id::Olvenna},           {"Brantle - 302", Id::Brantle},
        {"Brantle - 303", Id::Brantle},    {"Pembrix - Dorla", Id::Dorla},     {"Brantle - 311", Id::Brantle311},
        {"Brantle - S61", Id::BrantleS61}, {"Quissel - 501", Id::Quissel},     {"Quissel - 551", Id::Quissel},
        {"Dravik - 100", Id::Dravik}};
    for (const auto& [name, id] : rows) {
        if (family != name) continue;
        const auto& eeprom = usbfamily::EepromOf(id);
        row = {name, usbfamily::FamilyOf(id).link, eeprom.kind == usbfamily::Eeprom::Word, eeprom.layout};
        return true;
    }
    return false;
}

// Requests of one 256-byte read.
std::size_t RequestsPerModule(const std::string& family, const Row& row) {
    if (family == "Pirrel - 4U") return pirrel::ChunkCount(256);
    return row.word ? wordproto::ChunkCount(256) : echo::ChunkCount(row.layout, 256);
}

// Median of minimal one-chunk read round trips with the first module, straight
// over its link: send, then receive until the reply (a stale one is read past).
double LinkRoundTrip(const Row& row) {
    UsbLink link(row.link);
    if (!link.FindDevices()) return -1;
    link.SetSelected(0);
    if (!link.Open()) return -1;
    std::vector<double> times;
    for (int i = 0; i < kRoundTrips; ++i) {
        echo::Report request{}, reply{};
        if (row.word) {
            request = wordproto::BuildRequest(wordproto::kRead, wordproto::ChunkAt(2, 0));
        } else {
            request = echo::BuildRequest(row.layout, row.layout.readCommand, echo::ChunkAt(row.layout, 1, 0));
        }
        const auto t = Clock::now();
        if (link.SendReport(request) == 0) return -1;
        bool answered = false;
        for (int read = 0; read < 3 && !answered; ++read) {
            const std::size_t n = link.ReceiveReport(reply);
            answered = row.word ? wordproto::IsReply(request[0], reply, n) : echo::IsEcho(row.layout, request, reply, n);
        }
        if (!answered) return -1;
        times.push_back(Seconds(t));
    }
    return Median(times);
}

// The same for the Pirrel, straight through the USBXpress library.
double PirrelRoundTrip() {
    platform::DynLib lib;
    if (!lib.Load(CComm_Pirrel::kLibrary)) return -1;
    using Status = std::uint32_t;
    auto open = lib.Entry<Status (*)(std::uint32_t, void**)>("SI_Open");
    auto close = lib.Entry<Status (*)(void*)>("SI_Close");
    auto read = lib.Entry<Status (*)(void*, void*, std::uint32_t, std::uint32_t*, void*)>("SI_Read");
    auto write = lib.Entry<Status (*)(void*, const void*, std::uint32_t, std::uint32_t*, void*)>("SI_Write");
    auto timeouts = lib.Entry<Status (*)(std::uint32_t, std::uint32_t)>("SI_SetTimeouts");
    void* handle = nullptr;
    if (!open || !close || !read || !write || !timeouts || open(0, &handle) != 0) return -1;
    timeouts(1000, 1000);
    std::vector<double> times;
    for (int i = 0; i < kRoundTrips; ++i) {
        const auto request = pirrel::BuildRequest(pirrel::kRead, pirrel::ChunkAt(1, 0));
        pirrel::Packet reply{};
        std::uint32_t n = 0;
        const auto t = Clock::now();
        write(handle, request.data(), pirrel::kPacketSize, &n, nullptr);
        bool answered = false;
        for (int r = 0; r < 3 && !answered; ++r) {
            n = 0;
            read(handle, reply.data(), pirrel::kPacketSize, &n, nullptr);
            answered = pirrel::IsReply(request, reply, n);
        }
        if (answered) times.push_back(Seconds(t));
    }
    close(handle);
    return Median(times);
}

// One module (index 0) read alone: open, 256 bytes, close; the read's time.
double OneModule(const std::string& family) {
    auto f = CreateFamily(BuiltInFamilies().ClassOf(family));
    if (!f || !f->Connect()) return -1;
    f->SetModuleIndex(0);
    double seconds = -1;
    if (f->OpenModule()) {
        std::uint8_t image[256] = {};
        const auto t = Clock::now();
        if (f->ReadEeprom(image, 256)) seconds = Seconds(t);
    }
    f->CloseModule();
    f->Disconnect();
    return seconds;
}

struct Search {
    int modules = 0;
    double wall = 0, cpu = 0, one = -1;
};

Search Run(const std::string& family, bool original) {
    SetOriginalTiming(original);
    Search s;
    s.one = OneModule(family);
    QuietSink sink;
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    s.modules = static_cast<int>(RunDeviceSearch(BuiltInFamilies(), {family}, sink).size());
    s.wall = Seconds(t0);
    s.cpu = CpuSeconds() - cpu0;
    SetOriginalTiming(false);
    return s;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: usb_families_bench FAMILY EXPECTED_MODULES\n");
        return 2;
    }
    const std::string family = argv[1];
    const int expected = std::atoi(argv[2]);
    Row row{};
    if (family != "Pirrel - 4U" && !RowOf(family, row)) {
        std::fprintf(stderr, "unknown family %s\n", family.c_str());
        return 2;
    }
    const double rtt = family == "Pirrel - 4U" ? PirrelRoundTrip() : LinkRoundTrip(row);
    const std::size_t requests = RequestsPerModule(family, row);
    const Search paced = Run(family, false);
    const Search original = Run(family, true);
    const double oneFloor = static_cast<double>(requests) * rtt;
    const double floor = paced.modules * oneFloor;
    std::printf("%-15s rtt %5.2f ms x %zu req | one module: paced %7.1f ms  original %7.1f ms  floor %5.1f ms  "
                "paced/floor %4.1f | search (%d): paced %6.3f s  original %6.3f s  floor %6.3f s  cpu/wall %4.1f %%\n",
                family.c_str(), rtt * 1000, requests, paced.one * 1000, original.one * 1000, oneFloor * 1000,
                oneFloor > 0 ? paced.one / oneFloor : 0.0, paced.modules, paced.wall, original.wall, floor,
                100.0 * paced.cpu / paced.wall);
    if (paced.modules != expected || original.modules != expected) {
        std::fprintf(stderr, "expected %d modules, found %d paced, %d original\n", expected, paced.modules,
                     original.modules);
        return 1;
    }
    return 0;
}
