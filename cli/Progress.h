#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// The one-line progress indicator of a search on a terminal: the bar advances
// one step per 200 ms tick up to the search's total weight, as the window's
// bar does, and the log line being written is shown beside it. Completed log
// lines are printed above the indicator. Safe to call from any thread.
class TermProgress {
public:
    explicit TermProgress(int fd);
    ~TermProgress();
    TermProgress(const TermProgress&) = delete;
    TermProgress& operator=(const TermProgress&) = delete;

    // True when the indicator should be shown on this descriptor: a terminal,
    // and not a dumb one.
    static bool Wanted(int fd);

    void Start(std::int32_t total);
    void Pause();
    void Resume();
    // Clears the indicator and prints the pending log line.
    void Stop();
    // A log line (newLine) or more text on the current one.
    void Log(const std::string& text, bool newLine);

private:
    void Tick();
    void DrawLocked();
    void ClearLocked();
    void WriteLocked(const std::string& text);
    int WidthLocked() const;

    int m_fd;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::thread m_ticker;
    std::int32_t m_total = 0;
    std::int32_t m_pos = 0;
    bool m_running = false;
    bool m_paused = false;
    bool m_quit = false;
    bool m_shown = false;   // the indicator line is on screen
    std::string m_pending;  // the log line not yet completed
};
