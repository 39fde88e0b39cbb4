#pragma once
// Time for the exchange patterns: the tick count and the library's pause.
// Callers of the library have no message loop, so the pause sleeps; tests
// substitute a scripted clock.
#include <chrono>

namespace tavik {

using Clock = std::chrono::steady_clock;

class Timing {
public:
    virtual ~Timing() = default;
    virtual Clock::time_point Now() = 0;
    // Waits until ms milliseconds have passed (the library's WaitPumping).
    virtual void Pause(int ms) = 0;

    int ElapsedMs(Clock::time_point since) {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Now() - since).count());
    }
};

// steady_clock and sleeping pauses.
Timing& RealTiming();
// The library's WaitPumping: sleeps until the tick count passed start + ms.
void WaitPumping(int ms);

}  // namespace tavik
