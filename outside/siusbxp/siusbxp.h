/* libSiUSBXp: the USBXpress library over libusb-1.0. Programs load it by name
 * ("libSiUSBXp.so") and take its seven entries by name.
 *
 * Devices: present USB devices with vendor ID 0x10C4 and product ID 0xEA61
 * that have a vendor-specific interface (class ff). They are numbered from 0
 * in sysfs order (bus number, then port path): the same order as the MPUSB
 * instance list of libmpusbapi, of which they are a subsequence, so device
 * number n is the n-th USBXpress device in that list (its MPUSB instance
 * number counts every vendor-class device before it, its USBXpress number
 * only the USBXpress ones).
 *
 * Transfers move whole packets over the interface's bulk endpoints, OUT 0x01
 * and IN 0x81; the Pirrel's packets are 128 bytes.
 *
 * Time-outs are process-wide (one read and one write time-out for every handle
 * of the process), set with SI_SetTimeouts and read with SI_GetTimeouts;
 * 0 means the library's own limit, SI_MAX_TIMEOUT_MS: no transfer waits
 * without limit. Both start at 1000 ms.
 *
 * Buffers and counts belong to the caller. A handle is released once with
 * SI_Close. Every entry returns SI_SUCCESS (0) or an error status. */
#ifndef SIUSBXP_H
#define SIUSBXP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t SI_STATUS;

#define SI_SUCCESS 0u
#define SI_DEVICE_NOT_FOUND 1u
#define SI_INVALID_HANDLE 2u
#define SI_INVALID_PARAMETER 3u
#define SI_READ_ERROR 4u
#define SI_WRITE_ERROR 5u
#define SI_TIMED_OUT 6u
#define SI_SYSTEM_ERROR 7u

#define SI_USBXPRESS_VID 0x10C4u
#define SI_USBXPRESS_PID 0xEA61u
#define SI_MAX_TIMEOUT_MS 10000u

typedef void* SI_HANDLE;

SI_STATUS SI_GetNumDevices(uint32_t* numDevices);
SI_STATUS SI_Open(uint32_t deviceNum, SI_HANDLE* handle);
SI_STATUS SI_Close(SI_HANDLE handle);
/* One bulk IN transfer of at most bytesToRead bytes within the read time-out;
 * *bytesReturned is 0 when nothing arrived. `overlapped` must be NULL. */
SI_STATUS SI_Read(SI_HANDLE handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned, void* overlapped);
SI_STATUS SI_Write(SI_HANDLE handle, const void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten,
                   void* overlapped);
SI_STATUS SI_SetTimeouts(uint32_t readTimeoutMs, uint32_t writeTimeoutMs);
SI_STATUS SI_GetTimeouts(uint32_t* readTimeoutMs, uint32_t* writeTimeoutMs);

#ifdef __cplusplus
}
#endif
#endif
