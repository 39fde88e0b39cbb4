#include "hidraw.hpp"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "log.hpp"
#include "record.hpp"

namespace lab {

namespace {

constexpr int kHidrawMajor = 241;
constexpr unsigned kRefillMaxMs = 50;
// Bytes written to a terminal are readable from it within this time.
constexpr auto kLanding = std::chrono::milliseconds(20);

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char b[3];
    for (std::uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

std::string hid_dir_name(const DeviceConfig& cfg, int index) {
    char b[32];
    std::snprintf(b, sizeof b, "0003:%04X:%04X.%04X", cfg.vid, cfg.pid, index + 1);
    return b;
}

// The kernel names a USB HID device "<manufacturer> <product>".
std::string hid_name(const DeviceConfig& cfg) {
    if (cfg.manufacturer.empty()) return cfg.product;
    return cfg.product.empty() ? cfg.manufacturer : cfg.manufacturer + " " + cfg.product;
}

std::string hid_phys(const UsbNode& node) { return "usb-0000:00:14.0-" + node.name.substr(2) + "/input0"; }

}  // namespace

std::string describe_hid(const UsbNode& node, const DeviceConfig& cfg, int index) {
    const std::string dir = hid_dir_name(cfg, index);
    const std::string hid_path = node.interface_syspath + "/" + dir;
    char id[64], alias[64];
    std::snprintf(id, sizeof id, "0003:%08X:%08X", cfg.vid, cfg.pid);
    std::snprintf(alias, sizeof alias, "hid:b0003g0001v%08Xp%08X", cfg.vid, cfg.pid);
    std::string t;
    t += "P: " + hid_path.substr(4) + "\n";
    t += "E: SUBSYSTEM=hid\n";
    t += "E: DRIVER=hid-generic\n";
    t += std::string("E: HID_ID=") + id + "\n";
    t += "E: HID_NAME=" + hid_name(cfg) + "\n";
    t += "E: HID_PHYS=" + hid_phys(node) + "\n";
    t += "E: HID_UNIQ=" + cfg.serial + "\n";
    t += std::string("E: MODALIAS=") + alias + "\n";
    t += "H: report_descriptor=" + hex(hid_report_descriptor()) + "\n";
    t += "A: country=00\\n\n";
    t += "\n";
    const std::string n = "hidraw" + std::to_string(index);
    t += "P: " + hid_path.substr(4) + "/hidraw/" + n + "\n";
    t += "E: SUBSYSTEM=hidraw\n";
    t += "E: DEVNAME=" + n + "\n";
    t += "E: MAJOR=" + std::to_string(kHidrawMajor) + "\n";
    t += "E: MINOR=" + std::to_string(index) + "\n";
    t += "A: dev=" + std::to_string(kHidrawMajor) + ":" + std::to_string(index) + "\\n\n";
    t += "\n";
    return t;
}

HidrawNode::HidrawNode(UMockdevTestbed* testbed, const std::string& root_dir, const UsbNode& node, Device& device,
                       int index, std::function<void()> on_vanish)
    : testbed_(testbed),
      root_dir_(root_dir),
      devnode_("/dev/hidraw" + std::to_string(index)),
      name_(hid_name(device.config())),
      phys_(hid_phys(node)),
      uniq_(device.config().serial),
      vid_(device.config().vid),
      pid_(device.config().pid),
      device_(device),
      on_vanish_(std::move(on_vanish)) {
    namespace fs = std::filesystem;
    const DeviceConfig& cfg = device.config();
    GError* err = nullptr;
    const std::string text = describe_hid(node, cfg, index);
    if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &err)) {
        std::string msg = err ? err->message : "?";
        g_clear_error(&err);
        throw std::runtime_error("sysfs: " + cfg.name + " hid: " + msg);
    }
    // umockdev makes no `device` links; enumeration follows the class entry's one.
    const std::string n = "hidraw" + std::to_string(index);
    const fs::path hidraw_dir =
        fs::path(root_dir_) / (node.interface_syspath.substr(1) + "/" + hid_dir_name(cfg, index) + "/hidraw/" + n);
    std::error_code ec;
    fs::create_symlink("../../../" + hid_dir_name(cfg, index), hidraw_dir / "device", ec);
    if (ec) throw std::runtime_error("sysfs: " + (hidraw_dir / "device").string() + ": " + ec.message());
    const fs::path class_dir = fs::path(root_dir_) / "sys/class/hidraw";
    class_link_ = (class_dir / n).string();
    fs::create_directories(class_dir, ec);
    if (fs::symlink_status(class_link_, ec).type() != fs::file_type::symlink) {
        fs::create_symlink("../../" + hidraw_dir.string().substr(root_dir_.size() + 5), class_link_, ec);
        if (ec) throw std::runtime_error("sysfs: " + class_link_ + ": " + ec.message());
    }

    char tty[128];
    if (::openpty(&master_, &slave_, tty, nullptr, nullptr) != 0)
        throw std::runtime_error(devnode_ + ": openpty: " + std::strerror(errno));
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(slave_, F_SETFL, ::fcntl(slave_, F_GETFL) | O_NONBLOCK);
    termios t{};
    if (::tcgetattr(slave_, &t) != 0) throw std::runtime_error(devnode_ + ": tcgetattr: " + std::strerror(errno));
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(slave_, TCSANOW, &t) != 0)
        throw std::runtime_error(devnode_ + ": tcsetattr: " + std::strerror(errno));
    const std::string path = root_dir_ + devnode_;
    ::unlink(path.c_str());
    if (::symlink(tty, path.c_str()) != 0) throw std::runtime_error(path + ": symlink: " + std::strerror(errno));

    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-read", G_CALLBACK(on_read), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(on_write), this);
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(on_connected), this);
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &err)) {
        std::string msg = err ? err->message : "?";
        g_clear_error(&err);
        throw std::runtime_error(devnode_ + ": attach: " + msg);
    }
}

HidrawNode::~HidrawNode() {
    if (refill_timer_) {
        g_source_destroy(refill_timer_);
        g_source_unref(refill_timer_);
    }
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
}

std::size_t HidrawNode::terminal_bytes() const {
    int n = 0;
    if (::ioctl(slave_, FIONREAD, &n) != 0) return 0;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void HidrawNode::prune_sessions() {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (!umockdev_ioctl_client_get_connected(it->first)) {
            g_object_unref(it->first);
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

// A new open sees only reports that come after it, as with hidraw's
// per-open queues: when nobody else has the node open, start empty.
void HidrawNode::on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* c, void* self) {
    auto* h = static_cast<HidrawNode*>(self);
    h->prune_sessions();
    if (h->sessions_.empty()) {
        ::tcflush(h->slave_, TCIFLUSH);
        h->waiting_.clear();
        h->head_in_terminal_ = false;
    }
    h->sessions_.emplace(static_cast<UMockdevIoctlClient*>(g_object_ref(c)), Session{});
    log_event("%s: opened", h->devnode_.c_str());
}

// Puts the oldest waiting report into the empty terminal. A reader blocked in
// the terminal may take a report without the lab seeing it: while reports
// wait behind one in the terminal, a timer (backing off to 50 ms) looks again.
// True while the report last written is in the terminal or on its way in;
// false once a reader has taken it.
bool HidrawNode::head_present() {
    if (!head_in_terminal_) return false;
    if (terminal_bytes() > 0 || std::chrono::steady_clock::now() - head_written_ < kLanding) return true;
    head_in_terminal_ = false;
    return false;
}

// Waits (poll, at most until the landing time is over) for the report in the
// terminal to become readable; false when a reader took it meanwhile.
bool HidrawNode::wait_head() {
    while (head_present()) {
        if (terminal_bytes() > 0) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            head_written_ + kLanding - std::chrono::steady_clock::now());
        pollfd p{slave_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)) + 1);
    }
    return false;
}

void HidrawNode::refill() {
    if (gone_) return;
    if (!waiting_.empty() && !head_present()) {
        const auto [r, length] = waiting_.front();
        waiting_.pop_front();
        const ssize_t w = ::write(master_, r.data(), length);
        if (w != static_cast<ssize_t>(length))
            log_error("%s: report lost (%s)", devnode_.c_str(), w < 0 ? std::strerror(errno) : "short write");
        head_in_terminal_ = true;
        head_length_ = length;
        head_written_ = std::chrono::steady_clock::now();
        refill_ms_ = 1;
    }
    if (!waiting_.empty() && !refill_timer_) {
        refill_timer_ = g_timeout_source_new(refill_ms_);
        g_source_set_callback(refill_timer_, on_refill_timer, this, nullptr);
        GMainContext* ctx = g_main_context_ref_thread_default();
        g_source_attach(refill_timer_, ctx);
        g_main_context_unref(ctx);
    }
}

int HidrawNode::on_refill_timer(void* self) {
    auto* h = static_cast<HidrawNode*>(self);
    g_source_unref(h->refill_timer_);
    h->refill_timer_ = nullptr;
    h->refill_ms_ = std::min(h->refill_ms_ * 2, kRefillMaxMs);
    h->refill();
    return G_SOURCE_REMOVE;
}

void HidrawNode::send(const Report& r, std::size_t length) {
    if (gone_) return;
    record(device_.config().name, false, std::span(r.data(), length));
    log_event("%s: input report 0x%02x (%zu bytes)", devnode_.c_str(), r[0], length);
    waiting_.emplace_back(r, length);
    refill();
}

int HidrawNode::on_read(UMockdevIoctlBase*, UMockdevIoctlClient* c, void* self) {
    auto* h = static_cast<HidrawNode*>(self);
    if (h->gone_) {
        umockdev_ioctl_client_complete(c, -1, EIO);
        return TRUE;
    }
    h->refill();
    // A report taken by a reader blocked in the terminal makes room for the next.
    while (!h->wait_head()) {
        if (h->waiting_.empty()) return FALSE;  // the terminal blocks, or says EAGAIN
        h->refill();
    }
    std::uint8_t buf[kReportSize];
    const std::size_t want = std::min({h->terminal_bytes(), h->head_length_, sizeof buf});
    const ssize_t got = ::read(h->slave_, buf, want);
    if (got <= 0) return FALSE;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    const std::size_t room = arg && arg->data ? static_cast<std::size_t>(std::max(arg->data_len, 0)) : 0;
    const std::size_t n = std::min(room, static_cast<std::size_t>(got));
    if (n) std::memcpy(arg->data, buf, n);
    h->head_in_terminal_ = false;
    umockdev_ioctl_client_complete(c, static_cast<long>(n), 0);
    h->refill();
    return TRUE;
}

int HidrawNode::on_write(UMockdevIoctlBase*, UMockdevIoctlClient* c, void* self) {
    auto* h = static_cast<HidrawNode*>(self);
    if (h->gone_ || h->device_.gone()) {
        umockdev_ioctl_client_complete(c, -1, ENODEV);
        return TRUE;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    const int len = (arg && arg->data) ? arg->data_len : 0;
    if (len < 2 || len > 4096) {
        umockdev_ioctl_client_complete(c, -1, EINVAL);
        return TRUE;
    }
    std::vector<std::uint8_t> raw(arg->data, arg->data + len);
    umockdev_ioctl_client_complete(c, len, 0);
    record(h->device_.config().name, true, raw);
    // Report ID 0 means "no numbered reports" and is not sent to the device.
    std::span<const std::uint8_t> report(raw);
    if (report[0] == 0) report = report.subspan(1);
    if (report.size() > kReportSize) {
        log_event("%s: %zu-byte output report cut to %zu", h->devnode_.c_str(), report.size(), kReportSize);
        report = report.first(kReportSize);
    }
    h->prune_sessions();
    auto it = h->sessions_.find(c);
    if (it == h->sessions_.end())
        it = h->sessions_.emplace(static_cast<UMockdevIoctlClient*>(g_object_ref(c)), Session{}).first;
    const Outcome out = h->device_.handle(it->second, report);
    dispatch(out, [h](const Report& r, std::size_t length) { h->send(r, length); }, h->on_vanish_);
    return TRUE;
}

int HidrawNode::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, void* self) {
    auto* h = static_cast<HidrawNode*>(self);
    const unsigned long req = umockdev_ioctl_client_get_request(c);
    auto done = [&](long res, int err) {
        umockdev_ioctl_client_complete(c, res, err);
        return TRUE;
    };
    if (h->gone_) return done(-1, EIO);
    auto out = [&](std::size_t len) -> UMockdevIoctlData* {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
        GError* err = nullptr;
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, len, &err);
        if (err) {
            g_clear_error(&err);
            if (d) g_object_unref(d);
            return nullptr;
        }
        return d;
    };
    auto text = [&](const std::string& s) {
        const std::size_t size = _IOC_SIZE(req);
        UMockdevIoctlData* d = out(size);
        if (!d) return done(-1, EFAULT);
        const std::size_t n = std::min(size, s.size() + 1);
        std::memcpy(d->data, s.c_str(), n);
        g_object_unref(d);
        return done(static_cast<long>(n), 0);
    };
    const auto& rdesc = hid_report_descriptor();
    if (req == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* d = out(sizeof(int));
        if (!d) return done(-1, EFAULT);
        const int size = static_cast<int>(rdesc.size());
        std::memcpy(d->data, &size, sizeof size);
        g_object_unref(d);
        return done(0, 0);
    }
    if (req == HIDIOCGRDESC) {
        UMockdevIoctlData* d = out(sizeof(hidraw_report_descriptor));
        if (!d) return done(-1, EFAULT);
        std::uint32_t want = 0;
        std::memcpy(&want, d->data, sizeof want);
        if (want > HID_MAX_DESCRIPTOR_SIZE - 1) {
            g_object_unref(d);
            return done(-1, EINVAL);
        }
        const std::size_t n = std::min<std::size_t>(want, rdesc.size());
        std::memcpy(d->data + offsetof(hidraw_report_descriptor, value), rdesc.data(), n);
        g_object_unref(d);
        return done(0, 0);
    }
    if (req == HIDIOCGRAWINFO) {
        UMockdevIoctlData* d = out(sizeof(hidraw_devinfo));
        if (!d) return done(-1, EFAULT);
        hidraw_devinfo info{};
        info.bustype = 3;  // BUS_USB
        info.vendor = static_cast<__s16>(h->vid_);
        info.product = static_cast<__s16>(h->pid_);
        std::memcpy(d->data, &info, sizeof info);
        g_object_unref(d);
        return done(0, 0);
    }
    if (_IOC_TYPE(req) == 'H' && _IOC_DIR(req) == _IOC_READ) {
        if (_IOC_NR(req) == _IOC_NR(HIDIOCGRAWNAME(0))) return text(h->name_);
        if (_IOC_NR(req) == _IOC_NR(HIDIOCGRAWPHYS(0))) return text(h->phys_);
        if (_IOC_NR(req) == 0x08) return text(h->uniq_);  // HIDIOCGRAWUNIQ
    }
    return done(-1, ENOTTY);
}

void HidrawNode::vanish() {
    if (gone_) return;
    gone_ = true;
    waiting_.clear();
    if (refill_timer_) {
        g_source_destroy(refill_timer_);
        g_source_unref(refill_timer_);
        refill_timer_ = nullptr;
    }
    GError* err = nullptr;
    umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), &err);
    g_clear_error(&err);
    ::unlink((root_dir_ + devnode_).c_str());
    ::unlink(class_link_.c_str());
    // Hanging up the terminal wakes a reader blocked in it and makes poll()
    // report POLLHUP, as hidraw does for an unplugged device.
    ::tcflush(slave_, TCIFLUSH);
    ::close(master_);
    ::close(slave_);
    master_ = slave_ = -1;
    head_in_terminal_ = false;
}

}  // namespace lab
