// A simulated network instrument: its configuration, its identity images
// (controller and cards) and its fault. Transports hand it requests and send
// the replies it returns.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "image_store.hpp"
#include "net_config.hpp"
#include "net_protocols.hpp"

namespace lab {

struct NetOutgoing {
    net::Bytes bytes;
    unsigned delay_ms = 0;
};

class NetDevice {
public:
    // Loads or creates <state>/<name>.bin and <state>/<name>-slot<N>.bin for
    // every present card. Throws std::runtime_error.
    NetDevice(NetDeviceConfig cfg, const std::filesystem::path& state_dir);

    const NetDeviceConfig& config() const { return cfg_; }
    // The replies to one request, in order. `previous` is the last request seen
    // on the same channel (a UDP port, a TCP connection); it is updated.
    std::vector<NetOutgoing> handle(net::Channel ch, std::span<const std::uint8_t> request, net::Bytes& previous);
    // True once, when the device has just been unplugged (fault=vanish).
    bool take_unplugged() { return std::exchange(unplug_, false); }

private:
    const Image* image(int slot) const;
    ImageStore* store(int slot);

    NetDeviceConfig cfg_;
    std::unique_ptr<ImageStore> controller_;
    std::map<int, std::unique_ptr<ImageStore>> cards_;
    bool unplug_ = false;
    unsigned silenced_ = 0;  // requests left unanswered by silent-first=
};

}  // namespace lab
