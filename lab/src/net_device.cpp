#include "net_device.hpp"

#include <algorithm>

#include "log.hpp"

namespace lab {

namespace {

const char* msg_name(net::Msg m) {
    switch (m) {
    case net::Msg::Discovery: return "discovery";
    case net::Msg::SlotTable: return "slot table";
    case net::Msg::Identify: return "identify";
    case net::Msg::Read: return "read";
    case net::Msg::Write: return "write";
    case net::Msg::Lock: return "lock";
    }
    return "?";
}

std::string_view fault_name(NetFault f) {
    for (const auto& i : net_faults())
        if (i.fault == f) return i.name;
    return "?";
}

// Faults after which the device has not carried out a write.
bool write_lost(NetFault f) {
    return f != NetFault::None && f != NetFault::Late && f != NetFault::Stale && f != NetFault::Duplicate &&
           f != NetFault::NoIdentify && f != NetFault::BroadcastReply && f != NetFault::SubnetReply &&
           f != NetFault::NamesBroadcast && f != NetFault::ShortTable && f != NetFault::GoneAfterDiscovery &&
           f != NetFault::LockRefused && f != NetFault::BadCount;
}

}  // namespace

NetDevice::NetDevice(NetDeviceConfig cfg, const std::filesystem::path& state_dir) : cfg_(std::move(cfg)) {
    controller_ = std::make_unique<ImageStore>(state_dir / (cfg_.name + ".bin"), cfg_.name, cfg_.serial);
    for (const CardConfig& c : cfg_.cards) {
        if (!c.present) continue;
        const std::string n = cfg_.name + "-slot" + std::to_string(c.slot);
        cards_[c.slot] = std::make_unique<ImageStore>(state_dir / (n + ".bin"), n, c.serial);
    }
}

const Image* NetDevice::image(int slot) const {
    if (slot == net::kController) return &controller_->image();
    const auto it = cards_.find(slot);
    return it == cards_.end() ? nullptr : &it->second->image();
}

ImageStore* NetDevice::store(int slot) {
    if (slot == net::kController) return controller_.get();
    const auto it = cards_.find(slot);
    return it == cards_.end() ? nullptr : it->second.get();
}

std::vector<NetOutgoing> NetDevice::handle(net::Channel ch, std::span<const std::uint8_t> request, net::Bytes& previous) {
    const char* name = cfg_.name.c_str();
    const net::DeviceView view{cfg_, [this](int slot) { return image(slot); }};
    auto a = net::answer(view, ch, request);
    if (!a) {
        log_event("%s: request ignored (%zu bytes)", name, request.size());
        return {};
    }
    // The requests the fault (and silent-first) applies to: fault-slot= and
    // fault-message= narrow them.
    static_assert(static_cast<unsigned>(net::Msg::Lock) == 5, "fault-message bits follow net::Msg");
    const bool selected = (cfg_.fault_slot < 0 || a->slot == cfg_.fault_slot) &&
                          (cfg_.fault_messages == 0 || (cfg_.fault_messages >> static_cast<unsigned>(a->msg) & 1u));
    const bool hit = cfg_.fault != NetFault::None && selected;
    const NetFault fault = hit ? cfg_.fault : NetFault::None;
    // Gostel EEPROM requests name their mode in the sub-command (bytes 8-9).
    const bool gostel_eeprom = cfg_.kind->kind == NetKind::Gostel && request.size() >= 10 &&
                               (a->msg == net::Msg::Read || a->msg == net::Msg::Write);
    const std::string sub = gostel_eeprom ? ", sub-command " + std::to_string(request[8] | request[9] << 8) : "";
    log_event("%s: %s request (%zu bytes)%s%s%s", name, msg_name(a->msg), request.size(), a->slot >= 0 ? ", slot " : "",
              a->slot >= 0 ? std::to_string(a->slot).c_str() : "", sub.c_str());
    if (hit && silenced_ >= cfg_.silent_first)
        log_event("%s: fault %.*s", name, static_cast<int>(fault_name(fault).size()), fault_name(fault).data());

    std::vector<NetOutgoing> out;
    if (selected && silenced_ < cfg_.silent_first) {
        ++silenced_;
        log_event("%s: silent-first: request %u of the first %u not answered", name, silenced_, cfg_.silent_first);
        previous.assign(request.begin(), request.end());
        return out;
    }
    if (fault == NetFault::Silent || (fault == NetFault::NoIdentify && a->msg == net::Msg::Identify)) {
        previous.assign(request.begin(), request.end());
        return out;
    }
    if (fault == NetFault::Stale && !previous.empty()) {
        if (auto before = net::answer(view, ch, previous)) out.push_back({std::move(before->reply), 0});
    }
    if (a->write && !write_lost(fault)) {
        if (ImageStore* s = store(a->write->slot)) {
            Image& img = s->image();
            const auto& w = *a->write;
            for (std::size_t i = 0; i < w.data.size() && w.offset + i < img.size(); ++i) img[w.offset + i] = w.data[i];
            s->save();
        }
    }
    net::falsify(cfg_.kind->kind, ch, a->msg, a->reply, fault);
    if (fault == NetFault::NamesBroadcast && a->msg == net::Msg::Discovery) {
        // Evra: bytes 28-31, most significant first; Kalder: 26-29, least first.
        const std::uint32_t bcast = cfg_.address | 0xFFu;
        const bool evra = cfg_.kind->kind == NetKind::Evra;
        const std::size_t at = evra ? 28 : 26;
        for (std::size_t i = 0; i < 4 && at + i < a->reply.size(); ++i)
            a->reply[at + i] = static_cast<std::uint8_t>(bcast >> (evra ? 24 - 8 * i : 8 * i));
    }
    out.push_back({std::move(a->reply), 0});
    if (fault == NetFault::Duplicate) out.push_back(out.back());
    if (fault == NetFault::Late)
        for (auto& o : out) o.delay_ms = cfg_.late_ms;
    if (fault == NetFault::Vanish && (a->msg == net::Msg::Read || a->msg == net::Msg::Write)) unplug_ = true;
    if (fault == NetFault::GoneAfterDiscovery && a->msg == net::Msg::Discovery) unplug_ = true;
    previous.assign(request.begin(), request.end());
    return out;
}

}  // namespace lab
