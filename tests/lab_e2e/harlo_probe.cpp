// Drives CComm_Harlo301 in one process: open, read and close twice after one
// Connect; in the first round also a read and a write one byte longer than
// the image.
#include <cstdint>
#include <cstdio>

#include "families/usb/CComm_Harlo.h"
#include "framework/DeviceInfo.h"

int main() {
    CComm_Harlo301 harlo;
    const BOOL connected = harlo.Connect();
    std::printf("connect %d\n", connected ? 1 : 0);
    if (!connected) return 0;
    for (int round = 0; round < 2; ++round) {
        IdentityImage image{};
        const BOOL opened = harlo.OpenModule();
        const BOOL read = opened && harlo.ReadEeprom(image.data(), static_cast<std::int32_t>(image.size()));
        std::printf("open %d read %d serial %s", opened ? 1 : 0, read ? 1 : 0, SerialNumberOf(image).c_str());
        if (round == 0) {
            // One byte past the image: refused, and the image stays as it is.
            std::uint8_t longer[257] = {};
            for (std::size_t i = 0; i < image.size(); ++i) longer[i] = image[i];
            const BOOL longRead = opened && harlo.ReadEeprom(longer, 257);
            const BOOL longWrite = opened && harlo.WriteEeprom(longer, 257);
            std::printf(" read 257: %d write 257: %d", longRead ? 1 : 0, longWrite ? 1 : 0);
        }
        std::printf("\n");
        harlo.CloseModule();
    }
    harlo.Disconnect();
    return 0;
}
