#include "Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {
constexpr auto kTick = std::chrono::milliseconds(200);  // as the window's progress timer
constexpr int kBarCells = 24;
}  // namespace

TermProgress::TermProgress(int fd) : m_fd(fd) { m_ticker = std::thread([this] { Tick(); }); }

TermProgress::~TermProgress() {
    {
        std::lock_guard lock(m_lock);
        m_quit = true;
    }
    m_wake.notify_all();
    m_ticker.join();
    std::lock_guard lock(m_lock);
    ClearLocked();
    if (!m_pending.empty()) WriteLocked(m_pending + "\n");
    m_pending.clear();
}

bool TermProgress::Wanted(int fd) {
    if (!::isatty(fd)) return false;
    const char* term = std::getenv("TERM");
    return !(term && std::strcmp(term, "dumb") == 0);
}

void TermProgress::Start(std::int32_t total) {
    std::lock_guard lock(m_lock);
    m_total = total > 0 ? total : 1;
    m_pos = 0;
    m_running = true;
    m_paused = false;
    DrawLocked();
}

void TermProgress::Pause() {
    std::lock_guard lock(m_lock);
    m_paused = true;
}

void TermProgress::Resume() {
    std::lock_guard lock(m_lock);
    m_paused = false;
}

void TermProgress::Stop() {
    std::lock_guard lock(m_lock);
    m_running = false;
    ClearLocked();
    if (!m_pending.empty()) WriteLocked(m_pending + "\n");
    m_pending.clear();
}

void TermProgress::Log(const std::string& text, bool newLine) {
    std::lock_guard lock(m_lock);
    if (newLine && !m_pending.empty()) {
        ClearLocked();
        WriteLocked(m_pending + "\n");
        m_pending.clear();
    }
    m_pending += text;
    if (m_running)
        DrawLocked();
}

void TermProgress::Tick() {
    std::unique_lock lock(m_lock);
    while (!m_quit) {
        m_wake.wait_for(lock, kTick);
        if (m_quit || !m_running || m_paused) continue;
        // The bar reaches its end only when the search is over, never before.
        if (m_pos + 1 < m_total) ++m_pos;
        DrawLocked();
    }
}

int TermProgress::WidthLocked() const {
    winsize ws{};
    if (::ioctl(m_fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

void TermProgress::DrawLocked() {
    const int filled = static_cast<int>(static_cast<long long>(m_pos) * kBarCells / m_total);
    const int percent = static_cast<int>(static_cast<long long>(m_pos) * 100 / m_total);
    std::string line = "\r\033[K[";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kBarCells - filled), '.');
    line += "] " + std::to_string(percent) + "% ";
    // The bar's own text takes kBarCells + 8 columns; the log line gets the
    // rest, cut so that the indicator never wraps.
    const int room = WidthLocked() - kBarCells - 9;
    std::string text = m_pending;
    while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) text.erase(0, 1);
    if (room <= 0)
        text.clear();
    else if (static_cast<int>(text.size()) > room)
        text.resize(static_cast<std::size_t>(room));
    WriteLocked(line + text);
    m_shown = true;
}

void TermProgress::ClearLocked() {
    if (!m_shown) return;
    WriteLocked("\r\033[K");
    m_shown = false;
}

void TermProgress::WriteLocked(const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p, left);
        if (n <= 0) return;  // a closed terminal loses the indicator, nothing else
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}
