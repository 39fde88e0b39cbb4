#include "Wait.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {
struct StopSignal {
    std::atomic<bool> raised{false};
    std::mutex lock;
    std::condition_variable changed;
};

StopSignal& Stop() {
    static StopSignal signal;
    return signal;
}
}  // namespace

void RequestStop() {
    StopSignal& s = Stop();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.raised.store(true);
    }
    s.changed.notify_all();
}

void ClearStopRequest() {
    StopSignal& s = Stop();
    std::lock_guard<std::mutex> hold(s.lock);
    s.raised.store(false);
}

bool StopRequested() { return Stop().raised.load(); }

void WaitPumpingUntil(WaitClock::time_point deadline) {
    StopSignal& s = Stop();
    std::unique_lock<std::mutex> hold(s.lock);
    s.changed.wait_until(hold, deadline, [&] { return s.raised.load(); });
}

void WaitPumping(int milliseconds) {
    WaitPumpingUntil(WaitClock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds));
}
