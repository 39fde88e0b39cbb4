// Drives CComm_Pirrel in one process with the USBXpress library and reports
// what another user of the library would see: its time-outs before and after
// a read, and the family's selected index after a Connect that found nothing.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>

#include "families/usb/CComm_Pirrel.h"
#include "framework/DeviceInfo.h"

int main() {
    void* lib = ::dlopen("libSiUSBXp.so", RTLD_NOW);
    if (!lib) return 2;
    using Set = std::uint32_t (*)(std::uint32_t, std::uint32_t);
    using Get = std::uint32_t (*)(std::uint32_t*, std::uint32_t*);
    auto set = reinterpret_cast<Set>(::dlsym(lib, "SI_SetTimeouts"));
    auto get = reinterpret_cast<Get>(::dlsym(lib, "SI_GetTimeouts"));
    if (!set || !get) return 2;
    set(777, 888);

    CComm_Pirrel pirrel;
    pirrel.SetModuleIndex(7);
    const BOOL connected = pirrel.Connect();
    if (!connected) {
        std::printf("connect 0 count %d index %u\n", pirrel.GetModuleCount(), pirrel.SelectedIndex());
        return 0;
    }
    IdentityImage image{};
    const BOOL opened = pirrel.OpenModule();
    const BOOL read = opened && pirrel.ReadEeprom(image.data(), static_cast<std::int32_t>(image.size()));
    pirrel.CloseModule();
    std::uint32_t r = 0, w = 0;
    get(&r, &w);
    std::printf("connect 1 read %d serial %s timeouts 777 888 -> %u %u\n", read ? 1 : 0, SerialNumberOf(image).c_str(),
                r, w);
    return 0;
}
