/* libmpusbapi: opens USB devices of the vendor-specific class by instance
 * number and moves reports over their bulk endpoints.
 *
 * Instance numbers index the list of present USB devices that have a
 * vendor-specific interface, in sysfs order (bus number, then port path).
 * Handles are opaque; each handle is closed once with _MPUSBClose, from any
 * thread: later calls with it fail, and a transfer under way on it ends by
 * its time-out with the device still open. Buffers belong to the caller. */
#ifndef MPUSBAPI_H
#define MPUSBAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MPUSB_INVALID_HANDLE ((void*)-1)
#define MPUSB_FAIL 0u
#define MPUSB_SUCCESS 1u
#define MP_WRITE 0u
#define MP_READ 1u

/* Number of present devices whose vendor/product text ("vid_2403&pid_1688")
 * matches. */
uint32_t _MPUSBGetDeviceCount(const char* vid_pid);

/* Opens one direction of endpoint "\MCHP_EPn" of device `instance`, which must
 * carry the given vendor/product text. MPUSB_INVALID_HANDLE on failure. */
void* _MPUSBOpen(uint32_t instance, const char* vid_pid, const char* endpoint, uint32_t direction,
                 uint32_t reserved);

/* One transfer of at most `length` bytes, waiting at most `timeout_ms`.
 * *transferred receives the byte count (0 when nothing moved). */
uint32_t _MPUSBRead(void* handle, void* data, uint32_t length, uint32_t* transferred, uint32_t timeout_ms);
uint32_t _MPUSBWrite(void* handle, const void* data, uint32_t length, uint32_t* transferred, uint32_t timeout_ms);

uint32_t _MPUSBClose(void* handle);

#ifdef __cplusplus
}
#endif
#endif
