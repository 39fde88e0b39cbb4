#include "Wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

namespace {
struct StopSignal {
    std::atomic<bool> raised{false};
    std::mutex lock;
    std::condition_variable changed;
    // Readable while the stop is raised, so that waits on descriptors end
    // at a stop as the condition-variable waits do.
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
};

StopSignal& Stop() {
    static StopSignal signal;
    return signal;
}

std::atomic<bool> g_originalTiming{false};

int MillisecondsLeft(WaitClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - WaitClock::now()).count();
    if (left <= 0) return 0;
    return left > 60 * 60 * 1000 ? 60 * 60 * 1000 : static_cast<int>(left);
}
}  // namespace

void RequestStop() {
    StopSignal& s = Stop();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (!s.raised.exchange(true) && s.fd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = write(s.fd, &one, sizeof one);
        }
    }
    s.changed.notify_all();
}

void ClearStopRequest() {
    StopSignal& s = Stop();
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.raised.exchange(false) && s.fd >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = read(s.fd, &count, sizeof count);
    }
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

bool OriginalTiming() { return g_originalTiming.load(std::memory_order_relaxed); }
void SetOriginalTiming(bool original) { g_originalTiming.store(original, std::memory_order_relaxed); }

void EventFlag::Raise() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_raised.store(true);
    }
    m_changed.notify_all();
}

void EventFlag::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_raised.store(false);
}

bool EventFlag::WaitUntil(WaitClock::time_point deadline, bool stoppable) {
    // A stop is seen within one slice: the flag's own condition variable is
    // not the stop signal's, and a slice keeps the two apart without a
    // registry of waiters.
    constexpr auto kStopSlice = std::chrono::milliseconds(20);
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        if (m_raised.load()) return true;
        if (stoppable && StopRequested()) return false;
        const auto now = WaitClock::now();
        if (now >= deadline) return false;
        const auto sliceEnd = stoppable ? std::min(deadline, now + kStopSlice) : deadline;
        m_changed.wait_until(hold, sliceEnd, [&] { return m_raised.load(); });
    }
}

bool EventFlag::WaitFor(int milliseconds, bool stoppable) {
    return WaitUntil(WaitClock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds), stoppable);
}

bool WaitReadableUntil(int fd, WaitClock::time_point deadline, bool stoppable) {
    StopSignal& s = Stop();
    for (;;) {
        if (stoppable && StopRequested()) return false;
        pollfd fds[2] = {{fd, POLLIN, 0}, {stoppable ? s.fd : -1, POLLIN, 0}};
        const int r = poll(fds, 2, MillisecondsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            // A descriptor poll cannot take: wait for the deadline instead of
            // returning at once into a loop that would spin.
            if (stoppable)
                WaitPumpingUntil(deadline);
            else
                std::this_thread::sleep_until(deadline);
            return false;
        }
        if (fd >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) return true;
        if (WaitClock::now() >= deadline) return false;
        // Only the stop descriptor (or nothing) woke us: loop to check.
    }
}

bool PaceFor(EventFlag& event, int milliseconds, bool stoppable) {
    const auto deadline = WaitClock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
    if (!OriginalTiming()) return event.WaitUntil(deadline, stoppable);
    FixedWait(milliseconds, stoppable);
    return event.Raised();
}

bool PaceReadable(int fd, int milliseconds, bool stoppable) {
    const auto deadline = WaitClock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
    if (!OriginalTiming()) return WaitReadableUntil(fd, deadline, stoppable);
    FixedWait(milliseconds, stoppable);
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

void FixedWait(int milliseconds, bool stoppable) {
    const auto deadline = WaitClock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
    if (stoppable)
        WaitPumpingUntil(deadline);
    else
        std::this_thread::sleep_until(deadline);
}
