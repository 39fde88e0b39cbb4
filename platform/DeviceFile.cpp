#include "DeviceFile.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace platform {
namespace {
using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for the event or the deadline; false on time-out, error or hang-up
// without the event.
bool WaitFor(int fd, short event, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, event, 0};
        int r = ::poll(&p, 1, Remaining(deadline));
        if (r > 0) return (p.revents & event) != 0;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}
}  // namespace

DeviceFile& DeviceFile::operator=(DeviceFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool DeviceFile::Open(const std::string& path) {
    Close();
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    return m_fd >= 0;
}

void DeviceFile::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

std::size_t DeviceFile::Write(const std::uint8_t* data, std::size_t length, int timeoutMs) {
    if (m_fd < 0) return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(m_fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) break;
        if (!WaitFor(m_fd, POLLOUT, deadline)) break;
    }
    return done;
}

std::size_t DeviceFile::Read(std::uint8_t* data, std::size_t length, int timeoutMs) {
    if (m_fd < 0) return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < length) {
        // Poll first: a read with nothing queued must not sit in the kernel.
        if (!WaitFor(m_fd, POLLIN, deadline)) break;
        ssize_t n = ::read(m_fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        break;  // end of file or error: the device is gone
    }
    return done;
}

}  // namespace platform
