#include "Interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "framework/Job.h"

namespace cli {
namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_duringWrite{false};

void Say(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

// Runs on a thread of its own: a normal thread, so taking the job's lock and
// writing to stderr are fine here.
void Watch(sigset_t set) {
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        switch (StopCurrentJob()) {
        case StopOutcome::Stopping:
            if (g_interrupted.exchange(true)) {
                Say("\nbrevane-cli: interrupted again; ending now\n");
                _exit(kExitInterrupted);
            }
            // The search ends its log with "Search stopped." on a line of its own.
            Say("\nbrevane-cli: interrupted; stopping the search at its next wait");
            break;
        case StopOutcome::WriteRunsToEnd:
            g_duringWrite = true;
            Say("\nbrevane-cli: a write is never stopped half-way; waiting for it to end\n");
            break;
        case StopOutcome::Idle:
            Say("\nbrevane-cli: interrupted\n");
            _exit(kExitInterrupted);
        }
    }
}

}  // namespace

void WatchInterrupts() {
    struct sigaction current {};
    if (sigaction(SIGINT, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    // Every thread started from here on inherits the mask; only the watcher takes the signal.
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    std::thread(Watch, set).detach();
}

bool Interrupted() { return g_interrupted.load(); }

bool InterruptedDuringWrite() { return g_duringWrite.load(); }

}  // namespace cli
