#include "mpusbapi.h"

#include <libusb.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/UsbSearch.h"

#define MPUSB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// One opened device, shared by the read and the write handle of a caller.
struct OpenDevice {
    libusb_device_handle* handle = nullptr;
    int interfaceNumber = -1;
    int users = 0;
};

struct Handle {
    std::uint32_t key;      // bus << 8 | address
    unsigned char endpoint; // endpoint address with direction bit
};

std::mutex g_mutex;
libusb_context* g_context = nullptr;
std::map<std::uint32_t, OpenDevice> g_open;

libusb_context* Context() {
    if (!g_context && libusb_init(&g_context) != 0) g_context = nullptr;
    return g_context;
}

__attribute__((destructor)) void Shutdown() {
    std::lock_guard lock(g_mutex);
    for (auto& [key, dev] : g_open) {
        if (dev.interfaceNumber >= 0) libusb_release_interface(dev.handle, dev.interfaceNumber);
        libusb_close(dev.handle);
    }
    g_open.clear();
    if (g_context) libusb_exit(g_context);
    g_context = nullptr;
}

std::string Lower(const char* s) {
    std::string out = s ? s : "";
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string VidPidText(std::uint16_t vid, std::uint16_t pid) {
    char text[32];
    std::snprintf(text, sizeof text, "vid_%04x&pid_%04x", vid, pid);
    return text;
}

// "\MCHP_EP2" -> 2; -1 when the name is not an endpoint name.
int EndpointNumber(const char* name) {
    if (!name) return -1;
    const char* p = std::strstr(name, "MCHP_EP");
    if (!p) return -1;
    p += 7;
    int n = 0, digits = 0;
    while (std::isdigit(static_cast<unsigned char>(*p)) && digits < 2) n = n * 10 + (*p++ - '0'), ++digits;
    return (digits == 0 || *p != '\0' || n < 1 || n > 15) ? -1 : n;
}

int VendorInterface(libusb_device* dev) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != 0 &&
        libusb_get_config_descriptor(dev, 0, &cfg) != 0)
        return -1;
    int found = -1;
    for (int i = 0; i < cfg->bNumInterfaces && found < 0; ++i)
        for (int a = 0; a < cfg->interface[i].num_altsetting; ++a)
            if (cfg->interface[i].altsetting[a].bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC) {
                found = cfg->interface[i].altsetting[a].bInterfaceNumber;
                break;
            }
    libusb_free_config_descriptor(cfg);
    return found;
}

// Opens (or shares) the device with bus/address; false when it cannot be opened.
bool Acquire(std::uint32_t key, std::uint32_t bus, std::uint32_t address) {
    auto it = g_open.find(key);
    if (it != g_open.end()) {
        ++it->second.users;
        return true;
    }
    libusb_context* ctx = Context();
    if (!ctx) return false;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) return false;
    OpenDevice opened;
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(list[i]) != bus || libusb_get_device_address(list[i]) != address) continue;
        int iface = VendorInterface(list[i]);
        if (iface < 0 || libusb_open(list[i], &opened.handle) != 0) break;
        if (libusb_claim_interface(opened.handle, iface) != 0) {
            libusb_close(opened.handle);
            opened.handle = nullptr;
            break;
        }
        opened.interfaceNumber = iface;
        break;
    }
    libusb_free_device_list(list, 1);
    if (!opened.handle) return false;
    opened.users = 1;
    g_open.emplace(key, opened);
    return true;
}

void ReleaseKey(std::uint32_t key) {
    auto it = g_open.find(key);
    if (it == g_open.end()) return;
    if (--it->second.users > 0) return;
    libusb_release_interface(it->second.handle, it->second.interfaceNumber);
    libusb_close(it->second.handle);
    g_open.erase(it);
}

uint32_t Transfer(void* handle, unsigned char* data, uint32_t length, uint32_t* transferred, uint32_t timeout,
                  bool in) {
    if (transferred) *transferred = 0;
    if (!handle || handle == MPUSB_INVALID_HANDLE || !data) return MPUSB_FAIL;
    auto* h = static_cast<Handle*>(handle);
    if (((h->endpoint & LIBUSB_ENDPOINT_IN) != 0) != in) return MPUSB_FAIL;
    libusb_device_handle* dev = nullptr;
    {
        std::lock_guard lock(g_mutex);
        auto it = g_open.find(h->key);
        if (it == g_open.end()) return MPUSB_FAIL;
        dev = it->second.handle;
    }
    int done = 0;
    int rc = libusb_bulk_transfer(dev, h->endpoint, data, static_cast<int>(length), &done,
                                  timeout == 0 ? 1 : timeout);
    if (transferred) *transferred = done > 0 ? static_cast<uint32_t>(done) : 0;
    return (rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && done > 0)) ? MPUSB_SUCCESS : MPUSB_FAIL;
}

}  // namespace

MPUSB_EXPORT uint32_t _MPUSBGetDeviceCount(const char* vid_pid) {
    const std::string want = Lower(vid_pid);
    uint32_t count = 0;
    for (const auto& d : platform::ListMpusbDevices())
        if (VidPidText(d.vendorId, d.productId) == want) ++count;
    return count;
}

MPUSB_EXPORT void* _MPUSBOpen(uint32_t instance, const char* vid_pid, const char* endpoint, uint32_t direction,
                              uint32_t /*reserved*/) {
    const int ep = EndpointNumber(endpoint);
    if (ep < 0 || direction > MP_READ) return MPUSB_INVALID_HANDLE;
    const auto list = platform::ListMpusbDevices();
    if (instance >= list.size()) return MPUSB_INVALID_HANDLE;
    const auto& d = list[instance];
    if (VidPidText(d.vendorId, d.productId) != Lower(vid_pid)) return MPUSB_INVALID_HANDLE;

    const std::uint32_t key = (d.busnum << 8) | (d.devnum & 0xff);
    std::lock_guard lock(g_mutex);
    if (!Acquire(key, d.busnum, d.devnum)) return MPUSB_INVALID_HANDLE;
    auto* h = new (std::nothrow) Handle{key, static_cast<unsigned char>(ep | (direction == MP_READ ? 0x80 : 0x00))};
    if (!h) {
        ReleaseKey(key);
        return MPUSB_INVALID_HANDLE;
    }
    return h;
}

MPUSB_EXPORT uint32_t _MPUSBRead(void* handle, void* data, uint32_t length, uint32_t* transferred,
                                 uint32_t timeout_ms) {
    return Transfer(handle, static_cast<unsigned char*>(data), length, transferred, timeout_ms, true);
}

MPUSB_EXPORT uint32_t _MPUSBWrite(void* handle, const void* data, uint32_t length, uint32_t* transferred,
                                  uint32_t timeout_ms) {
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads from it.
    return Transfer(handle, static_cast<unsigned char*>(const_cast<void*>(data)), length, transferred, timeout_ms,
                    false);
}

MPUSB_EXPORT uint32_t _MPUSBClose(void* handle) {
    if (!handle || handle == MPUSB_INVALID_HANDLE) return MPUSB_FAIL;
    auto* h = static_cast<Handle*>(handle);
    {
        std::lock_guard lock(g_mutex);
        ReleaseKey(h->key);
    }
    delete h;
    return MPUSB_SUCCESS;
}
