#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "EchoProtocol.h"
#include "WordProtocol.h"
#include "framework/Wait.h"
#include "framework/ModuleInfo.h"
#include "base/Types.h"
#include "platform/DeviceFile.h"
#include "platform/DynLib.h"

// One search stage of a USB link family, run in the family's order.
struct UsbSearchStage {
    enum Kind { Pipe, Hid, Walk };
    Kind kind;
    std::uint32_t vendorId = 0;
    std::uint32_t productId = 0;  // also the HID product ID (Hid; vendor 0x2403)
    std::string productString;  // exact USB product string (Walk)
    std::string vidPidText;     // handed to the MPUSB open (Walk)
};

// How a family moves reports over an opened HID device (hidraw): 65 bytes
// out (report ID 0, then the report), one 64-byte input report in.
enum class HidTransfer {
    Plain,       // each transfer waits at most UsbLink::kTransferTimeoutMs
    Overlapped,  // each transfer waits at most UsbLink::kHidOverlappedTimeoutMs
};

struct UsbLinkParams {
    std::string classGuid;               // the family's own driver class
    std::vector<UsbSearchStage> stages;  // in search order
    HidTransfer hid = HidTransfer::Plain;
    // MPUSB endpoints: requests go out on the first, replies come in on the second.
    std::string mpusbOut = "\\MCHP_EP2";
    std::string mpusbIn = "\\MCHP_EP1";
};

// The USB link of a family: the devices found on the host, the selected one,
// its open channels, and the MPUSB library entry points. Reports are 64 bytes.
class UsbLink {
public:
    // Time-out of one report read or write.
    static constexpr int kTransferTimeoutMs = 1000;
    // Echo exchanges: pause after the request and between reply attempts.
    static constexpr int kReplyPauseMs = 50;
    static constexpr int kReplyAttempts = 80;
    // Limit of one HID transfer of the families with overlapped HID I/O.
    static constexpr int kHidOverlappedTimeoutMs = 2000;
    // A reply attempt that came back empty sooner than this is paced to it,
    // so that a device whose reads fail at once does not make a loop spin.
    static constexpr int kMinAttemptMs = 50;

    explicit UsbLink(UsbLinkParams params);
    ~UsbLink();
    UsbLink(const UsbLink&) = delete;
    UsbLink& operator=(const UsbLink&) = delete;

    BOOL FindDevices();
    BOOL Open();
    void Close();

    std::size_t DeviceCount() const { return m_devices.size(); }
    const std::vector<Module_Info_UsbHid>& Devices() const { return m_devices; }
    void ClearDevices() { m_devices.clear(); }
    void SetSelected(std::int32_t index) { m_selected = index; }
    std::int32_t Selected() const { return m_selected; }

    // One 64-byte report each way; the byte count moved (0 when nothing open).
    std::size_t SendReport(const echo::Report& report);
    std::size_t ReceiveReport(echo::Report& report);

    // The exchange of the word-addressed families: send, then read until a
    // reply of the command + 0x80 arrives, for at most 3000 ms.
    BOOL ReadWordChunk(const wordproto::Chunk& chunk, std::uint8_t* destination);
    BOOL WriteWordChunk(const wordproto::Chunk& chunk, const std::uint8_t* source);

    // A search may be stopped between reply attempts of a read; a write is
    // never given up half-way. Set by the block operations below.
    void SetStoppable(bool stoppable) { m_stoppable = stoppable; }

    // One echo-protocol exchange.
    BOOL ReadChunk(const echo::Layout& layout, const echo::Chunk& chunk, std::uint8_t* destination);
    BOOL WriteChunk(const echo::Layout& layout, const echo::Chunk& chunk, const std::uint8_t* source);

    // A whole transfer split into chunks; stops at the first failing chunk.
    BOOL ReadBlock(const echo::Layout& layout, std::uint8_t* buffer, std::int32_t length);
    BOOL WriteBlock(const echo::Layout& layout, const std::uint8_t* buffer, std::int32_t length);

    // Name under which the MPUSB library is loaded.
    static constexpr const char* kMpusbLibrary = "libmpusbapi.so";

private:
    BOOL Exchange(const echo::Layout& layout, const echo::Report& request, echo::Report& reply);
    BOOL WordExchange(const echo::Report& request, echo::Report& reply);
    bool Stopped() const;
    void Pause(WaitClock::time_point until) const;
    int HidTimeoutMs() const;
    // One 64-byte input report from the HID read handle within the limit.
    std::size_t ReceiveHid(echo::Report& report);
    bool MpusbAvailable() const;
    // Present instance number of a found MPUSB device, -1 when it has left.
    static std::int32_t CurrentInstance(const Module_Info_Usb& dev);

    using OpenFn = void* (*)(std::uint32_t, const char*, const char*, std::uint32_t, std::uint32_t);
    using CountFn = std::uint32_t (*)(const char*);
    using CloseFn = std::uint32_t (*)(void*);
    using ReadFn = std::uint32_t (*)(void*, void*, std::uint32_t, std::uint32_t*, std::uint32_t);
    using WriteFn = std::uint32_t (*)(void*, const void*, std::uint32_t, std::uint32_t*, std::uint32_t);

    void* m_mpusbRead = nullptr;
    void* m_mpusbWrite = nullptr;
    platform::DynLib m_library;
    CountFn m_getDeviceCount = nullptr;
    OpenFn m_open = nullptr;
    CloseFn m_close = nullptr;
    ReadFn m_read = nullptr;
    WriteFn m_write = nullptr;
    UsbLinkParams m_params;
    platform::DeviceFile m_readPipe;
    platform::DeviceFile m_writePipe;
    platform::DeviceFile m_hidRead;
    platform::DeviceFile m_hidWrite;
    std::vector<Module_Info_UsbHid> m_devices;
    std::int32_t m_selected = 0;
    bool m_stoppable = false;
};
