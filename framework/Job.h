#pragma once
#include <functional>
#include <mutex>
#include <thread>

// The one job of the process that talks to devices: a search (or a read of
// one image), which the user may stop, or a write, which always runs to its
// end. Both front ends mark their jobs with a JobScope; the desktop program
// runs them on a JobThread so that its window stays live.
enum class JobKind { None, Search, Write };

// What a stop request met.
enum class StopOutcome {
    Idle,            // no job runs
    Stopping,        // a search was told to stop; it ends at its next wait or transfer boundary
    WriteRunsToEnd,  // a write runs; it is never stopped half-way
};

// Marks the job of the calling thread for its lifetime. Starting a job clears
// an earlier stop request, so a stop meant for one job never reaches the next.
class JobScope {
public:
    explicit JobScope(JobKind kind);
    ~JobScope();
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;
};

// The job running now (JobKind::None between jobs). Safe from any thread.
JobKind CurrentJob();

// Asks the running job to stop: a search gets the stop signal (see Wait.h), a
// write is left to finish. Safe from any thread, and from a signal-watching
// thread of the command line.
StopOutcome StopCurrentJob();

// Runs one job at a time on a worker thread of its own.
class JobThread {
public:
    JobThread() = default;
    // A search still running is stopped; a write is waited for.
    ~JobThread();
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;

    // Starts `job` under a JobScope of `kind` on the worker thread; `done`
    // runs on the worker after the scope has ended (the front end's notice
    // that the job is over). False, with nothing started, while an earlier
    // job has not been joined.
    bool Start(JobKind kind, std::function<void()> job, std::function<void()> done = {});
    // True from Start until Join.
    bool Started() const;
    // Waits for the worker to end. Not from the worker itself.
    void Join();

private:
    mutable std::mutex m_lock;
    std::thread m_thread;
};
