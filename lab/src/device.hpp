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

// Per-open state of one client (stale replies refer to it).
struct Session {
    std::vector<std::uint8_t> previous;
};

struct Outgoing {
    Report report;
    unsigned delay_ms = 0;
};

struct Outcome {
    std::vector<Outgoing> replies;
    bool vanish = false;
};

class Device {
public:
    Device(DeviceConfig cfg, ImageStore store);

    const DeviceConfig& config() const { return cfg_; }
    Outcome handle(Session& session, std::span<const std::uint8_t> request);

    bool gone() const { return gone_; }
    void mark_gone() { gone_ = true; }

private:
    DeviceConfig cfg_;
    std::unique_ptr<Protocol> protocol_;
    ImageStore store_;
    bool gone_ = false;
};

// Hands an outcome's replies to sink, now or (for delayed ones) from a timer on
// the calling thread's main context; calls on_vanish when the device leaves.
void dispatch(const Outcome& outcome, std::function<void(const Report&)> sink,
              const std::function<void()>& on_vanish);

}  // namespace lab
