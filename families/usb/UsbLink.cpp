#include "UsbLink.h"

#include <algorithm>
#include <array>
#include <thread>

#include "base/Log.h"
#include "framework/TransferNote.h"
#include "ReplyPacing.h"
#include "framework/Wait.h"
#include "platform/UsbSearch.h"

namespace {
constexpr const char* kLog = "usblink";
void* const kInvalidHandle = reinterpret_cast<void*>(-1);
}  // namespace

UsbLink::UsbLink(UsbLinkParams params) : m_params(std::move(params)) {
    if (m_library.Load(kMpusbLibrary)) {
        m_getDeviceCount = m_library.Entry<CountFn>("_MPUSBGetDeviceCount");
        m_open = m_library.Entry<OpenFn>("_MPUSBOpen");
        m_close = m_library.Entry<CloseFn>("_MPUSBClose");
        m_read = m_library.Entry<ReadFn>("_MPUSBRead");
        m_write = m_library.Entry<WriteFn>("_MPUSBWrite");
    }
}

UsbLink::~UsbLink() {
    m_devices.clear();
    Close();
}

std::int32_t UsbLink::CurrentInstance(const Module_Info_Usb& dev) {
    const auto list = platform::ListMpusbDevices();
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].busnum == dev.busnum && list[i].devnum == dev.devnum) return static_cast<std::int32_t>(i);
    return -1;
}

bool UsbLink::MpusbAvailable() const { return m_open && m_close && m_read && m_write; }

BOOL UsbLink::FindDevices() {
    m_devices.clear();
    for (const auto& stage : m_params.stages) {
        if (stage.kind == UsbSearchStage::Pipe) {
            for (const auto& path : platform::FindInterfacePaths(m_params.classGuid)) {
                Module_Info_UsbHid entry;
                entry.kind = Module_Info_Usb::Pipe;
                entry.path = path;
                m_devices.push_back(entry);
            }
        } else if (stage.kind == UsbSearchStage::Hid) {
            std::vector<std::int32_t> indexes;
            std::vector<std::string> paths;
            if (!platform::FindHidPaths(indexes, paths, stage.productId)) continue;
            for (std::size_t i = 0; i < paths.size(); ++i) {
                Module_Info_UsbHid entry;
                entry.kind = Module_Info_Usb::PathTwice;
                entry.path = paths[i];
                entry.hidPath = paths[i];
                entry.instance = static_cast<std::uint32_t>(indexes[i]);
                m_devices.push_back(entry);
            }
        } else {
            std::vector<std::int32_t> instances;
            if (!platform::FindMpusbInstances(stage.productId, stage.vendorId, stage.productString, instances))
                continue;
            const auto list = platform::ListMpusbDevices();
            for (auto instance : instances) {
                Module_Info_UsbHid entry;
                entry.kind = Module_Info_Usb::Mpusb;
                entry.instance = static_cast<std::uint32_t>(instance);
                entry.vidPid = stage.vidPidText;
                if (static_cast<std::size_t>(instance) < list.size()) {
                    entry.busnum = list[static_cast<std::size_t>(instance)].busnum;
                    entry.devnum = list[static_cast<std::size_t>(instance)].devnum;
                }
                m_devices.push_back(entry);
            }
        }
    }
    LOG_DBG(kLog, "%zu device(s) found", m_devices.size());
    return m_devices.empty() ? FALSE : TRUE;
}

BOOL UsbLink::Open() {
    if (m_selected < 0 || static_cast<std::size_t>(m_selected) >= m_devices.size()) return FALSE;
    const Module_Info_UsbHid& dev = m_devices[static_cast<std::size_t>(m_selected)];
    // Opening again releases what an earlier open left behind.
    Close();
    switch (dev.kind) {
    case Module_Info_Usb::Pipe: {
        const std::string in = dev.path + "/PIPE00";
        const std::string out = dev.path + "/PIPE01";
        if (in.size() > 255 || out.size() > 255) return FALSE;
        bool ok = m_readPipe.Open(in);
        ok = m_writePipe.Open(out) && ok;
        return ok ? TRUE : FALSE;
    }
    case Module_Info_Usb::Mpusb: {
        // Without the library an MPUSB entry cannot be opened and no
        // transfer is ever attempted on it.
        if (!MpusbAvailable()) return FALSE;
        const std::int32_t instance = CurrentInstance(dev);
        if (instance < 0) return FALSE;  // the device has left
        m_mpusbWrite = m_open(static_cast<std::uint32_t>(instance), dev.vidPid.c_str(), m_params.mpusbOut.c_str(), 0, 0);
        m_mpusbRead = m_open(static_cast<std::uint32_t>(instance), dev.vidPid.c_str(), m_params.mpusbIn.c_str(), 1, 0);
        if (m_mpusbWrite == kInvalidHandle) m_mpusbWrite = nullptr;
        if (m_mpusbRead == kInvalidHandle) m_mpusbRead = nullptr;
        return (m_mpusbWrite && m_mpusbRead) ? TRUE : FALSE;
    }
    case Module_Info_Usb::PathTwice: {
        // The HID device opened twice: one handle for writing, one for reading.
        const std::string& path = dev.hidPath.empty() ? dev.path : dev.hidPath;
        bool ok = m_hidWrite.Open(path);
        ok = m_hidRead.Open(path) && ok;
        return ok ? TRUE : FALSE;
    }
    default:
        return FALSE;
    }
}

void UsbLink::Close() {
    m_readPipe.Close();
    m_writePipe.Close();
    m_hidRead.Close();
    m_hidWrite.Close();
    if (m_mpusbRead && m_close) m_close(m_mpusbRead);
    if (m_mpusbWrite && m_close) m_close(m_mpusbWrite);
    m_mpusbRead = nullptr;
    m_mpusbWrite = nullptr;
}

std::size_t UsbLink::SendReport(const echo::Report& report) {
    std::size_t sent = 0;
    if (m_writePipe.IsOpen()) sent = m_writePipe.Write(report.data(), report.size(), kTransferTimeoutMs);
    if (m_hidWrite.IsOpen()) {
        // Report ID 0 (no numbered reports), then the report.
        std::array<std::uint8_t, echo::kReportSize + 1> out{};
        std::copy(report.begin(), report.end(), out.begin() + 1);
        const std::size_t n = m_hidWrite.Write(out.data(), out.size(), HidTimeoutMs());
        sent = n == out.size() ? echo::kReportSize : 0;
    }
    if (m_mpusbWrite) {
        std::uint32_t n = 0;
        m_write(m_mpusbWrite, report.data(), echo::kReportSize, &n, kTransferTimeoutMs);
        sent = std::min<std::size_t>(n, echo::kReportSize);
    }
    LogFrame(kLog, "sent", report.data(), sent);
    return sent;
}

std::size_t UsbLink::ReceiveReport(echo::Report& report) {
    std::size_t received = 0;
    if (m_readPipe.IsOpen()) received = m_readPipe.Read(report.data(), report.size(), kTransferTimeoutMs);
    if (m_hidRead.IsOpen()) received = ReceiveHid(report);
    if (m_mpusbRead) {
        std::uint32_t n = 0;
        m_read(m_mpusbRead, report.data(), echo::kReportSize, &n, kTransferTimeoutMs);
        received = std::min<std::size_t>(n, echo::kReportSize);
    }
    LogFrame(kLog, "received", report.data(), received);
    return received;
}

BOOL UsbLink::Exchange(const echo::Layout& layout, const echo::Report& request, echo::Report& reply) {
    SendReport(request);
    // Every receive below waits for its report itself (a pipe or HID read
    // until the node is readable, an MPUSB read in the library), each up to
    // its own limit: the pauses only pace the attempts (ReplyPacing).
    ReplyPacing pacing(kReplyPauseMs, m_stoppable);
    pacing.AfterRequest();
    for (int attempt = 0; attempt < kReplyAttempts; ++attempt) {
        // A stopped search ends here, after at most one transfer's time-out.
        if (Stopped()) {
            LOG_INFO(kLog, "command 0x%02x: stopped after %d attempts", request[0], attempt);
            return FALSE;
        }
        reply.fill(0);
        const std::size_t received = ReceiveReport(reply);
        // Anything else (an empty read, a late reply to an earlier request)
        // is dropped and the link keeps reading.
        if (echo::IsEcho(layout, request, reply, received)) return TRUE;
        pacing.AfterRejectedAttempt();
    }
    LOG_INFO(kLog, "command 0x%02x: no matching reply after %d attempts", request[0], kReplyAttempts);
    return FALSE;
}

BOOL UsbLink::ReadChunk(const echo::Layout& layout, const echo::Chunk& chunk, std::uint8_t* destination) {
    const echo::Report request = echo::BuildRequest(layout, layout.readCommand, chunk);
    echo::Report reply{};
    if (!Exchange(layout, request, reply)) return FALSE;
    auto data = echo::ReplyData(layout, reply, chunk.length);
    std::copy(data.begin(), data.end(), destination);
    return TRUE;
}

BOOL UsbLink::WriteChunk(const echo::Layout& layout, const echo::Chunk& chunk, const std::uint8_t* source) {
    const echo::Report request =
        echo::BuildRequest(layout, layout.writeCommand, chunk, std::span<const std::uint8_t>(source, chunk.length));
    echo::Report reply{};
    return Exchange(layout, request, reply);
}

BOOL UsbLink::ReadBlock(const echo::Layout& layout, std::uint8_t* buffer, std::int32_t length) {
    m_stoppable = true;
    const std::size_t n = echo::ChunkCount(layout, length);
    for (std::size_t i = 0; i < n; ++i) {
        if (StopRequested()) return FALSE;
        const echo::Chunk chunk = echo::ChunkAt(layout, length, i);
        if (!ReadChunk(layout, chunk, buffer + chunk.offset)) {
            LOG_INFO(kLog, "read chunk %zu (address %u): no reply", i, chunk.address);
            transfer::NoteFailedChunk(i, n);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL UsbLink::WriteBlock(const echo::Layout& layout, const std::uint8_t* buffer, std::int32_t length) {
    m_stoppable = false;
    const std::size_t n = echo::ChunkCount(layout, length);
    for (std::size_t i = 0; i < n; ++i) {
        const echo::Chunk chunk = echo::ChunkAt(layout, length, i);
        if (!WriteChunk(layout, chunk, buffer + chunk.offset)) {
            LOG_INFO(kLog, "write chunk %zu (address %u): no reply", i, chunk.address);
            transfer::NoteFailedChunk(i, n);
            return FALSE;
        }
    }
    return TRUE;
}

bool UsbLink::Stopped() const { return m_stoppable && StopRequested(); }

void UsbLink::Pause(WaitClock::time_point until) const {
    // A stop ends the pauses of a read at once; a write is never cut short,
    // so its pauses keep their full length even after a stop was asked for.
    if (!m_stoppable && StopRequested())
        std::this_thread::sleep_until(until);
    else
        WaitPumpingUntil(until);
}

int UsbLink::HidTimeoutMs() const {
    return m_params.hid == HidTransfer::Overlapped ? kHidOverlappedTimeoutMs : kTransferTimeoutMs;
}

std::size_t UsbLink::ReceiveHid(echo::Report& report) {
    // One input report per read. The wait is cut into short slices so that a
    // stopped search does not sit out the whole limit; a failed or timed-out
    // read leaves the report zeroed.
    report.fill(0);
    const auto deadline = WaitClock::now() + std::chrono::milliseconds(HidTimeoutMs());
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - WaitClock::now()).count();
        if (left <= 0) return 0;
        const auto slice = std::min<long long>(left, kReplyPauseMs);
        const auto sliceEnd = WaitClock::now() + std::chrono::milliseconds(slice);
        const std::size_t n = m_hidRead.Read(report.data(), report.size(), static_cast<int>(slice));
        if (n > 0) return n;
        // A device that has gone (hang-up, EIO, ENODEV, its node removed)
        // fails the read at once, as an immediate failure of the transfer.
        if (m_hidRead.Gone() || Stopped()) return 0;
        // Any other read that fails at once is not repeated in a tight loop:
        // the slice is sat out.
        if (WaitClock::now() < sliceEnd) Pause(sliceEnd);
    }
}

BOOL UsbLink::WordExchange(const echo::Report& request, echo::Report& reply) {
    SendReport(request);
    const auto sent = WaitClock::now();
    const auto limit = std::chrono::milliseconds(wordproto::kReplyLimitMs);
    for (;;) {
        const auto attemptStart = WaitClock::now();
        reply.fill(0);
        const std::size_t received = ReceiveReport(reply);
        if (wordproto::IsReply(request[0], reply, received)) return TRUE;
        const auto now = WaitClock::now();
        if (now - sent >= limit) break;
        if (Stopped()) return FALSE;
        // A read that fails at once (nothing open, a device gone) would
        // otherwise make this loop spin until the limit.
        if (received == 0 && now - attemptStart < std::chrono::milliseconds(kMinAttemptMs))
            Pause(std::min(attemptStart + std::chrono::milliseconds(kMinAttemptMs), sent + limit));
    }
    LOG_INFO(kLog, "command 0x%02x: no reply within %d ms", request[0], wordproto::kReplyLimitMs);
    return FALSE;
}

BOOL UsbLink::ReadWordChunk(const wordproto::Chunk& chunk, std::uint8_t* destination) {
    const echo::Report request = wordproto::BuildRequest(wordproto::kRead, chunk);
    echo::Report reply{};
    if (!WordExchange(request, reply)) return FALSE;
    auto data = wordproto::ReplyData(reply, chunk.length);
    std::copy(data.begin(), data.end(), destination);
    return TRUE;
}

BOOL UsbLink::WriteWordChunk(const wordproto::Chunk& chunk, const std::uint8_t* source) {
    const echo::Report request =
        wordproto::BuildRequest(wordproto::kWrite, chunk, std::span<const std::uint8_t>(source, chunk.length));
    echo::Report reply{};
    return WordExchange(request, reply);
}
