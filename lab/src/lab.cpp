#include "lab.hpp"

#include <umockdev.h>

#include <filesystem>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "log.hpp"

namespace lab {

Lab::Lab(const LabConfig& cfg) {
    std::error_code ec;
    std::filesystem::create_directories(cfg.state_dir, ec);
    if (ec) throw std::runtime_error("state directory " + cfg.state_dir.string() + ": " + ec.message());

    testbed_ = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_dir_ = root;
    g_free(root);

    try {
        build(cfg);
    } catch (...) {
        std::filesystem::remove_all(root_dir_, ec);
        throw;
    }
}

void Lab::build(const LabConfig& cfg) {
    nodes_ = plan_usb_tree(cfg);
    auto later = [&cfg](const UsbNode& n) {
        return n.device_index >= 0 && !cfg.devices[static_cast<std::size_t>(n.device_index)].arrive_on.empty();
    };
    add_usb_tree(testbed_, nodes_, later);

    for (const UsbNode& n : nodes_) {
        if (n.device_index < 0) {
            usb_.push_back(std::make_unique<UsbdevfsNode>(testbed_, root_dir_, n, nullptr, nullptr));
            continue;
        }
        const DeviceConfig& dc = cfg.devices[static_cast<std::size_t>(n.device_index)];
        if (later(n)) {
            pending_.push_back({&n, dc});
            log_event("device %s arrives once %s exists", dc.name.c_str(), dc.arrive_on.c_str());
            continue;
        }
        add_entry(n, dc, cfg.state_dir);
    }
    serial_ = std::make_unique<SerialLab>(testbed_, root_dir_, cfg.serial_ports, cfg.state_dir);
    // The lab lives until the process ends (_exit): the watcher never outlives it.
    if (!pending_.empty()) std::thread([this, dir = cfg.state_dir] { watch_arrivals(dir); }).detach();
}

void Lab::add_entry(const UsbNode& n, const DeviceConfig& dc, const std::filesystem::path& state_dir) {
    std::lock_guard lock(mutex_);
    auto e = std::make_unique<Entry>();
    e->device = std::make_unique<Device>(dc, ImageStore(state_dir / (dc.name + ".bin"), dc.name, dc.serial), state_dir);
    e->node = &n;
    Entry* ep = e.get();
    auto on_vanish = [this, ep] { vanish(*ep); };
    // A HID interface belongs to usbhid: its USB node answers control transfers only.
    usb_.push_back(std::make_unique<UsbdevfsNode>(testbed_, root_dir_, n,
                                                  dc.kind->hidraw ? nullptr : e->device.get(), on_vanish));
    e->usb = usb_.back().get();
    if (dc.kind->pipe_nodes) e->pipes = std::make_unique<PipeNodes>(testbed_, root_dir_, *e->device, on_vanish);
    if (dc.kind->hidraw)
        e->hid = std::make_unique<HidrawNode>(testbed_, root_dir_, n, *e->device, hidraw_index_++, on_vanish);
    log_event("device %s (%s, %s) at %s, %s%s%s", dc.name.c_str(), std::string(dc.kind->name).c_str(),
              dc.product.c_str(), n.name.c_str(), n.devnode.c_str(), e->pipes || e->hid ? ", " : "",
              e->pipes ? e->pipes->dir().c_str() : e->hid ? e->hid->devnode().c_str() : "");
    entries_.push_back(std::move(e));
}

void Lab::watch_arrivals(std::filesystem::path state_dir) {
    std::vector<bool> in(pending_.size(), false);
    for (std::size_t left = pending_.size(); left > 0;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            std::error_code ec;
            if (in[i] || !std::filesystem::exists(pending_[i].config.arrive_on, ec)) continue;
            in[i] = true;
            --left;
            const UsbNode& n = *pending_[i].node;
            try {
                add_usb_node(testbed_, n);
                add_entry(n, pending_[i].config, state_dir);
                // No "add" uevent: umockdev resolves the device with libudev in
                // the sending process, which only works under its preload; the
                // lab runs outside it, so programs see arrivals in sysfs only.
                log_event("device %s arrived at %s", pending_[i].config.name.c_str(), n.name.c_str());
            } catch (const std::exception& e) {
                log_error("device %s could not arrive: %s", pending_[i].config.name.c_str(), e.what());
            }
        }
    }
}

// Unplugged: the sysfs entry and every node go; open fds fail from now on.
void Lab::vanish(Entry& e) {
    if (e.device->gone()) return;
    e.device->mark_gone();
    e.usb->vanish();
    if (e.pipes) e.pipes->vanish();
    if (e.hid) e.hid->vanish();
    umockdev_testbed_remove_device(testbed_, e.node->syspath.c_str());
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path bus = fs::path(root_dir_) / "sys/bus/usb/devices";
    fs::remove(bus / e.node->name, ec);
    fs::remove(bus / e.node->interface_name, ec);
    fs::remove_all(fs::path(root_dir_) / e.node->syspath.substr(1), ec);
    log_event("device %s vanished from %s", e.device->config().name.c_str(), e.node->name.c_str());
}

}  // namespace lab
