#include "SerialPort.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <tuple>

namespace platform {
namespace {

// Kinds in numbering order.
constexpr const char* kKinds[] = {"ttyS", "ttyUSB", "ttyACM"};

// Index of the kind and the number after it; none for other names.
std::optional<std::pair<int, long>> KindAndNumber(const std::string& name) {
    for (int k = 0; k < 3; ++k) {
        const std::string prefix = kKinds[k];
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.size() > 6 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        return std::make_pair(k, std::stol(digits));
    }
    return std::nullopt;
}

speed_t SpeedOf(unsigned baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
    }
}

}  // namespace

std::vector<SerialPortEntry> MapSerialPorts(const std::vector<TtyListing>& listing, std::size_t limit) {
    std::vector<std::tuple<int, long, std::string>> ports;
    for (const auto& tty : listing) {
        auto kn = KindAndNumber(tty.name);
        if (!kn || !tty.hasDevice) continue;
        if (kn->first == 0 && tty.uartType <= 0) continue;  // legacy placeholder
        ports.emplace_back(kn->first, kn->second, tty.name);
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    std::vector<SerialPortEntry> out;
    for (const auto& [kind, number, name] : ports) {
        if (out.size() >= limit) break;
        out.push_back({"COM" + std::to_string(out.size() + 1), "/dev/" + name});
    }
    return out;
}

std::vector<TtyListing> ListTtys(const std::string& sysRoot) {
    std::vector<TtyListing> out;
    const std::string dir = sysRoot + "/class/tty";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || !KindAndNumber(name)) continue;
        TtyListing t;
        t.name = name;
        struct stat st {};
        t.hasDevice = ::stat((dir + "/" + name + "/device").c_str(), &st) == 0;
        std::ifstream type(dir + "/" + name + "/type");
        int value = -1;
        if (type >> value) t.uartType = value;
        out.push_back(t);
    }
    ::closedir(d);
    return out;
}

std::optional<SerialSettings> ParseSerialSettings(const std::string& baud, const std::string& parity,
                                                  const std::string& dataBits, const std::string& stopBits) {
    SerialSettings s;
    char* end = nullptr;
    const unsigned long b = std::strtoul(baud.c_str(), &end, 10);
    if (baud.empty() || *end || !SpeedOf(static_cast<unsigned>(b))) return std::nullopt;
    s.baud = static_cast<unsigned>(b);
    if (parity == "None") s.parity = Parity::None;
    else if (parity == "Odd") s.parity = Parity::Odd;
    else if (parity == "Even") s.parity = Parity::Even;
    else if (parity == "Mark") s.parity = Parity::Mark;
    else if (parity == "Space") s.parity = Parity::Space;
    else return std::nullopt;
    if (dataBits != "5" && dataBits != "6" && dataBits != "7" && dataBits != "8") return std::nullopt;
    s.dataBits = dataBits[0] - '0';
    if (stopBits == "1") s.stopBits = StopBits::One;
    else if (stopBits == "1.5") s.stopBits = StopBits::OneAndHalf;
    else if (stopBits == "2") s.stopBits = StopBits::Two;
    else return std::nullopt;
    return s;
}

bool SerialPort::Open(const std::string& path, const SerialSettings& settings) {
    Close();
    m_error.clear();
    auto fail = [&](const char* what) {
        m_error = std::string(what) + ": " + std::strerror(errno);
        Close();
        return false;
    };
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) return fail("open");
    // Unshared where the driver allows it; a node without that request
    // (ENOTTY) is used as it is. A terminal that is exclusive already keeps
    // its owner's flag: only our own is released at close.
    int excl = 0;
    const bool alreadyExclusive = ::ioctl(m_fd, TIOCGEXCL, &excl) == 0 && excl != 0;
    if (!alreadyExclusive && ::ioctl(m_fd, TIOCEXCL) == 0) m_exclusive = true;
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0) return fail("not a serial port");
    ::cfmakeraw(&tio);
    const speed_t speed = SpeedOf(settings.baud);
    if (!speed) {
        errno = EINVAL;
        return fail("bit rate");
    }
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    switch (settings.dataBits) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    default: tio.c_cflag |= CS8; break;
    }
    switch (settings.parity) {
    case Parity::None: break;
    case Parity::Odd: tio.c_cflag |= PARENB | PARODD; break;
    case Parity::Even: tio.c_cflag |= PARENB; break;
    case Parity::Mark: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case Parity::Space: tio.c_cflag |= PARENB | CMSPAR; break;
    }
    // Linux has no 1.5 stop bits setting; two is the nearest.
    if (settings.stopBits != StopBits::One) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) return fail("settings");
    if (::tcflush(m_fd, TCIOFLUSH) != 0) return fail("purge");
    return true;
}

void SerialPort::Close() {
    if (m_fd >= 0) {
        if (m_exclusive) ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
    }
    m_fd = -1;
    m_exclusive = false;
    m_hungUp = false;
}

bool SerialPort::Write(const void* data, std::size_t length, int timeoutMs) {
    if (m_fd < 0 || m_hungUp) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(m_fd, p + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            if (errno == EIO || errno == ENODEV || errno == ENXIO) m_hungUp = true;
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{m_fd, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
    return true;
}

std::size_t SerialPort::Read(std::uint8_t* data, std::size_t capacity, int timeoutMs) {
    if (m_fd < 0 || capacity == 0 || m_hungUp) return 0;
    pollfd pfd{m_fd, POLLIN, 0};
    const int r = ::poll(&pfd, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (r <= 0) return 0;
    if (!(pfd.revents & POLLIN)) {
        // Hung up or in error without input: poll would return at once from
        // now on. The port is at its end.
        m_hungUp = true;
        return 0;
    }
    const ssize_t n = ::read(m_fd, data, capacity);
    if (n > 0) return static_cast<std::size_t>(n);
    // A hung-up terminal says it is readable and then gives end of file; a
    // device that has gone gives EIO or ENODEV. Either is the end of the port.
    if (n == 0 || errno == EIO || errno == ENODEV || errno == ENXIO) m_hungUp = true;
    return 0;
}

}  // namespace platform
