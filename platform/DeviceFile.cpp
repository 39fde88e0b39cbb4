#include "DeviceFile.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

namespace platform {
namespace {
using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

enum class Wait { Ready, TimedOut, HungUp };

// Waits for the event or the deadline. A hang-up or error without the event
// (what a node of an unplugged device reports) is HungUp; a hung-up terminal
// also says it is readable, and its read then gives end of file.
Wait WaitFor(int fd, short event, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, event, 0};
        int r = ::poll(&p, 1, Remaining(deadline));
        if (r > 0) {
            if (p.revents & event) return Wait::Ready;
            return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) ? Wait::HungUp : Wait::TimedOut;
        }
        if (r == 0) return Wait::TimedOut;
        if (errno != EINTR) return Wait::TimedOut;
    }
}

// Errors with which a node answers once its device has left.
bool DeviceLeft(int error) { return error == EIO || error == ENODEV || error == ENXIO || error == ESHUTDOWN; }
}  // namespace

DeviceFile& DeviceFile::operator=(DeviceFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        m_gone = other.m_gone;
        m_path = std::move(other.m_path);
        other.m_fd = -1;
    }
    return *this;
}

bool DeviceFile::Open(const std::string& path) {
    Close();
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd >= 0) m_path = path;
    return m_fd >= 0;
}

void DeviceFile::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_gone = false;
    m_path.clear();
}

bool DeviceFile::CheckNode() {
    if (!m_gone && ::access(m_path.c_str(), F_OK) != 0 && errno == ENOENT) m_gone = true;
    return !m_gone;
}

std::size_t DeviceFile::Write(const std::uint8_t* data, std::size_t length, int timeoutMs) {
    if (m_fd < 0 || !CheckNode()) return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(m_fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            if (DeviceLeft(errno)) m_gone = true;
            break;
        }
        const Wait w = WaitFor(m_fd, POLLOUT, deadline);
        if (w == Wait::HungUp) m_gone = true;
        if (w != Wait::Ready) break;
    }
    return done;
}

std::size_t DeviceFile::Read(std::uint8_t* data, std::size_t length, int timeoutMs) {
    if (m_fd < 0 || !CheckNode()) return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < length) {
        // Poll first: a read with nothing queued must not sit in the kernel.
        const Wait w = WaitFor(m_fd, POLLIN, deadline);
        if (w == Wait::HungUp) m_gone = true;
        if (w != Wait::Ready) break;
        ssize_t n = ::read(m_fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // End of file (a hung-up terminal) or an error: the device is gone.
        if (n == 0 || DeviceLeft(errno)) m_gone = true;
        break;
    }
    // A wait that timed out may have been on a node whose device has left
    // without a hang-up: looked at once more, so the next transfer fails at once.
    if (done == 0 && !m_gone) CheckNode();
    return done;
}

}  // namespace platform
