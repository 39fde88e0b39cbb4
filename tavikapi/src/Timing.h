#pragma once
// Time for the exchange patterns: the tick count, the library's pause and
// its pacing. Callers of the library have no message loop, so the pause
// sleeps; tests substitute a scripted clock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tavik {

using Clock = std::chrono::steady_clock;

// Pacing of the waits that exist only to let an awaited event happen.
// Paced (the default) ends such a wait when the event has happened and never
// waits longer than the fixed wait it stands for; original pacing sits every
// wait out in full. Set by the environment variable TAVIKAPI_ORIGINAL_TIMING
// (set and not "0" = original), read afresh at the start of each exchange and
// each job step, so a process may set it at any time before its calls.
bool OriginalPacing();

// A flag that one thread raises and another waits for.
class Flag {
public:
    void Raise();
    bool Raised() const { return m_raised.load(); }
    // Waits until the flag is raised or ms have passed; true when raised.
    bool WaitFor(int ms);

private:
    std::atomic<bool> m_raised{false};
    std::mutex m_lock;
    std::condition_variable m_changed;
};

class Timing {
public:
    virtual ~Timing() = default;
    virtual Clock::time_point Now() = 0;
    // Waits until ms milliseconds have passed (the library's WaitPumping).
    virtual void Pause(int ms) = 0;
    // A pause of ms whose only purpose is the flag: original pacing waits
    // the full ms, paced waits until the flag is raised, at most ms. True
    // when the flag is raised at the end.
    virtual bool PaceFor(Flag& flag, int ms) {
        Pause(ms);
        return flag.Raised();
    }

    int ElapsedMs(Clock::time_point since) {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Now() - since).count());
    }
};

// steady_clock and sleeping pauses.
Timing& RealTiming();
// The library's WaitPumping: sleeps until the tick count passed start + ms.
void WaitPumping(int ms);

}  // namespace tavik
