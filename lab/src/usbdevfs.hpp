// usbdevfs emulation of one USB device node (/dev/bus/usb/BBB/DDD) for
// libusb: descriptors over control transfers, bulk EP2 OUT / EP1 IN to the
// device model. The node is a FIFO that the lab keeps writable (POLLOUT,
// which is what libusb waits for) exactly while a URB is reapable, so an
// idle client sleeps in poll() instead of spinning on REAPURBNDELAY.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "device.hpp"
#include "usb_tree.hpp"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace lab {

class UsbdevfsNode {
public:
    // device may be null (hubs: control transfers only). Throws std::runtime_error.
    UsbdevfsNode(UMockdevTestbed* testbed, const std::string& root_dir, const UsbNode& node, Device* device,
                 std::function<void()> on_vanish);
    ~UsbdevfsNode();
    UsbdevfsNode(const UsbdevfsNode&) = delete;
    UsbdevfsNode& operator=(const UsbdevfsNode&) = delete;

    // The device left the bus: fail pending URBs, refuse new I/O, stop listening.
    void vanish();
    const std::string& devnode() const { return devnode_; }

private:
    struct Urb {
        UMockdevIoctlData* urb = nullptr;  // owned ref, the client's struct usbdevfs_urb
        UMockdevIoctlData* buf = nullptr;  // owned ref, its buffer (may be null)
        std::uint64_t client_addr = 0;
        std::uint8_t type = 0;
        std::uint8_t endpoint = 0;
        int buffer_length = 0;
        int status = 0;
        int actual = 0;
    };
    struct Client {
        std::uint64_t id = 0;
        UMockdevIoctlClient* client = nullptr;  // owned ref
        unsigned long notify_handler = 0;
        std::uint32_t claimed = 0;
        std::deque<std::unique_ptr<Urb>> pending_in;
        std::deque<std::unique_ptr<Urb>> reapable;
        std::deque<std::pair<Report, std::size_t>> replies;  // device output not yet taken by an IN URB
        Session session;
    };

    static int on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int on_read_write(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static void on_notify_connected(void* gobject, void* pspec, void* self);

    Client& client_for(UMockdevIoctlClient* c);
    void prune_clients();
    void drop_client(std::map<UMockdevIoctlClient*, std::unique_ptr<Client>>::iterator it);
    void handle(UMockdevIoctlClient* c);
    void submit(Client& cl, UMockdevIoctlClient* c);
    void reap(Client& cl, UMockdevIoctlClient* c);
    void control(Urb& urb);
    void deliver(std::uint64_t client_id, const Report& r, std::size_t length);
    void match_in(Client& cl);
    void update_doorbell();

    std::string devnode_;
    std::string fifo_path_;
    UMockdevTestbed* testbed_;
    UMockdevIoctlBase* handler_ = nullptr;
    UsbDescriptors desc_;
    bool bulk_;
    std::uint8_t ep_out_;
    Device* device_;
    std::function<void()> on_vanish_;
    std::map<UMockdevIoctlClient*, std::unique_ptr<Client>> clients_;
    std::uint64_t next_id_ = 1;
    int doorbell_fd_ = -1;
    bool door_open_ = false;  // the FIFO is empty, hence writable
    bool gone_ = false;
};

}  // namespace lab
