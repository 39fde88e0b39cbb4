// hidraw emulation of one HID instrument: the HID device and its hidraw
// class entry in sysfs (HID_ID, report descriptor, the class entry's
// `device` link), and the node /dev/hidrawN.
//
// The node is a symlink to a pseudo-terminal in raw mode. Writes and ioctls
// go to the lab's handler; poll() goes to the real terminal. The lab keeps the
// oldest undelivered input report (and only that one) in the terminal, so the
// node is readable exactly while a report is waiting. (Bytes written to a
// terminal reach its reader a little later, through the kernel's work queue:
// the lab counts a report as in the terminal from its write on, and as taken
// only when the terminal is still empty some milliseconds after the write.) A read with a report
// waiting is served by the lab: it takes the report out of the terminal and
// hands over its bytes, one report per read, as hidraw does (a read asking
// for fewer bytes gets the first ones; the rest of that report is dropped).
// A read with nothing waiting is handed back to the real terminal, which
// blocks (or gives EAGAIN under O_NONBLOCK) like the kernel, so no read is
// ever left pending in the lab.
//
// Framing, as the kernel's hidraw has it for a device without numbered
// reports: a write's first byte is the report ID; 0 is stripped, so a write
// of 65 bytes (0 + 64) delivers the 64 report bytes and returns 65. A write
// whose first byte is not 0 is delivered whole (64 bytes: the report itself).
// A read returns the 64 report bytes, with no report-ID byte in front.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "device.hpp"
#include "usb_tree.hpp"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _GSource GSource;

namespace lab {

// sysfs text of the HID device and its hidraw entry below the USB interface.
std::string describe_hid(const UsbNode& node, const DeviceConfig& cfg, int index);

class HidrawNode {
public:
    // Adds the sysfs entries and the node. Throws std::runtime_error.
    HidrawNode(UMockdevTestbed* testbed, const std::string& root_dir, const UsbNode& node, Device& device,
               int index, std::function<void()> on_vanish);
    ~HidrawNode();
    HidrawNode(const HidrawNode&) = delete;
    HidrawNode& operator=(const HidrawNode&) = delete;

    void vanish();
    const std::string& devnode() const { return devnode_; }

private:
    static int on_read(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int on_write(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int on_refill_timer(void* self);

    void send(const Report& r, std::size_t length);
    std::size_t terminal_bytes() const;
    bool head_present();
    bool wait_head();
    void refill();
    void prune_sessions();

    UMockdevTestbed* testbed_;
    std::string root_dir_;
    std::string devnode_;     // /dev/hidrawN
    std::string class_link_;  // <root>/sys/class/hidraw/hidrawN
    std::string name_;        // HID name, as HIDIOCGRAWNAME gives it
    std::string phys_;
    std::string uniq_;
    std::uint16_t vid_, pid_;
    Device& device_;
    std::function<void()> on_vanish_;
    int master_ = -1;
    int slave_ = -1;
    UMockdevIoctlBase* handler_ = nullptr;
    std::deque<std::pair<Report, std::size_t>> waiting_;  // reports not yet in the terminal
    bool head_in_terminal_ = false;                       // a report sits in (or is on its way into) the terminal
    std::size_t head_length_ = 0;                         // its length
    std::chrono::steady_clock::time_point head_written_;
    GSource* refill_timer_ = nullptr;
    unsigned refill_ms_ = 1;
    std::map<UMockdevIoctlClient*, Session> sessions_;
    bool gone_ = false;
};

}  // namespace lab
