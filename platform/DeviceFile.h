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
    DeviceFile(DeviceFile&& other) noexcept
        : m_fd(other.m_fd), m_gone(other.m_gone), m_path(std::move(other.m_path)) {
        other.m_fd = -1;
    }
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

    // True once the device behind the open node has gone: poll reported a
    // hang-up or an error, a read came back at end of file, a transfer failed
    // with EIO, ENODEV or ENXIO, or the node is no longer there. From then on
    // every transfer returns 0 at once, without waiting out its time-out.
    bool Gone() const { return m_gone; }

private:
    // Notes a gone device when the node has left its path.
    bool CheckNode();

    int m_fd = -1;
    bool m_gone = false;
    std::string m_path;
};

}  // namespace platform
