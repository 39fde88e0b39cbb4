#pragma once

// Ctrl-C of brevane-cli. The first one stops a search (or a read) the way the
// window's Stop does: at its next wait or transfer boundary, with the family
// closed and disconnected and the modules found so far still printed. During
// a write it is refused with a message, every time, until the write has
// ended. A second one during a search, or one between jobs, ends the program
// at once with the same status.
namespace cli {

inline constexpr int kExitInterrupted = 130;  // 128 + SIGINT

// Blocks SIGINT in every thread and starts the thread that takes it with
// sigwait, so no work is done in a signal handler. Call first thing in main,
// before any other thread exists. Does nothing when SIGINT is ignored (a job
// started in the background by a shell).
void WatchInterrupts();

// True once a Ctrl-C has stopped the running job.
bool Interrupted();

// True once a Ctrl-C came while a write ran; a command that writes one module
// after another (program, station) ends after the write in progress.
bool InterruptedDuringWrite();

}  // namespace cli
