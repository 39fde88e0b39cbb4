#pragma once
// Background jobs (image downloads, log clearing): one at a time, on a
// worker thread, coordinated through the busy, idle and abort flags.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "Exchange.h"
#include "Wire.h"
#include "tavikapi.h"

namespace tavik {

class Jobs {
public:
    Jobs() = default;
    ~Jobs() { Stop(); }
    Jobs(const Jobs&) = delete;
    Jobs& operator=(const Jobs&) = delete;

    bool Busy() const { return m_busy.load(); }
    bool Idle() const { return m_idle.load(); }
    void RequestAbort();
    const std::atomic<bool>& AbortFlag() const { return m_abort; }
    // Waits until the slot is idle or ms have passed; true when idle.
    bool WaitIdle(int ms);

    // Takes the one job slot (busy set, idle cleared, abort cleared) before
    // any check, so two callers can never both start a job. False when a job
    // holds it.
    bool TryClaim();
    // Gives a claimed slot back without starting a job.
    void Release();
    // Runs body on the worker thread; the slot is freed when it returns.
    // False (the slot freed again, nothing run) when no thread can be made.
    bool Start(std::function<void()> body) noexcept;
    // Aborts a running job and waits for its thread.
    void Stop();

private:
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_idle{true};
    std::atomic<bool> m_abort{false};
    // Held while the flags change together (claim, release, abort), so that
    // nobody sees the slot idle once it is claimed, and an abort made after a
    // claim is never cleared by it.
    std::mutex m_flagMutex;
    std::condition_variable m_idleChanged;  // notified when the slot is freed
    std::mutex m_threadMutex;
    std::thread m_worker;
};

// Progress reports of a job: the callback with a byte the job owns.
class Progress {
public:
    explicit Progress(ProgressCallback cb) : m_cb(cb) {}
    void Report(std::uint32_t op, std::uint8_t percent);

private:
    ProgressCallback m_cb;
    std::uint8_t m_percent = 0;
};

// The transfer of a checked image (the whole file) to the device, with the
// device's lock held by the caller. True when every chunk was acknowledged
// and the 100 % report made; on false the caller makes the failure report
// (ReportDownloadFailed) once it has let go of the lock.
bool RunDownload(Link link, ImageKind kind, Bytes file, Progress& progress, const std::atomic<bool>& abort);
void ReportDownloadFailed(Progress& progress);

// Log clearing with the lock held by the caller; `opened` tells whether the
// device is still opened. True when the device reported the log cleared (and
// the 100 % report made); the steps before report at most 99 %. On false the
// caller makes the failure report (ReportClearFailed) after the lock.
bool RunClearLog(Link link, Progress& progress, const std::atomic<bool>& abort, const std::function<bool()>& opened);
void ReportClearFailed(Progress& progress);

}  // namespace tavik
