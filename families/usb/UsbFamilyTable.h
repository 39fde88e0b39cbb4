#pragma once
#include <cstdint>

#include "EchoProtocol.h"
#include "UsbLink.h"

// The USB link families other than Tesk-100/200, as data: how each is found
// on the host, how it names itself, its times, and how its EEPROM is reached.
// Read here and nowhere else.
namespace usbfamily {

enum class Id { Tesk300, Olvenna, Brantle, Dorla, Brantle311, BrantleS61, Quissel, Dravik };

struct Family {
    const char* moduleText[2];  // by sub-model flag (single-model families: both the same)
    UsbLinkParams link;
    std::int32_t readTime;
    std::int32_t writeTime;
};

// How the EEPROM is read and written: the echo exchange with a field layout
// (80 attempts, 50 ms apart), or the word-addressed exchange (3000 ms).
struct Eeprom {
    enum Kind { Echo, Word };
    Kind kind;
    echo::Layout layout;  // Echo only
};

const Family& FamilyOf(Id id);
const Eeprom& EepromOf(Id id);

}  // namespace usbfamily
