#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/Types.h"

// USB searches over sysfs and the device directory.
//
// - MPUSB instance numbers: a device's index in the list of present USB
//   devices that have a vendor-specific interface (class ff), in sysfs order
//   (bus number, then port path). libmpusbapi opens by the same index.
// - HID paths: /dev/hidrawN for the devices of /sys/class/hidraw, indexed by
//   their position in that enumeration.
// - Pipe devices of a family's own driver: directories
//   <dev>/quenlor/{class-guid}/<device>/ holding the nodes PIPE00 (from the
//   device) and PIPE01 (to the device).
namespace platform {

// Roots of the searches; "/sys" and "/dev" unless a test points them elsewhere.
void SetUsbSearchRoots(std::string sysfsRoot, std::string devRoot);
const std::string& SysfsRoot();
const std::string& DevRoot();

// Walks every root hub and hub to any depth for devices whose vendor ID,
// product ID and product string (exact, case included) match; appends their
// MPUSB instance numbers in instance order. TRUE when the list is not empty.
BOOL FindMpusbInstances(std::uint32_t productId, std::uint32_t vendorId, const std::string& productString,
                        std::vector<std::int32_t>& instances);

// HID devices of vendor 0x2403 and the product ID; both lists emptied first.
BOOL FindHidPaths(std::vector<std::int32_t>& indexes, std::vector<std::string>& paths, std::uint32_t productId);

// Paths of the present devices of a family's own driver class, in name order.
std::vector<std::string> FindInterfacePaths(const std::string& classGuid);

// One entry of the MPUSB instance list.
struct MpusbDevice {
    std::string name;  // sysfs name, e.g. "1-4.2"
    std::uint32_t busnum = 0;
    std::uint32_t devnum = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};
std::vector<MpusbDevice> ListMpusbDevices();

// Maximum number of interfaces any search enumerates.
inline constexpr int kMaxInterfaces = 127;

}  // namespace platform
