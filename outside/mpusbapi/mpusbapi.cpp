#include "mpusbapi.h"

#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/UsbSearch.h"

#define MPUSB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// One opened device, shared by the read and the write handle of a caller and
// by the transfers under way on them; closed when the last of them lets go,
// always with the state's lock held.
struct OpenDevice {
    std::uint32_t key = 0;  // bus << 8 | address
    libusb_device_handle* handle = nullptr;
    int interfaceNumber = -1;
    OpenDevice() = default;
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;
    ~OpenDevice();
};

// What a handle given to the caller stands for. The caller holds only a
// number: a handle closed or never given out is not found, and a transfer
// keeps its device open with a reference of its own, so a close from another
// thread during the transfer frees nothing that the transfer uses.
struct Handle {
    std::shared_ptr<OpenDevice> device;
    unsigned char endpoint;  // endpoint address with direction bit
};

// Never destroyed: the library's destructor below runs after the C++ objects
// of this library are gone.
struct State {
    std::mutex mutex;
    libusb_context* context = nullptr;
    std::map<std::uint32_t, std::weak_ptr<OpenDevice>> open;  // by key
    std::map<std::uintptr_t, Handle> handles;                // by the number given out
    std::uintptr_t lastHandle = 0;
};

State& S() {
    static State* state = new State;
    return *state;
}

OpenDevice::~OpenDevice() {
    if (interfaceNumber >= 0) libusb_release_interface(handle, interfaceNumber);
    if (handle) libusb_close(handle);
    auto it = S().open.find(key);
    if (it != S().open.end() && it->second.expired()) S().open.erase(it);
}

libusb_context* Context() {
    if (!S().context && libusb_init(&S().context) != 0) S().context = nullptr;
    return S().context;
}

__attribute__((destructor)) void Shutdown() {
    std::lock_guard lock(S().mutex);
    S().handles.clear();
    S().open.clear();
    if (S().context) libusb_exit(S().context);
    S().context = nullptr;
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

// Whether the context's device list holds bus/address.
bool Listed(libusb_context* ctx, std::uint32_t bus, std::uint32_t address) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    bool found = false;
    for (ssize_t i = 0; i < n && !found; ++i)
        found = libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address;
    if (n >= 0) libusb_free_device_list(list, 1);
    return found;
}

// Opens (or shares) the device with bus/address; null when it cannot be
// opened. Called with the state's lock held.
std::shared_ptr<OpenDevice> Acquire(std::uint32_t key, std::uint32_t bus, std::uint32_t address) {
    auto it = S().open.find(key);
    if (it != S().open.end())
        if (auto shared = it->second.lock()) return shared;
    libusb_context* ctx = Context();
    if (!ctx) return nullptr;
    // A device plugged in after the context was made is missing from its list
    // when no hotplug event reached the library (a bus without udev events);
    // with nothing open, a new context lists the devices anew.
    const bool nothingOpen = std::all_of(S().open.begin(), S().open.end(), [](const auto& o) { return o.second.expired(); });
    if (nothingOpen && !Listed(ctx, bus, address)) {
        libusb_exit(ctx);
        S().context = nullptr;
        if (!(ctx = Context())) return nullptr;
    }
    auto opened = std::make_shared<OpenDevice>();  // may throw: before the list is taken
    opened->key = key;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) return nullptr;
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(list[i]) != bus || libusb_get_device_address(list[i]) != address) continue;
        int iface = VendorInterface(list[i]);
        if (iface < 0 || libusb_open(list[i], &opened->handle) != 0) break;
        if (libusb_claim_interface(opened->handle, iface) != 0) break;
        opened->interfaceNumber = iface;
        break;
    }
    libusb_free_device_list(list, 1);
    if (opened->interfaceNumber < 0) return nullptr;  // closes what was opened
    S().open[key] = opened;
    return opened;
}

uint32_t Transfer(void* handle, unsigned char* data, uint32_t length, uint32_t* transferred, uint32_t timeout,
                  bool in) {
    if (transferred) *transferred = 0;
    if (!handle || handle == MPUSB_INVALID_HANDLE || !data) return MPUSB_FAIL;
    std::shared_ptr<OpenDevice> device;
    unsigned char endpoint = 0;
    {
        std::lock_guard lock(S().mutex);
        auto it = S().handles.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == S().handles.end()) return MPUSB_FAIL;
        device = it->second.device;
        endpoint = it->second.endpoint;
    }
    if (((endpoint & LIBUSB_ENDPOINT_IN) != 0) != in) {
        std::lock_guard lock(S().mutex);
        device.reset();
        return MPUSB_FAIL;
    }
    int done = 0;
    int rc = libusb_bulk_transfer(device->handle, endpoint, data, static_cast<int>(length), &done,
                                  timeout == 0 ? 1 : timeout);
    {
        // When the handles were closed meanwhile, the device closes here.
        std::lock_guard lock(S().mutex);
        device.reset();
    }
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
    try {
        std::lock_guard lock(S().mutex);
        auto device = Acquire(key, d.busnum, d.devnum);
        if (!device) return MPUSB_INVALID_HANDLE;
        const std::uintptr_t number = ++S().lastHandle;  // 1, 2, ...: never null, never reused
        const auto endpointAddress = static_cast<unsigned char>(ep | (direction == MP_READ ? 0x80 : 0x00));
        S().handles.emplace(number, Handle{std::move(device), endpointAddress});
        return reinterpret_cast<void*>(number);
    } catch (const std::bad_alloc&) {
        return MPUSB_INVALID_HANDLE;
    }
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
    std::lock_guard lock(S().mutex);
    // The device closes with its last handle, or after the last transfer on it.
    return S().handles.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1 ? MPUSB_SUCCESS : MPUSB_FAIL;
}
