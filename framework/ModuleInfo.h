#pragma once
#include <cstdint>
#include <string>

// How a USB family reaches one found device.
struct Module_Info_Usb {
    enum Kind : std::uint8_t { Pipe = 0, Mpusb = 1, PathTwice = 2 };
    std::uint8_t kind = Pipe;
    std::string path;          // device path (pipe directory, or HID path for kind 2)
    std::uint32_t instance = 0; // MPUSB instance number (kind 1)
    std::string vidPid;        // text handed to the MPUSB open, e.g. "vid_2403&pid_1688"
    // Bus and device number of an MPUSB device when it was found: instance
    // numbers shift when a device leaves, so an open first finds the same
    // device again rather than whatever now holds its old number.
    std::uint32_t busnum = 0;
    std::uint32_t devnum = 0;
};

// The same with a further HID device path.
struct Module_Info_UsbHid : Module_Info_Usb {
    std::string hidPath;
};

using Module_Info_Tesk = Module_Info_Usb;
using Module_Info_Tesk300 = Module_Info_Usb;
using Module_Info_Olvenna = Module_Info_Usb;
using Module_Info_BRANTLE = Module_Info_Usb;
using Module_Info_BRANTLE_310 = Module_Info_Usb;
using Module_Info_BRANTLE_S60 = Module_Info_Usb;
using Module_Info_Dorla = Module_Info_Usb;
using Module_Info_Quissel = Module_Info_UsbHid;
using Module_Info_Dravik = Module_Info_UsbHid;
