#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A device node opened for report transfers. Every transfer waits at most its
// time-out (poll), so no read or write can block forever.
class DeviceFile {
public:
    DeviceFile() = default;
    ~DeviceFile() { Close(); }
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;
    DeviceFile(DeviceFile&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    DeviceFile& operator=(DeviceFile&& other) noexcept;

    // Opens for reading and writing (O_RDWR), never as a controlling terminal.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // Writes all of data within the time-out; returns the bytes written.
    std::size_t Write(const std::uint8_t* data, std::size_t length, int timeoutMs);
    // Reads until length bytes arrived or the time-out ran out; returns the
    // bytes read (0 on time-out or error).
    std::size_t Read(std::uint8_t* data, std::size_t length, int timeoutMs);

private:
    int m_fd = -1;
};

}  // namespace platform
