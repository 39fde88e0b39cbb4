#include "Jobs.h"

#include <algorithm>
#include <thread>

#include "base/Log.h"

namespace tavik {
namespace {

constexpr const char* kLog = "tavikapi";
constexpr std::uint32_t kOpFailed = 255;
constexpr std::uint32_t kOpClearLog = 3;

// Sleeps of the worker (plain sleeps, not retries).
void Sleep(Timing& t, int ms) { t.Pause(ms); }

int ChunkLimitMs(ImageKind kind, unsigned i) {
    switch (kind) {
        case ImageKind::Firmware: return 5000;
        case ImageKind::Fpga: return i == 0 ? 25000 : 6000;
        default: return i == 0 ? 20000 : 10000;
    }
}

int ClosingWaitMs(ImageKind kind) {
    switch (kind) {
        case ImageKind::Firmware: return 3000;
        case ImageKind::Fpga: return 5000;
        default: return 2000;
    }
}

// Reads without pause until a reply carries code c, the limit passes since
// start, or the job is aborted.
bool AwaitAck(Link link, std::uint8_t c, Clock::time_point start, int limitMs, const std::atomic<bool>& abort) {
    Packet buf{};
    for (;;) {
        if (abort.load() || link.timing.ElapsedMs(start) >= limitMs) return false;
        buf.fill(0);
        if (link.channel.Read(buf.data()) > 0 && buf[0] == c) return true;
    }
}

// Start request of a pad-data transfer: a 0x10 reply within 201 reads.
bool PadStart(Link link, Bytes data, const std::atomic<bool>& abort) {
    if (!Send(link, PadStartRequest(data))) return false;
    Packet buf{};
    for (int i = 0; i < 201; ++i) {
        if (abort.load()) return false;
        buf.fill(0);
        if (link.channel.Read(buf.data()) > 0 && buf[0] == code::PadData) return true;
        link.timing.Pause(kRetryPauseMs);
    }
    return false;
}

}  // namespace

bool Jobs::TryClaim() {
    std::lock_guard g(m_flagMutex);
    if (m_busy.load()) return false;
    m_abort.store(false);
    m_idle.store(false);
    m_busy.store(true);
    return true;
}

void Jobs::Release() {
    {
        std::lock_guard g(m_flagMutex);
        m_busy.store(false);
        m_idle.store(true);
    }
    m_idleChanged.notify_all();
}

bool Jobs::WaitIdle(int ms) {
    std::unique_lock g(m_flagMutex);
    return m_idleChanged.wait_for(g, std::chrono::milliseconds(ms), [this] { return m_idle.load(); });
}

void Jobs::RequestAbort() {
    std::lock_guard g(m_flagMutex);
    m_abort.store(true);
}

namespace {

// Waits for a worker thread to return; the worker itself (a callback that
// calls back into the library) only lets go of it.
void Finish(std::thread& worker) {
    if (!worker.joinable()) return;
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach();
    else
        worker.join();
}

}  // namespace

bool Jobs::Start(std::function<void()> body) noexcept {
    try {
        std::lock_guard g(m_threadMutex);
        // The previous job has freed the slot; its thread is about to return.
        Finish(m_worker);
        m_worker = std::thread([this, body = std::move(body)] {
            try {
                body();
            } catch (const std::exception& e) {  // nothing may leave the worker
                LOG_ERR(kLog, "job: %s", e.what());
            }
            Release();
        });
        return true;
    } catch (const std::exception& e) {
        LOG_ERR(kLog, "job not started: %s", e.what());
        Release();
        return false;
    }
}

void Jobs::Stop() {
    RequestAbort();
    std::lock_guard g(m_threadMutex);
    Finish(m_worker);
}

void Progress::Report(std::uint32_t op, std::uint8_t percent) {
    m_percent = percent;
    if (m_cb) m_cb(op, &m_percent, 1);
}

bool RunDownload(Link link, ImageKind kind, Bytes file, Progress& progress, const std::atomic<bool>& abort) {
    const std::size_t start = ImageDataStart(kind);
    if (file.size() <= start) return false;
    const Bytes data = file.subspan(start);
    const auto n = static_cast<unsigned>((data.size() + kImageChunk - 1) / kImageChunk);
    const auto op = static_cast<std::uint32_t>(kind);
    const std::uint8_t c = ImageCode(kind);

    if (kind == ImageKind::PadData) {
        if (!PadStart(link, data, abort)) {
            LOG_INFO(kLog, "pad data: start request not answered");
            return false;
        }
        Sleep(link.timing, 1000);
    }

    bool ok = true;
    for (unsigned i = 0; i < n; ++i) {
        if (abort.load()) {
            ok = false;
            break;
        }
        const std::size_t from = std::size_t{i} * kImageChunk;
        const Bytes chunk = data.subspan(from, std::min(kImageChunk, data.size() - from));
        if (!Send(link, DownloadChunk(kind, i, n, chunk))) {
            ok = false;
            break;
        }
        const auto sent = link.timing.Now();
        if (!AwaitAck(link, c, sent, ChunkLimitMs(kind, i), abort)) {
            LOG_INFO(kLog, "image chunk %u of %u: no acknowledgement", i, n);
            ok = false;
            break;
        }
        progress.Report(op, ChunkPercent(i, n));
    }
    if (!ok) return false;
    if (kind != ImageKind::PadData) Send(link, ClosingRequest(kind));  // no reply expected
    Sleep(link.timing, ClosingWaitMs(kind));
    progress.Report(op, 100);
    Sleep(link.timing, 1000);
    return true;
}

bool RunClearLog(Link link, Progress& progress, const std::atomic<bool>& abort, const std::function<bool()>& opened) {
    Packet reply{};
    if (!Counted(link, Request(code::LogNum), 6, ByCode(code::LogNum), &reply)) {
        LOG_INFO(kLog, "clear log: number of logs not read");
        return false;
    }
    const unsigned logs = ReadU16Le(reply, 2);
    Send(link, Request(code::ClearLog));
    // The 500 ms after the request and the 500 ms steps wait for the device's
    // 0x0C reply alone: paced timing ends them when the reader has seen it
    // (the reader then starts at once); original timing sits them out and
    // starts the reader after the first.
    const bool original = OriginalPacing();
    if (original) link.timing.Pause(500);

    // The device reports the log cleared with a 0x0C reply, whenever that is.
    Flag cleared;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        Packet buf{};
        while (!done.load() && !cleared.Raised()) {
            buf.fill(0);
            if (link.channel.Read(buf.data()) > 0 && buf[0] == code::ClearLog) cleared.Raise();
        }
    });
    if (!original) link.timing.PaceFor(cleared, 500);
    // The reader must be gone before the lock is released, or it would take
    // replies meant for the next exchange.
    auto stopReader = [&] {
        done.store(true);
        reader.join();
    };

    const unsigned steps = 20 * logs;
    std::uint8_t percent = 0;
    for (unsigned s = 1; s <= steps; ++s) {
        if (!opened() || abort.load()) break;
        // 100 % is for the confirmed end only.
        percent = static_cast<std::uint8_t>(std::min<std::uint64_t>(std::uint64_t{s} * 100 / steps, 99));
        progress.Report(kOpClearLog, percent);
        if (cleared.Raised()) {
            stopReader();
            Send(link, Request(code::End));
            progress.Report(kOpClearLog, 100);
            return true;
        }
        link.timing.PaceFor(cleared, 500);
    }
    stopReader();
    return false;
}

void ReportDownloadFailed(Progress& progress) { progress.Report(kOpFailed, 0); }

void ReportClearFailed(Progress& progress) { progress.Report(kOpClearLog, 0xFF); }

}  // namespace tavik
