#pragma once
#include <functional>

// Searches and writes run on a worker thread; whatever they need of the user
// (the connection dialog, the card dialogs, the families' messages) is shown
// on the user-interface thread while the worker waits for the answer.
namespace ui {

// True on the thread of the application object (or when there is none).
bool OnUiThread();

// Runs `task` on the user-interface thread and returns once it has run; on
// that thread itself it just runs it. False when the task was never run
// because the waits were cut first (CutUiWaits). A task that has begun is
// always waited for, so it may use what the caller keeps on its stack.
bool RunOnUiThread(const std::function<void()>& task);

// Releases every worker waiting for a task that has not begun, and makes
// later calls return false at once, until ResumeUiWaits. For the window's
// destruction: it waits for its worker, which must not wait for it in turn.
void CutUiWaits();
void ResumeUiWaits();

}  // namespace ui
