// Lab configuration: a GLib key file of [lab], [hub NAME] and [device NAME]
// sections. Every key and value is validated; errors name section and key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "faults.hpp"
#include "net_config.hpp"
#include "segment_lab.hpp"
#include "serial_lab.hpp"

namespace lab {

struct ProtocolInfo;

// What a device kind looks like on the bus and which nodes it brings.
struct KindInfo {
    std::string_view name;
    std::uint8_t interface_class;  // bInterfaceClass of interface 0
    bool pipe_nodes;               // /dev/quenlor/{guid}/<name>/PIPE00, PIPE01
    bool hidraw = false;           // HID interface with a /dev/hidrawN node
};

const KindInfo* find_kind(std::string_view name);
std::span<const KindInfo> kinds();

struct HubConfig {
    std::string name;
    int port = 0;        // port on the parent
    std::string parent;  // empty: the root hub
    int ports = 4;       // maxchild
};

struct DeviceConfig {
    std::string name;
    const KindInfo* kind = nullptr;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::uint16_t bcd_device = 0x0100;
    std::string manufacturer = "Quenlor";
    std::string product;
    std::string serial;
    std::string class_guid;  // lower case, with braces; pipe kinds only
    int port = 0;
    std::string parent;
    const ProtocolInfo* protocol = nullptr;
    Fault fault = Fault::None;
    unsigned late_ms = 0;
    // The fault starts with this write request (0 = the first one) and then
    // lasts; -1: from the first request of any kind.
    int fault_from_write = -1;
    int ack_chunks = 0;        // fault=no-download-ack: chunks acknowledged per download
    unsigned clear_ms = 1500;  // tavik: delay of the log-clearing reply
    int logs = 3;              // tavik: stored logs of a new device
    // When set, the device is plugged in (sysfs entry, nodes, an "add" uevent)
    // only once this file exists: an instrument that arrives while the command runs.
    std::filesystem::path arrive_on;
};

struct LabConfig {
    std::filesystem::path file;
    std::filesystem::path state_dir;
    std::vector<HubConfig> hubs;
    std::vector<DeviceConfig> devices;
    std::vector<NetDeviceConfig> net_devices;  // network kinds
    std::vector<SerialConfig> serial_ports;    // [serial NAME]
    std::vector<SegmentConfig> segment_devices;  // [segment NAME]
    std::filesystem::path record;  // request/reply record file; empty: none
};

struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr int kRootHubPorts = 15;

// Throws ConfigError.
LabConfig load_config(const std::filesystem::path& file);

}  // namespace lab
