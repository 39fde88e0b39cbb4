#include "Job.h"

#include "Wait.h"

namespace {
// The kind of the running job; changed and read under the lock so that a stop
// request and the start of the next job never interleave.
std::mutex g_jobLock;
JobKind g_job = JobKind::None;

void BeginJob(JobKind kind) {
    std::lock_guard<std::mutex> hold(g_jobLock);
    g_job = kind;
    ClearStopRequest();
}

void EndJob() {
    std::lock_guard<std::mutex> hold(g_jobLock);
    g_job = JobKind::None;
    // The stop was meant for this job only.
    ClearStopRequest();
}
}  // namespace

JobScope::JobScope(JobKind kind) { BeginJob(kind); }

JobScope::~JobScope() { EndJob(); }

JobKind CurrentJob() {
    std::lock_guard<std::mutex> hold(g_jobLock);
    return g_job;
}

StopOutcome StopCurrentJob() {
    std::lock_guard<std::mutex> hold(g_jobLock);
    switch (g_job) {
    case JobKind::None: return StopOutcome::Idle;
    case JobKind::Write: return StopOutcome::WriteRunsToEnd;
    case JobKind::Search: break;
    }
    RequestStop();
    return StopOutcome::Stopping;
}

JobThread::~JobThread() {
    if (Started()) {
        StopCurrentJob();
        Join();
    }
}

bool JobThread::Start(JobKind kind, std::function<void()> job, std::function<void()> done) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_thread.joinable()) return false;
    // The job counts as running from here, so a stop asked for before the
    // worker gets going is not lost.
    BeginJob(kind);
    m_thread = std::thread([job = std::move(job), done = std::move(done)] {
        job();
        EndJob();
        if (done) done();
    });
    return true;
}

bool JobThread::Started() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_thread.joinable();
}

void JobThread::Join() {
    std::thread worker;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        worker = std::move(m_thread);
    }
    if (worker.joinable()) worker.join();
}
