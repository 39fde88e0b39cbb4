// Wire protocols of the simulated instruments: pure functions over byte
// spans, no I/O. A protocol answers one request frame with one reply frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace lab {

constexpr std::size_t kReportSize = 64;
// The largest frame any simulated device sends (USBXpress packets: 128).
constexpr std::size_t kMaxFrameSize = 128;
constexpr std::size_t kImageSize = 256;
// One frame; only its first `length` bytes (Outgoing) go on the wire.
using Report = std::array<std::uint8_t, kMaxFrameSize>;
using Image = std::array<std::uint8_t, kImageSize>;

// Which header field a falsifying fault corrupts.
enum class Field { Address, Length };

class Protocol {
public:
    virtual ~Protocol() = default;
    // True when the device answers this request at all.
    virtual bool accepts(std::span<const std::uint8_t> request) const = 0;
    // The correct reply to an accepted request, given the current image.
    virtual Report reply(std::span<const std::uint8_t> request, const Image& image) const = 0;
    // True for an accepted request that changes the image (a write). Faults
    // that start at the Kth write only arm on protocols that say so.
    virtual bool is_write(std::span<const std::uint8_t> /*request*/) const { return false; }
    // Carries out an accepted request's side effect; true when the image changed.
    virtual bool apply(std::span<const std::uint8_t> request, Image& image) const = 0;
    // A plausible request that could have come before this one (another address).
    virtual std::vector<std::uint8_t> earlier_request(std::span<const std::uint8_t> request) const = 0;
    // Changes the first data byte of a write request (what a device with a
    // failing cell would store); protocols without it store writes as sent.
    virtual void garble(std::vector<std::uint8_t>& /*request*/) const {}
    // Corrupts one header field of a reply.
    virtual void falsify(Report& reply, Field field) const = 0;
    // Bytes of one request or reply frame.
    virtual std::size_t frame_size() const { return kReportSize; }
};

// Per-open state of one client (stale replies refer to it).
struct Session {
    std::vector<std::uint8_t> previous;
};

struct Outgoing {
    Report report;
    unsigned delay_ms = 0;
    std::size_t length = kReportSize;  // bytes of report actually sent
};

struct Outcome {
    std::vector<Outgoing> replies;
    bool vanish = false;
    unsigned vanish_delay_ms = 0;  // the device leaves this long after the request
};

// A command protocol: the device answers from state of its own, applies the
// configured fault itself and may send several replies (or none) per request.
class Responder {
public:
    virtual ~Responder() = default;
    virtual Outcome handle(Session& session, std::span<const std::uint8_t> request) = 0;
};

struct DeviceConfig;
class ImageStore;

struct ProtocolInfo {
    std::string_view name;
    std::string_view description;
    std::unique_ptr<Protocol> (*make)();  // frame protocols; null for command protocols
    // Command protocols: builds the device's responder over its identity image
    // and its state files in state_dir. Throws std::runtime_error.
    std::unique_ptr<Responder> (*responder)(const DeviceConfig& cfg, ImageStore& image,
                                            const std::filesystem::path& state_dir) = nullptr;
    std::uint8_t out_endpoint = 0x02;  // bulk OUT endpoint of the request channel
};

// nullptr when no protocol of that name exists.
const ProtocolInfo* find_protocol(std::string_view name);
std::span<const ProtocolInfo> protocols();

}  // namespace lab
