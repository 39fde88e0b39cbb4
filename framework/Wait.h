#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// Waits used by every protocol retry loop. Searches and writes run on a worker
// thread, never on the window's thread, so a wait simply sleeps until its
// deadline: nothing pumps and nothing spins. A wait ends at once when the
// running search is told to stop.
using WaitClock = std::chrono::steady_clock;

void WaitPumping(int milliseconds);
void WaitPumpingUntil(WaitClock::time_point deadline);

// Stop signal of the running search. Raising it ends a WaitPumping wait at
// once (and every later one returns at once until it is cleared); retry loops
// and transfers check StopRequested() between attempts so that a search ends
// at its next wait or transfer boundary. Safe from any thread. Front ends go
// through StopCurrentJob (Job.h), which never stops a write.
void RequestStop();
void ClearStopRequest();
bool StopRequested();

// Pacing of the protocol waits.
//
// Many waits of the families exist only to let something happen: a reply to
// arrive, a connection to open, a server to come up, a call-back to raise its
// flag. Paced timing (the default) ends such a wait as soon as the event
// happens and never waits longer than the fixed wait would have: a reply the
// fixed wait would have taken is still taken, and silence costs the full
// time. Original timing sits every such wait out in full, for an instrument
// that turns out to need the old pace. Waits that may exist for the
// instrument's own sake (settle times) are fixed in both modes and do not go
// through these calls. docs/timing.md lists every wait and its treatment.
//
// The mode is process-wide and read at each wait; front ends set it before a
// job starts.
bool OriginalTiming();
void SetOriginalTiming(bool original);

// A flag that a call-back or another thread raises and a transfer waits for.
// Raise and Clear are safe from any thread; waiting ends when the flag is
// raised, at the deadline, or (for a stoppable wait) at a Stop.
class EventFlag {
public:
    void Raise();
    void Clear();
    bool Raised() const { return m_raised.load(); }
    // True when the flag is raised at the end of the wait.
    bool WaitUntil(WaitClock::time_point deadline, bool stoppable = true);
    bool WaitFor(int milliseconds, bool stoppable = true);

private:
    std::atomic<bool> m_raised{false};
    std::mutex m_lock;
    std::condition_variable m_changed;
};

// Waits until `fd` is readable (or has hung up), the deadline passes or, for
// a stoppable wait, Stop is raised. True when the descriptor is readable.
// A negative descriptor waits for the deadline (or Stop) alone.
bool WaitReadableUntil(int fd, WaitClock::time_point deadline, bool stoppable = true);

// The paced waits. Each stands for one fixed wait of `milliseconds` whose
// purpose is the named event: original timing waits the full time; paced
// timing ends early once the event has happened. Both end at once on Stop
// when stoppable (a write passes stoppable = false and is never cut). The
// result says whether the event has happened by the end of the wait; callers
// that check the event themselves may ignore it.
bool PaceFor(EventFlag& event, int milliseconds, bool stoppable = true);
bool PaceReadable(int fd, int milliseconds, bool stoppable = true);
// A fixed wait with no observable event: the same in both modes, ended by
// Stop only when stoppable.
void FixedWait(int milliseconds, bool stoppable = true);
