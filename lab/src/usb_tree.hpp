// The simulated USB bus: topology, numbering, descriptors, and its sysfs
// rendering in the testbed (faithful to the kernel's usb sysfs layout).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config.hpp"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace lab {

struct UsbDescriptors {
    std::vector<std::uint8_t> device;  // 18-byte device descriptor
    std::vector<std::uint8_t> config;  // configuration + interface + endpoints
    std::vector<std::string> strings;  // string descriptor i is strings[i - 1]
};

struct UsbNode {
    std::string name;              // usb1, 1-4, 1-4.2
    std::string syspath;           // /sys/devices/pci0000:00/0000:00:14.0/usb1/1-4
    std::string interface_name;    // 1-4:1.0
    std::string interface_syspath;
    std::string devnode;           // /dev/bus/usb/001/003
    int busnum = 1;
    int devnum = 0;
    bool hub = false;
    int maxchild = 0;
    int device_index = -1;         // index into LabConfig::devices; -1 for hubs
    std::uint8_t ep_out = 0x02;    // OUT endpoint of the request channel
    bool hid = false;              // HID interface (interrupt endpoints, usbhid)
    UsbDescriptors desc;
};

constexpr std::uint8_t kEpIn = 0x81;   // EP1, device to host
constexpr std::uint8_t kEpOut = 0x02;  // EP2, host to device
constexpr std::uint16_t kEpMaxPacket = 64;

// The report descriptor of the HID instruments: vendor page, no report IDs,
// one 64-byte input and one 64-byte output report.
const std::vector<std::uint8_t>& hid_report_descriptor();

// Root hub first, then hubs and devices parents-first, numbered in that order.
std::vector<UsbNode> plan_usb_tree(const LabConfig& cfg);

// umockdev description text of one node (device and its interface).
std::string describe_usb_node(const UsbNode& node);

// Adds every node (but those `later` says) to the testbed and checks
// /sys/bus/usb/devices links. Throws std::runtime_error.
void add_usb_tree(UMockdevTestbed* testbed, const std::vector<UsbNode>& nodes,
                  const std::function<bool(const UsbNode&)>& later = {});
// Adds one node that arrives later (its parents are there). Throws std::runtime_error.
void add_usb_node(UMockdevTestbed* testbed, const UsbNode& node);

}  // namespace lab
