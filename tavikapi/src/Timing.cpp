#include "Timing.h"

#include <new>
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
    // It lives in the library's own storage, not on the heap, so an unloaded
    // library leaves nothing behind.
    alignas(SleepingTiming) static unsigned char storage[sizeof(SleepingTiming)];
    static SleepingTiming* const timing = ::new (storage) SleepingTiming;
    return *timing;
}

void WaitPumping(int ms) {
    if (ms <= 0) return;
    std::this_thread::sleep_until(Clock::now() + std::chrono::milliseconds(ms));
}

}  // namespace tavik
