#include "UsbFamilyTable.h"

namespace usbfamily {
namespace {

UsbSearchStage Pipe() { return {UsbSearchStage::Pipe}; }
UsbSearchStage Hid(std::uint32_t pid) { return {UsbSearchStage::Hid, 0x2403, pid, {}, {}}; }
UsbSearchStage Walk(std::uint32_t vid, std::uint32_t pid, const char* product, const char* vidPid) {
    return {UsbSearchStage::Walk, vid, pid, product, vidPid};
}

// Family table, in the order of Id.
const Family kFamilies[] = {
    {{"Tesk - 300", "Tesk - 300"},
     {"{EF986A86-8B26-4A89-820F-C0C355BC9500}",
      {Pipe(), Hid(0x1705), Walk(0x10C4, 0x001D, "Quenlor Tesk-300", "vid_10c4&pid_001d"),
       Walk(0x2403, 0x1688, "Quenlor Tesk-300", "vid_2403&pid_1688")},
      HidTransfer::Plain},
     400, 1000},
    {{"Olvenna", "Olvenna"},
     {"{81228C3B-0283-44B6-996C-89475046E950}",
      {Pipe(), Walk(0x2403, 0x1688, "Olvenna", "vid_2403&pid_1688")}},
     400, 1000},
    {{"Brantle - 302", "Brantle - 303"},
     {"{02C8F5BE-60F8-4683-BED8-C20502BFBB06}",
      {Pipe(), Walk(0x10C4, 0x0014, "Brantle-300 series", "vid_10c4&pid_0014"),
       Walk(0x2403, 0x1688, "Brantle-300 series", "vid_2403&pid_1688")}},
     3400, 5600},
    {{"Pembrix - Dorla", "Pembrix - Dorla"},
     {"{43F563C9-5D65-4C86-9F88-37AD5E903545}",
      {Pipe(), Walk(0x10C4, 0x0010, "Pembrix-Dorla", "vid_10c4&pid_0010"),
       Walk(0x2403, 0x1688, "Pembrix-Dorla", "vid_2403&pid_1688")}},
     400, 4000},
    // The word-addressed pair: MPUSB only, "\MCHP_EP1" both ways.
    {{"Brantle - 311", "Brantle - 311"},
     {"",
      {Walk(0x2403, 0x9302, "Quenlor Brantle-311", "vid_2403&pid_9302"),
       Walk(0x2403, 0x1688, "Quenlor Brantle-311", "vid_2403&pid_1688")},
      HidTransfer::Plain, "\\MCHP_EP1", "\\MCHP_EP1"},
     200, 400},
    {{"Brantle - S61", "Brantle - S61"},
     {"",
      {Walk(0x10C4, 0x1001, "Quenlor Brantle-S61", "vid_10c4&pid_1001"),
       Walk(0x2403, 0x1688, "Quenlor Brantle-S61", "vid_2403&pid_1688")},
      HidTransfer::Plain, "\\MCHP_EP1", "\\MCHP_EP1"},
     200, 400},
    // HID entries come before MPUSB entries.
    {{"Quissel - 501", "Quissel - 551"},
     {"{C702CFA0-138E-4C31-9C91-C5B015C6DD7F}",
      {Pipe(), Hid(0x1705), Walk(0x10C4, 0x0016, "Quissel-500 Series", "vid_10c4&pid_0016"),
       Walk(0x2403, 0x1688, "Quissel-500 Series", "vid_2403&pid_1688")},
      HidTransfer::Overlapped},
     400, 800},
    // Shares the Quissel link (and class) but never runs the pipe search.
    {{"Dravik - 100", "Dravik - 100"},
     {"{C702CFA0-138E-4C31-9C91-C5B015C6DD7F}",
      {Hid(0x1707), Walk(0x2405, 0x1688, "Dravik-100", "vid_2405&pid_1688")},
      HidTransfer::Overlapped},
     400, 800},
};

using L = echo::Layout;
// EEPROM protocol table, in the order of Id: read/write command, address
// offset and width (2 = big-endian), length offset, data offset, chunk size,
// and what the address field counts.
const Eeprom kEeproms[] = {
    {Eeprom::Echo, L{0x09, 0x08, 1, 2, 3, 4, 60}},                         // Tesk-300
    {Eeprom::Echo, L{0x09, 0x08, 1, 1, 2, 3, 60}},                         // Olvenna
    {Eeprom::Echo, L{0x27, 0x28, 1, 1, 2, 3, 60}},                         // Brantle-300
    {Eeprom::Echo, L{0x12, 0x13, 1, 2, 3, 4, 60, L::Addressing::Chunks}},  // Dorla
    {Eeprom::Word, L{}},                                                   // Brantle-311
    {Eeprom::Word, L{}},                                                   // Brantle-S61
    {Eeprom::Echo, L{0x13, 0x14, 1, 1, 2, 3, 60}},                         // Quissel
    {Eeprom::Echo, L{0x13, 0x14, 1, 1, 2, 3, 60}},                         // Dravik
};

static_assert(std::size(kFamilies) == std::size(kEeproms));

}  // namespace

const Family& FamilyOf(Id id) { return kFamilies[static_cast<std::size_t>(id)]; }
const Eeprom& EepromOf(Id id) { return kEeproms[static_cast<std::size_t>(id)]; }

}  // namespace usbfamily
