#include "Timing.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace tavik {
namespace {
class SleepingTiming final : public Timing {
public:
    Clock::time_point Now() override { return Clock::now(); }
    void Pause(int ms) override { WaitPumping(ms); }
    bool PaceFor(Flag& flag, int ms) override {
        if (OriginalPacing()) {
            WaitPumping(ms);
            return flag.Raised();
        }
        return flag.WaitFor(ms);
    }
};
}  // namespace

bool OriginalPacing() {
    const char* v = std::getenv("TAVIKAPI_ORIGINAL_TIMING");
    return v != nullptr && std::strcmp(v, "0") != 0;
}

void Flag::Raise() {
    {
        std::lock_guard g(m_lock);
        m_raised.store(true);
    }
    m_changed.notify_all();
}

bool Flag::WaitFor(int ms) {
    std::unique_lock g(m_lock);
    if (ms > 0) m_changed.wait_for(g, std::chrono::milliseconds(ms), [this] { return m_raised.load(); });
    return m_raised.load();
}

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
