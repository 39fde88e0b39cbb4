#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "EchoProtocol.h"
#include "framework/ModuleInfo.h"
#include "base/Types.h"
#include "platform/DeviceFile.h"
#include "platform/DynLib.h"

// One search stage of a USB link family, run in the family's order.
struct UsbSearchStage {
    enum Kind { Pipe, Walk };
    Kind kind;
    std::uint32_t vendorId = 0;
    std::uint32_t productId = 0;
    std::string productString;  // exact USB product string (Walk)
    std::string vidPidText;     // handed to the MPUSB open (Walk)
};

struct UsbLinkParams {
    std::string classGuid;               // the family's own driver class
    std::vector<UsbSearchStage> stages;  // in search order
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

    explicit UsbLink(UsbLinkParams params);
    ~UsbLink();
    UsbLink(const UsbLink&) = delete;
    UsbLink& operator=(const UsbLink&) = delete;

    BOOL FindDevices();
    BOOL Open();
    void Close();

    std::size_t DeviceCount() const { return m_devices.size(); }
    const std::vector<Module_Info_Usb>& Devices() const { return m_devices; }
    void ClearDevices() { m_devices.clear(); }
    void SetSelected(std::int32_t index) { m_selected = index; }
    std::int32_t Selected() const { return m_selected; }

    // One 64-byte report each way; the byte count moved (0 when nothing open).
    std::size_t SendReport(const echo::Report& report);
    std::size_t ReceiveReport(echo::Report& report);

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
    std::vector<Module_Info_Usb> m_devices;
    std::int32_t m_selected = 0;
};
