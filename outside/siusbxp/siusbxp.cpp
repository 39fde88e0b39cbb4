#include "siusbxp.h"

#include <libusb.h>

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "platform/UsbSearch.h"

#define SI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr unsigned char kEpOut = 0x01;
constexpr unsigned char kEpIn = 0x81;

struct Device {
    libusb_device_handle* handle = nullptr;
    int interfaceNumber = -1;
};

std::mutex g_mutex;  // guards the context
libusb_context* g_context = nullptr;
std::atomic<std::uint32_t> g_readTimeout{1000};
std::atomic<std::uint32_t> g_writeTimeout{1000};

libusb_context* Context() {
    std::lock_guard lock(g_mutex);
    if (!g_context && libusb_init(&g_context) != 0) g_context = nullptr;
    return g_context;
}

__attribute__((destructor)) void Shutdown() {
    std::lock_guard lock(g_mutex);
    if (g_context) libusb_exit(g_context);
    g_context = nullptr;
}

std::vector<platform::MpusbDevice> XpressDevices() {
    std::vector<platform::MpusbDevice> out;
    for (auto& d : platform::ListMpusbDevices())
        if (d.vendorId == SI_USBXPRESS_VID && d.productId == SI_USBXPRESS_PID) out.push_back(d);
    return out;
}

int VendorInterface(libusb_device* dev) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != 0 && libusb_get_config_descriptor(dev, 0, &cfg) != 0)
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

unsigned Limit(std::uint32_t ms) { return ms == 0 || ms > SI_MAX_TIMEOUT_MS ? SI_MAX_TIMEOUT_MS : ms; }

SI_STATUS Bulk(SI_HANDLE handle, unsigned char endpoint, unsigned char* data, std::uint32_t length,
               std::uint32_t* done, std::uint32_t timeout) {
    if (done) *done = 0;
    if (!handle) return SI_INVALID_HANDLE;
    if (!data || !done) return SI_INVALID_PARAMETER;
    auto* dev = static_cast<Device*>(handle);
    int moved = 0;
    const int rc = libusb_bulk_transfer(dev->handle, endpoint, data, static_cast<int>(length), &moved, Limit(timeout));
    *done = moved > 0 ? static_cast<std::uint32_t>(moved) : 0;
    if (rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && moved > 0)) return SI_SUCCESS;
    if (rc == LIBUSB_ERROR_TIMEOUT) return SI_TIMED_OUT;
    return endpoint & LIBUSB_ENDPOINT_IN ? SI_READ_ERROR : SI_WRITE_ERROR;
}

}  // namespace

SI_EXPORT SI_STATUS SI_GetNumDevices(uint32_t* numDevices) {
    if (!numDevices) return SI_INVALID_PARAMETER;
    *numDevices = static_cast<uint32_t>(XpressDevices().size());
    return SI_SUCCESS;
}

SI_EXPORT SI_STATUS SI_Open(uint32_t deviceNum, SI_HANDLE* handle) {
    if (!handle) return SI_INVALID_PARAMETER;
    const auto list = XpressDevices();
    if (deviceNum >= list.size()) return SI_DEVICE_NOT_FOUND;
    const auto& want = list[deviceNum];
    libusb_context* ctx = Context();
    if (!ctx) return SI_SYSTEM_ERROR;
    libusb_device** devices = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &devices);
    if (n < 0) return SI_SYSTEM_ERROR;
    Device opened;
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(devices[i]) != want.busnum || libusb_get_device_address(devices[i]) != want.devnum)
            continue;
        const int iface = VendorInterface(devices[i]);
        if (iface < 0 || libusb_open(devices[i], &opened.handle) != 0) break;
        if (libusb_claim_interface(opened.handle, iface) != 0) {
            libusb_close(opened.handle);
            opened.handle = nullptr;
            break;
        }
        opened.interfaceNumber = iface;
        break;
    }
    libusb_free_device_list(devices, 1);
    if (!opened.handle) return SI_DEVICE_NOT_FOUND;
    auto* dev = new (std::nothrow) Device(opened);
    if (!dev) {
        libusb_release_interface(opened.handle, opened.interfaceNumber);
        libusb_close(opened.handle);
        return SI_SYSTEM_ERROR;
    }
    *handle = dev;
    return SI_SUCCESS;
}

SI_EXPORT SI_STATUS SI_Close(SI_HANDLE handle) {
    if (!handle) return SI_INVALID_HANDLE;
    auto* dev = static_cast<Device*>(handle);
    libusb_release_interface(dev->handle, dev->interfaceNumber);
    libusb_close(dev->handle);
    delete dev;
    return SI_SUCCESS;
}

SI_EXPORT SI_STATUS SI_Read(SI_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned,
                            void* overlapped) {
    if (overlapped) return SI_INVALID_PARAMETER;
    return Bulk(handle, kEpIn, static_cast<unsigned char*>(buffer), bytesToRead, bytesReturned, g_readTimeout);
}

SI_EXPORT SI_STATUS SI_Write(SI_HANDLE handle, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten,
                             void* overlapped) {
    if (overlapped) return SI_INVALID_PARAMETER;
    // libusb takes a non-const buffer for both directions; OUT only reads it.
    return Bulk(handle, kEpOut, static_cast<unsigned char*>(const_cast<void*>(buffer)), bytesToWrite, bytesWritten,
                g_writeTimeout);
}

SI_EXPORT SI_STATUS SI_SetTimeouts(uint32_t readTimeoutMs, uint32_t writeTimeoutMs) {
    g_readTimeout = readTimeoutMs;
    g_writeTimeout = writeTimeoutMs;
    return SI_SUCCESS;
}

SI_EXPORT SI_STATUS SI_GetTimeouts(uint32_t* readTimeoutMs, uint32_t* writeTimeoutMs) {
    if (!readTimeoutMs || !writeTimeoutMs) return SI_INVALID_PARAMETER;
    *readTimeoutMs = g_readTimeout;
    *writeTimeoutMs = g_writeTimeout;
    return SI_SUCCESS;
}
