#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct pcap;

// Raw Ethernet through libpcap: the interface list and one capture handle.
namespace platform {

using MacAddress = std::array<std::uint8_t, 6>;

struct CaptureInterface {
    std::string name;         // what pcap opens ("eth0")
    std::string description;  // libpcap's description; empty when it gives none
    bool loopback = false;
    bool ethernet = false;    // the kernel's link type is Ethernet
    MacAddress mac{};         // the kernel's hardware address (Ethernet only)
};

// libpcap's interface list in its order, with the kernel's link type and
// hardware address of each. False (with the reason) when libpcap cannot list.
bool ListCaptureInterfaces(std::vector<CaptureInterface>& out, std::string& error);

enum class CaptureResult { Ok, PermissionDenied, Failed };

// What the user is told when raw Ethernet is refused to this program.
inline constexpr const char* kNoCaptureCapabilityText =
    "no network interface could be opened for raw Ethernet: this program lacks the capture capability. "
    "To grant it: sudo setcap cap_net_raw,cap_net_admin+ep on brevane and brevane-cli "
    "(see README, \"Raw Ethernet permission\")";

// True when the kernel refuses this process raw packet sockets (no capture
// capability). Opens and closes one socket; sends nothing.
bool RawEthernetRefused();

class PacketCapture {
public:
    PacketCapture() = default;
    ~PacketCapture() { Close(); }
    PacketCapture(const PacketCapture&) = delete;
    PacketCapture& operator=(const PacketCapture&) = delete;

    // Opens the interface: snapshot 65536, promiscuous, 1 ms read time-out,
    // a 10 MiB buffer, frames coming in only.
    CaptureResult Open(const std::string& name, std::string& error);
    void Close();
    bool IsOpen() const { return m_pcap != nullptr; }

    bool Send(std::span<const std::uint8_t> frame);
    // The next captured frame: 1 with a frame, 0 when none came within the
    // read time-out, -1 on error.
    int Next(std::vector<std::uint8_t>& frame);
    // A descriptor that turns readable when captured frames wait; -1 when
    // the capture is closed or has none.
    int SelectableFd() const;

private:
    struct ::pcap* m_pcap = nullptr;
};

}  // namespace platform
