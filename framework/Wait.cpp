#include "Wait.h"

#include <thread>

namespace {
WaitPump& Pump() {
    static WaitPump pump;
    return pump;
}
}  // namespace

void SetWaitPump(WaitPump pump) { Pump() = std::move(pump); }

void WaitPumpingUntil(WaitClock::time_point deadline) {
    // The pump may return early (a dispatched event); keep going until the deadline.
    while (WaitClock::now() < deadline) {
        if (Pump())
            Pump()(deadline);
        else
            std::this_thread::sleep_until(deadline);
    }
}

void WaitPumping(int milliseconds) {
    WaitPumpingUntil(WaitClock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds));
}
