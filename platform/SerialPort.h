#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Serial ports: which ones the machine has (sysfs), and a small termios layer
// in which every read and write is bounded by a poll time-out.
namespace platform {

// One tty as sysfs lists it under <root>/class/tty.
struct TtyListing {
    std::string name;        // "ttyS0", "ttyUSB1", "ttyACM0", ...
    bool hasDevice = false;  // a "device" link: hardware behind it
    int uartType = -1;       // the "type" attribute (ttyS only; 0 = unknown UART), -1 when absent
};

struct SerialPortEntry {
    std::string comName;     // "COM1", "COM2", ...
    std::string devicePath;  // "/dev/ttyUSB0"
};

// Gives "COM%d" numbers to the ports with hardware behind them: ttyS first,
// then ttyUSB, then ttyACM, each by its number; ttyS placeholders whose UART
// type is unknown (or not given) are left out, as are other tty kinds. At
// most `limit` ports are numbered. Pure: tests feed any listing.
std::vector<SerialPortEntry> MapSerialPorts(const std::vector<TtyListing>& listing, std::size_t limit = 10);

// The ttys of <sysRoot>/class/tty, in directory order.
std::vector<TtyListing> ListTtys(const std::string& sysRoot = "/sys");

inline std::vector<SerialPortEntry> FindSerialPorts(const std::string& sysRoot = "/sys") {
    return MapSerialPorts(ListTtys(sysRoot));
}

enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OneAndHalf, Two };

struct SerialSettings {
    unsigned baud = 38400;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;
};

// Settings from their texts ("38400", "None", "8", "1"); none when a text is
// not one the port knows.
std::optional<SerialSettings> ParseSerialSettings(const std::string& baud, const std::string& parity,
                                                  const std::string& dataBits, const std::string& stopBits);

class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device node for reading and writing (never as a controlling
    // terminal, exclusive where the driver allows it), sets raw mode with the
    // settings and purges both queues. False (and closed) on any failure;
    // Error() then says why. Close (also the destructor's and that of a
    // failed open) gives the exclusive use up again (TIOCNXCL): the flag
    // belongs to the terminal, not to our file, and would otherwise keep
    // refusing every later open while another program holds the port.
    bool Open(const std::string& path, const SerialSettings& settings);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Error() const { return m_error; }

    // Writes all bytes within the time-out; false when they did not all go.
    bool Write(const void* data, std::size_t length, int timeoutMs);
    // Waits at most timeoutMs for input, then reads what is there (up to
    // capacity); returns the bytes read, 0 on time-out or once hung up.
    std::size_t Read(std::uint8_t* data, std::size_t capacity, int timeoutMs);
    // True once the port has hung up (its device has gone: poll reported a
    // hang-up or error, or a read came back at end of file, EIO or ENODEV).
    // The port is then at its end: every read and write fails at once.
    bool HungUp() const { return m_hungUp; }

private:
    int m_fd = -1;
    bool m_exclusive = false;  // we made the terminal exclusive (TIOCEXCL)
    bool m_hungUp = false;
    std::string m_error;
};

}  // namespace platform
