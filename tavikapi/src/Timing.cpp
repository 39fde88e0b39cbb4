#include "Timing.h"

#include <thread>

namespace tavik {
namespace {
class SleepingTiming final : public Timing {
public:
    Clock::time_point Now() override { return Clock::now(); }
    void Pause(int ms) override { WaitPumping(ms); }
};
}  // namespace

Timing& RealTiming() {
    // Never destroyed: a job still running while the library unloads uses it.
    static SleepingTiming* const timing = new SleepingTiming;
    return *timing;
}

void WaitPumping(int ms) {
    if (ms <= 0) return;
    std::this_thread::sleep_until(Clock::now() + std::chrono::milliseconds(ms));
}

}  // namespace tavik
