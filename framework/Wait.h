#pragma once
#include <chrono>

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
