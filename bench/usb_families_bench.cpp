// Runs the device search for one USB link family (or the Pirrel) in-process
// and compares its wall time with the waits its protocol mandates, and its
// CPU time with its wall time. Run it inside a lab holding the modules:
//   brevane-lab run --config lab.ini -- usb_families_bench FAMILY N
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchClock.h"
#include "BenchSearch.h"
#include "families/usb/CComm_Pirrel.h"
#include "families/usb/UsbFamilyTable.h"
#include "framework/DeviceSearch.h"
#include "families/Registry.h"

namespace {
// Mandated waits of one 256-byte read: the pause after each request of an
// echo or Pirrel exchange; the word-addressed exchange mandates none.
double FloorPerModule(const std::string& family) {
    using usbfamily::Id;
    const std::pair<const char*, Id> rows[] = {
        {"Tesk - 300", Id::Tesk300},       {"Olvenna", Id::Olvenna},           {"Brantle - 302", Id::Brantle},
        {"Brantle - 303", Id::Brantle},    {"Pembrix - Dorla", Id::Dorla},     {"Brantle - 311", Id::Brantle311},
        {"Brantle - S61", Id::BrantleS61}, {"Quissel - 501", Id::Quissel},     {"Quissel - 551", Id::Quissel},
        {"Dravik - 100", Id::Dravik}};
    for (const auto& [name, id] : rows) {
        if (family != name) continue;
        const auto& eeprom = usbfamily::EepromOf(id);
        if (eeprom.kind == usbfamily::Eeprom::Word) return 0;
        return static_cast<double>(echo::ChunkCount(eeprom.layout, 256)) * UsbLink::kReplyPauseMs / 1000.0;
    }
    if (family == "Pirrel - 4U") return static_cast<double>(pirrel::ChunkCount(256)) * CComm_Pirrel::kPauseMs / 1000.0;
    return -1;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: usb_families_bench FAMILY EXPECTED_MODULES\n");
        return 2;
    }
    const std::string family = argv[1];
    const int expected = std::atoi(argv[2]);
    const double perModule = FloorPerModule(family);
    if (perModule < 0) {
        std::fprintf(stderr, "unknown family %s\n", family.c_str());
        return 2;
    }
    QuietSink sink;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const auto found = RunDeviceSearch(BuiltInFamilies(), {family}, sink);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    const double floor = static_cast<double>(found.size()) * perModule;
    if (floor > 0)
        std::printf("%-16s modules %2d  wall %7.3f s  floor %7.3f s  ratio %5.3f  cpu %6.3f s  cpu/wall %5.1f %%\n",
                    family.c_str(), static_cast<int>(found.size()), wall, floor, wall / floor, cpu, 100.0 * cpu / wall);
    else
        std::printf("%-16s modules %2d  wall %7.3f s  (no mandated wait)          cpu %6.3f s  cpu/wall %5.1f %%\n",
                    family.c_str(), static_cast<int>(found.size()), wall, cpu, 100.0 * cpu / wall);
    if (static_cast<int>(found.size()) != expected) {
        std::fprintf(stderr, "expected %d modules, found %zu\n", expected, found.size());
        return 1;
    }
    return 0;
}
