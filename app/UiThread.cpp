#include "UiThread.h"

#include <QCoreApplication>
#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace ui {
namespace {

// One lock and one condition for every pending call: there is at most one
// worker, and calls are rare (a dialog or a message each).
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool cut = false;
};
Gate& TheGate() {
    static Gate gate;
    return gate;
}

struct Call {
    bool started = false;
    bool done = false;
    bool abandoned = false;
};

}  // namespace

bool OnUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

bool RunOnUiThread(const std::function<void()>& task) {
    if (OnUiThread()) {
        task();
        return true;
    }
    Gate& gate = TheGate();
    auto call = std::make_shared<Call>();
    {
        std::lock_guard<std::mutex> hold(gate.lock);
        if (gate.cut) return false;
    }
    // The task is referred to, not copied: the caller waits for it whenever it begins.
    const std::function<void()>* work = &task;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [call, work] {
            Gate& g = TheGate();
            {
                std::lock_guard<std::mutex> hold(g.lock);
                if (call->abandoned) return;
                call->started = true;
            }
            (*work)();
            {
                std::lock_guard<std::mutex> hold(g.lock);
                call->done = true;
            }
            g.changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> hold(gate.lock);
    gate.changed.wait(hold, [&] { return call->done || (gate.cut && !call->started); });
    if (call->done) return true;
    call->abandoned = true;
    return false;
}

void CutUiWaits() {
    Gate& gate = TheGate();
    {
        std::lock_guard<std::mutex> hold(gate.lock);
        gate.cut = true;
    }
    gate.changed.notify_all();
}

void ResumeUiWaits() {
    Gate& gate = TheGate();
    std::lock_guard<std::mutex> hold(gate.lock);
    gate.cut = false;
}

}  // namespace ui
