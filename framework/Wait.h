#pragma once
#include <chrono>
#include <functional>

// Waits used by every protocol retry loop. WaitPumping runs the installed
// message pump until the deadline has passed; the default pump sleeps, the GUI
// installs one that runs its event loop, so windows stay live and nothing spins.
using WaitClock = std::chrono::steady_clock;
using WaitPump = std::function<void(WaitClock::time_point deadline)>;

void WaitPumping(int milliseconds);
void WaitPumpingUntil(WaitClock::time_point deadline);

// Installs a pump; an empty function restores the sleeping default.
void SetWaitPump(WaitPump pump);

// Stop signal of the running search. Raising it ends a sleeping WaitPumping
// wait at once; retry loops and transfers check StopRequested() between
// attempts so that a search ends at its next wait or transfer boundary.
// Safe from any thread.
void RequestStop();
void ClearStopRequest();
bool StopRequested();
