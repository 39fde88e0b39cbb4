// The instrument model: a protocol, a fault and an identity image. Transports
// feed it request frames and deliver the replies it produces.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "config.hpp"
#include "image_store.hpp"
#include "protocol.hpp"

namespace lab {

class Device {
public:
    // Throws std::runtime_error (state files).
    Device(DeviceConfig cfg, ImageStore store, const std::filesystem::path& state_dir);

    const DeviceConfig& config() const { return cfg_; }
    Outcome handle(Session& session, std::span<const std::uint8_t> request);

    bool gone() const { return gone_; }
    // Bytes of one request frame on a bulk OUT transfer.
    std::size_t frame_size() const { return protocol_ ? protocol_->frame_size() : kReportSize; }
    void mark_gone() { gone_ = true; }

private:
    DeviceConfig cfg_;
    std::unique_ptr<Protocol> protocol_;
    ImageStore store_;
    std::unique_ptr<Responder> responder_;
    bool gone_ = false;
    int writes_seen_ = 0;   // write requests so far (fault-from-write)
    bool fault_armed_ = false;
};

// Hands an outcome's replies to sink, now or (for delayed ones) from a timer on
// the calling thread's main context; calls on_vanish when the device leaves.
void dispatch(const Outcome& outcome, std::function<void(const Report&, std::size_t)> sink,
              const std::function<void()>& on_vanish);

}  // namespace lab
