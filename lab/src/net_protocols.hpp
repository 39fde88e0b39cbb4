// Wire protocols of the simulated network instruments: pure functions over
// byte spans, no I/O. A request is answered from a read-only view of the
// device's images; a write is returned as an effect for the caller to apply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "net_config.hpp"
#include "protocol.hpp"

namespace lab::net {

using Bytes = std::vector<std::uint8_t>;

// Where a request came in.
enum class Channel { Udp, Tcp };

// What a request asked for (faults pick their victims by it).
enum class Msg { Discovery, SlotTable, Identify, Read, Write, Lock };

constexpr std::uint16_t kEvraPort = 5006;
constexpr std::uint16_t kKalderPort = 5016;
constexpr std::uint16_t kGostelPort = 8888;
constexpr std::uint16_t kHevraUdpPort = 8000;
constexpr std::uint16_t kHevraTcpPort = 8001;
constexpr std::uint16_t kJessorPort = 7401;
constexpr std::uint16_t kOrvelPort = 7300;

constexpr int kController = -1;  // the image of the device itself / the chassis controller

struct WriteEffect {
    int slot = kController;
    std::size_t offset = 0;  // byte address in the image
    Bytes data;              // bytes past the image end are dropped
};

struct Answer {
    Msg msg = Msg::Discovery;
    int slot = kController;  // card EEPROM requests: the card's slot
    Bytes reply;
    std::optional<WriteEffect> write;
};

// What a protocol may see of its device.
struct DeviceView {
    const NetDeviceConfig& config;
    // The image of the controller (kController) or of a present card; nullptr otherwise.
    std::function<const Image*(int slot)> image;
};

// The answer to one request, or nothing when the device ignores it.
std::optional<Answer> answer(const DeviceView& dev, Channel ch, std::span<const std::uint8_t> request);

// Corrupts a correct reply as the fault says. Faults that do not concern this
// kind or message leave it as it is.
void falsify(NetKind kind, Channel ch, Msg msg, Bytes& reply, NetFault fault);

// TCP framing of the Hevra data channel: the size of the request whose first
// two bytes (the request code) are given.
std::size_t hevra_request_size(std::uint16_t code);

// CRC-16, polynomial 0x1021, MSB first, initial value 0, no final XOR.
std::uint16_t crc16_ccitt0(std::span<const std::uint8_t> bytes);

// The UDP ports a kind listens on, and its TCP port (0: none).
std::vector<std::uint16_t> udp_ports(NetKind kind);
std::uint16_t tcp_port(NetKind kind);

}  // namespace lab::net
