#pragma once
// The two report channels of one opened device: HID (a hidraw node) or the
// MPUSB library. Each moves one 64-byte command report per call.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tavik {

class Channel {
public:
    virtual ~Channel() = default;
    // Sends one 64-byte report; the bytes of the packet sent (64, or 0).
    virtual std::size_t Write(const std::uint8_t* packet) = 0;
    // Receives one 64-byte report into packet, waiting at most kReadLimitMs;
    // the bytes received (0 when nothing arrived). A null buffer gives 0.
    virtual std::size_t Read(std::uint8_t* packet) = 0;
    // A report that is already waiting, without waiting for one (0 when none
    // is there); used to throw away late replies before a new request. The
    // MPUSB library has no such call (a read is a transfer with a time-out),
    // so there late replies are told apart by what they echo alone.
    virtual std::size_t ReadQueued(std::uint8_t* packet) {
        (void)packet;
        return 0;
    }
};

inline constexpr int kReadLimitMs = 1000;
inline constexpr int kWriteLimitMs = 1000;

// hidraw node: writes 65 bytes (report ID 0 first), reads one report and
// drops a leading report-ID byte. Two descriptors, one per direction. Null
// when either open fails.
std::unique_ptr<Channel> OpenHidChannel(const std::string& path);

// Entry points of the MPUSB library, bound by name.
struct MpusbEntries {
    using OpenFn = void* (*)(std::uint32_t, const char*, const char*, std::uint32_t, std::uint32_t);
    using XferFn = std::uint32_t (*)(void*, void*, std::uint32_t, std::uint32_t*, std::uint32_t);
    using CloseFn = std::uint32_t (*)(void*);
    using CountFn = std::uint32_t (*)(const char*);
    CountFn getDeviceCount = nullptr;  // bound, never called
    OpenFn open = nullptr;
    CloseFn close = nullptr;
    XferFn read = nullptr;
    XferFn write = nullptr;
};

// Opens the write and read handles of endpoint 1 of an MPUSB instance found
// under vid/pid; null when an entry point is missing or either open fails (an
// opened handle is closed again).
std::unique_ptr<Channel> OpenMpusbChannel(const MpusbEntries& mp, std::int32_t instance, std::uint32_t vid,
                                          std::uint32_t pid);

}  // namespace tavik
