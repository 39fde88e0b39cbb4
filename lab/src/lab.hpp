// The lab: a umockdev testbed holding the simulated USB bus, the device
// models and their transports.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.hpp"
#include "device.hpp"
#include "hidraw.hpp"
#include "pipe_nodes.hpp"
#include "serial_lab.hpp"
#include "usb_tree.hpp"
#include "usbdevfs.hpp"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace lab {

class Lab {
public:
    // Builds everything; throws std::runtime_error. The testbed directory is
    // created below $TMPDIR.
    explicit Lab(const LabConfig& cfg);
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    const std::string& root_dir() const { return root_dir_; }

private:
    struct Entry {
        std::unique_ptr<Device> device;
        const UsbNode* node = nullptr;
        UsbdevfsNode* usb = nullptr;
        std::unique_ptr<PipeNodes> pipes;
        std::unique_ptr<HidrawNode> hid;
    };
    void build(const LabConfig& cfg);
    // The device's model, transports and log line, once its sysfs entry is there.
    void add_entry(const UsbNode& n, const DeviceConfig& dc, const std::filesystem::path& state_dir);
    // Plugs in the devices whose arrive-on file exists, until all are in.
    void watch_arrivals(std::filesystem::path state_dir);
    void vanish(Entry& e);

    struct Pending {
        const UsbNode* node;
        DeviceConfig config;
    };
    std::vector<Pending> pending_;  // devices that arrive later
    std::mutex mutex_;              // entries_ and the hidraw numbering, once arrivals run
    int hidraw_index_ = 0;

    UMockdevTestbed* testbed_ = nullptr;
    std::string root_dir_;
    std::vector<UsbNode> nodes_;
    std::vector<std::unique_ptr<UsbdevfsNode>> usb_;
    std::vector<std::unique_ptr<Entry>> entries_;
    std::unique_ptr<SerialLab> serial_;
};

}  // namespace lab
