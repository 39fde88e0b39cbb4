// Report channel over a hidraw node.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

#include "Channel.h"
#include "Timing.h"
#include "base/Log.h"

namespace tavik {
namespace {

constexpr const char* kLog = "tavikapi";

// Waits for the event within the time left; false on time-out or when the
// node reports an error or hang-up without the event.
bool WaitFor(int fd, short event, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, event, 0};
        const int r = ::poll(&p, 1, left < 0 ? 0 : static_cast<int>(left));
        if (r > 0) return (p.revents & event) != 0;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

// A node that fails at once (device gone) must not let a retry loop spin:
// the call takes its full time-out, as a silent device would.
void SleepOut(Clock::time_point deadline) { std::this_thread::sleep_until(deadline); }

class HidChannel final : public Channel {
public:
    HidChannel(int writeFd, int readFd) : m_write(writeFd), m_read(readFd) {}
    ~HidChannel() override {
        ::close(m_read);
        ::close(m_write);
    }

    std::size_t Write(const std::uint8_t* packet) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteLimitMs);
        std::uint8_t report[65];
        report[0] = 0;  // report ID: the devices use none
        std::memcpy(report + 1, packet, 64);
        for (;;) {
            const ssize_t n = ::write(m_write, report, sizeof report);
            if (n == static_cast<ssize_t>(sizeof report)) return 64;
            if (n >= 0) return 0;  // a report goes whole or not at all
            if (errno == EINTR) continue;
            if (errno == EAGAIN && WaitFor(m_write, POLLOUT, deadline)) continue;
            LOG_DBG(kLog, "hid write: %s", std::strerror(errno));
            return 0;
        }
    }

    std::size_t Read(std::uint8_t* packet) override {
        if (!packet) return 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kReadLimitMs);
        for (;;) {
            if (!WaitFor(m_read, POLLIN, deadline)) {
                SleepOut(deadline);
                return 0;
            }
            // One read() is one report: 64 bytes, or 65 with a report-ID byte.
            std::uint8_t report[65];
            const ssize_t n = ::read(m_read, report, sizeof report);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                SleepOut(deadline);
                return 0;
            }
            const std::uint8_t* data = report;
            std::size_t len = static_cast<std::size_t>(n);
            if (len == sizeof report) {
                ++data;
                --len;
            }
            std::memset(packet, 0, 64);
            std::memcpy(packet, data, len);
            return len;
        }
    }

    std::size_t ReadQueued(std::uint8_t* packet) override {
        if (!packet) return 0;
        for (;;) {
            if (!WaitFor(m_read, POLLIN, Clock::now())) return 0;
            std::uint8_t report[65];
            const ssize_t n = ::read(m_read, report, sizeof report);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 0;
            const std::size_t len = static_cast<std::size_t>(n) == sizeof report ? 64 : static_cast<std::size_t>(n);
            std::memset(packet, 0, 64);
            std::memcpy(packet, report + (static_cast<std::size_t>(n) == sizeof report ? 1 : 0), len);
            return len;
        }
    }

private:
    int m_write;
    int m_read;
};

}  // namespace

std::unique_ptr<Channel> OpenHidChannel(const std::string& path) {
    const int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (w < 0) {
        LOG_DBG(kLog, "open %s for writing: %s", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    const int r = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (r < 0) {
        LOG_DBG(kLog, "open %s for reading: %s", path.c_str(), std::strerror(errno));
        ::close(w);
        return nullptr;
    }
    // Without memory for the channel the descriptors would be lost: the
    // channel closes them, or they are closed here.
    std::unique_ptr<Channel> channel(new (std::nothrow) HidChannel(w, r));
    if (!channel) {
        ::close(r);
        ::close(w);
    }
    return channel;
}

}  // namespace tavik
