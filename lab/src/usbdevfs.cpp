#include "usbdevfs.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "log.hpp"
#include "record.hpp"

namespace lab {

namespace {

constexpr int kMaxUrbBuffer = 1 << 20;
constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// Resolves the pointer argument of an ioctl to len bytes of client memory (owned ref or null).
UMockdevIoctlData* resolve_arg(UMockdevIoctlClient* c, std::size_t len) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    GError* err = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, len, &err);
    if (err) {
        log_error("usbdevfs: cannot reach client memory: %s", err->message);
        g_clear_error(&err);
        if (d) g_object_unref(d);
        return nullptr;
    }
    return d;
}

std::uint64_t arg_value(UMockdevIoctlClient* c) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    std::uint64_t v = 0;
    if (arg && arg->data_len >= static_cast<int>(sizeof v)) std::memcpy(&v, arg->data, sizeof v);
    return v;
}

}  // namespace

UsbdevfsNode::UsbdevfsNode(UMockdevTestbed* testbed, const std::string& root_dir, const UsbNode& node,
                           Device* device, std::function<void()> on_vanish)
    : devnode_(node.devnode),
      fifo_path_(root_dir + node.devnode),
      testbed_(testbed),
      desc_(node.desc),
      bulk_(device != nullptr),
      ep_out_(node.ep_out),
      device_(device),
      on_vanish_(std::move(on_vanish)) {
    // Replace the plain file that umockdev made with a FIFO (see the header).
    ::unlink(fifo_path_.c_str());
    if (::mkfifo(fifo_path_.c_str(), 0666) != 0)
        throw std::runtime_error(fifo_path_ + ": mkfifo: " + std::strerror(errno));
    doorbell_fd_ = ::open(fifo_path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (doorbell_fd_ < 0) throw std::runtime_error(fifo_path_ + ": " + std::strerror(errno));
    // One page: a single queued byte makes the pipe full, i.e. not writable.
    if (::fcntl(doorbell_fd_, F_SETPIPE_SZ, 4096) < 0)
        throw std::runtime_error(fifo_path_ + ": F_SETPIPE_SZ: " + std::strerror(errno));
    door_open_ = true;
    update_doorbell();

    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(handler_, "handle-read", G_CALLBACK(on_read_write), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(on_read_write), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(on_connected), this);
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &err)) {
        std::string msg = err ? err->message : "?";
        g_clear_error(&err);
        throw std::runtime_error(devnode_ + ": attach: " + msg);
    }
}

UsbdevfsNode::~UsbdevfsNode() {
    if (doorbell_fd_ >= 0) ::close(doorbell_fd_);
}

void UsbdevfsNode::on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* c, void* self) {
    auto* node = static_cast<UsbdevfsNode*>(self);
    node->client_for(c);
    log_event("%s: opened", node->devnode_.c_str());
}

void UsbdevfsNode::on_notify_connected(void*, void*, void* self) {
    static_cast<UsbdevfsNode*>(self)->prune_clients();
}

UsbdevfsNode::Client& UsbdevfsNode::client_for(UMockdevIoctlClient* c) {
    auto it = clients_.find(c);
    if (it != clients_.end()) return *it->second;
    auto cl = std::make_unique<Client>();
    cl->id = next_id_++;
    cl->client = static_cast<UMockdevIoctlClient*>(g_object_ref(c));
    cl->notify_handler = g_signal_connect(c, "notify::connected", G_CALLBACK(on_notify_connected), this);
    return *clients_.emplace(c, std::move(cl)).first->second;
}

void UsbdevfsNode::drop_client(std::map<UMockdevIoctlClient*, std::unique_ptr<Client>>::iterator it) {
    Client& cl = *it->second;
    auto release = [](std::deque<std::unique_ptr<Urb>>& q) {
        for (auto& u : q) {
            if (u->buf) g_object_unref(u->buf);
            if (u->urb) g_object_unref(u->urb);
        }
        q.clear();
    };
    release(cl.pending_in);
    release(cl.reapable);
    g_signal_handler_disconnect(cl.client, cl.notify_handler);
    g_object_unref(cl.client);
    log_event("%s: closed (client %llu)", devnode_.c_str(), static_cast<unsigned long long>(cl.id));
    clients_.erase(it);
}

// umockdev does not report closed fds reliably: look on every call.
void UsbdevfsNode::prune_clients() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        auto next = std::next(it);
        if (!umockdev_ioctl_client_get_connected(it->first)) drop_client(it);
        it = next;
    }
    update_doorbell();
}

void UsbdevfsNode::update_doorbell() {
    bool ready = gone_;
    for (const auto& [c, cl] : clients_) ready = ready || !cl->reapable.empty();
    if (ready == door_open_) return;
    std::uint8_t b = 0;
    const ssize_t r = ready ? ::read(doorbell_fd_, &b, 1) : ::write(doorbell_fd_, &b, 1);
    if (r == 1) door_open_ = ready;
    else log_error("%s: doorbell: %s", devnode_.c_str(), std::strerror(errno));
}

int UsbdevfsNode::on_read_write(UMockdevIoctlBase*, UMockdevIoctlClient* c, void*) {
    // usbdevfs has no read/write of its own: refuse.
    umockdev_ioctl_client_complete(c, -1, EINVAL);
    return TRUE;
}

int UsbdevfsNode::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, void* self) {
    static_cast<UsbdevfsNode*>(self)->handle(c);
    return TRUE;
}

void UsbdevfsNode::handle(UMockdevIoctlClient* c) {
    prune_clients();
    Client& cl = client_for(c);
    const unsigned long req = umockdev_ioctl_client_get_request(c);
    auto done = [&](long res, int err) { umockdev_ioctl_client_complete(c, res, err); };

    if (req == USBDEVFS_REAPURBNDELAY || req == USBDEVFS_REAPURB) {
        reap(cl, c);
        return;
    }
    if (gone_) {
        done(-1, ENODEV);
        return;
    }
    switch (req) {
    case USBDEVFS_SUBMITURB:
        submit(cl, c);
        return;
    case USBDEVFS_DISCARDURB: {
        const std::uint64_t addr = arg_value(c);
        auto it = std::find_if(cl.pending_in.begin(), cl.pending_in.end(),
                               [&](const auto& u) { return u->client_addr == addr; });
        if (it == cl.pending_in.end()) {
            done(-1, EINVAL);
            return;
        }
        (*it)->status = -ENOENT;
        (*it)->actual = 0;
        cl.reapable.push_back(std::move(*it));
        cl.pending_in.erase(it);
        log_event("%s: URB discarded", devnode_.c_str());
        update_doorbell();
        done(0, 0);
        return;
    }
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* d = resolve_arg(c, sizeof(std::uint32_t));
        if (!d) return done(-1, EFAULT);
        std::memcpy(d->data, &kCapabilities, sizeof kCapabilities);
        g_object_unref(d);
        done(0, 0);
        return;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* d = resolve_arg(c, sizeof(unsigned int));
        if (!d) return done(-1, EFAULT);
        unsigned int iface = 0;
        std::memcpy(&iface, d->data, sizeof iface);
        g_object_unref(d);
        if (iface != 0) return done(-1, ENOENT);
        if (req == USBDEVFS_CLAIMINTERFACE) {
            for (const auto& [other, ocl] : clients_)
                if (other != c && (ocl->claimed & 1u)) return done(-1, EBUSY);
            cl.claimed |= 1u;
        } else {
            if (!(cl.claimed & 1u)) return done(-1, EINVAL);
            cl.claimed &= ~1u;
        }
        log_event("%s: interface 0 %s", devnode_.c_str(), req == USBDEVFS_CLAIMINTERFACE ? "claimed" : "released");
        done(0, 0);
        return;
    }
    case USBDEVFS_CONNECTINFO: {
        UMockdevIoctlData* d = resolve_arg(c, sizeof(usbdevfs_connectinfo));
        if (!d) return done(-1, EFAULT);
        usbdevfs_connectinfo ci{};
        ci.devnum = static_cast<unsigned int>(std::stoi(devnode_.substr(devnode_.size() - 3)));
        ci.slow = 0;
        std::memcpy(d->data, &ci, sizeof ci);
        g_object_unref(d);
        done(0, 0);
        return;
    }
    case USBDEVFS_GET_SPEED:
        done(bulk_ ? 2 /* USB_SPEED_FULL */ : 3 /* USB_SPEED_HIGH */, 0);
        return;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
        done(0, 0);
        return;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        done(-1, ENODATA);
        return;
    default:
        done(-1, ENOTTY);
        return;
    }
}

void UsbdevfsNode::submit(Client& cl, UMockdevIoctlClient* c) {
    auto fail = [&](int err) { umockdev_ioctl_client_complete(c, -1, err); };
    UMockdevIoctlData* urbd = resolve_arg(c, sizeof(usbdevfs_urb));
    if (!urbd) return fail(EFAULT);
    auto urb = std::make_unique<Urb>();
    urb->urb = urbd;
    urb->client_addr = urbd->client_addr;
    usbdevfs_urb u;
    std::memcpy(&u, urbd->data, sizeof u);
    urb->type = u.type;
    urb->endpoint = u.endpoint;
    urb->buffer_length = u.buffer_length;
    auto release = [&] {
        if (urb->buf) g_object_unref(urb->buf);
        g_object_unref(urb->urb);
    };
    if (u.buffer_length < 0 || u.buffer_length > kMaxUrbBuffer) {
        release();
        return fail(EINVAL);
    }
    if (u.buffer_length > 0) {
        GError* err = nullptr;
        urb->buf = umockdev_ioctl_data_resolve(urbd, offsetof(usbdevfs_urb, buffer),
                                               static_cast<std::size_t>(u.buffer_length), &err);
        if (err || !urb->buf) {
            g_clear_error(&err);
            release();
            return fail(EFAULT);
        }
    }

    if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        if (u.buffer_length < 8) {
            release();
            return fail(EINVAL);
        }
        control(*urb);
        cl.reapable.push_back(std::move(urb));
    } else if (u.type == USBDEVFS_URB_TYPE_BULK && bulk_ && u.endpoint == ep_out_) {
        cl.claimed |= 1u;  // the kernel claims the interface implicitly
        urb->status = 0;
        urb->actual = u.buffer_length;
        // Each 64-byte packet of the transfer is one request frame.
        std::vector<std::uint8_t> data(urb->buf ? urb->buf->data : nullptr,
                                       urb->buf ? urb->buf->data + u.buffer_length : nullptr);
        cl.reapable.push_back(std::move(urb));
        const std::uint64_t id = cl.id;
        record(device_->config().name, true, data);
        // Each frame of the transfer (64 bytes; 128 for USBXpress packets) is one request.
        const std::size_t frame = device_->frame_size();
        for (std::size_t at = 0; at < data.size(); at += frame) {
            const std::size_t n = std::min(frame, data.size() - at);
            const Outcome out = device_->handle(cl.session, std::span(data.data() + at, n));
            dispatch(
                out, [this, id](const Report& r, std::size_t length) { deliver(id, r, length); }, on_vanish_);
            if (gone_) break;
        }
    } else if (u.type == USBDEVFS_URB_TYPE_BULK && bulk_ && u.endpoint == kEpIn) {
        cl.claimed |= 1u;
        cl.pending_in.push_back(std::move(urb));
        match_in(cl);
    } else {
        release();
        return fail(u.type == USBDEVFS_URB_TYPE_BULK ? ENOENT : EINVAL);
    }
    update_doorbell();
    umockdev_ioctl_client_complete(c, 0, 0);
}

void UsbdevfsNode::control(Urb& urb) {
    std::uint8_t* p = urb.buf->data;
    const std::uint8_t type = p[0], request = p[1];
    const std::uint16_t value = le16(p + 2), length = le16(p + 6);
    const std::size_t room = std::min<std::size_t>(length, static_cast<std::size_t>(urb.buffer_length - 8));
    std::vector<std::uint8_t> answer;
    bool stall = false;
    if (type == 0x80 && request == 0x06) {  // GET_DESCRIPTOR
        const int dtype = value >> 8, index = value & 0xff;
        if (dtype == 1) {
            answer = desc_.device;
        } else if (dtype == 2 && index == 0) {
            answer = desc_.config;
        } else if (dtype == 3 && index == 0) {
            answer = {4, 3, 0x09, 0x04};
        } else if (dtype == 3 && index <= static_cast<int>(desc_.strings.size())) {
            const std::string& s = desc_.strings[static_cast<std::size_t>(index - 1)];
            answer = {static_cast<std::uint8_t>(2 + 2 * s.size()), 3};
            for (char ch : s) answer.insert(answer.end(), {static_cast<std::uint8_t>(ch), 0});
        } else {
            stall = true;
        }
    } else if (type == 0x80 && request == 0x00) {  // GET_STATUS
        answer = {0, 0};
    } else if (type == 0x80 && request == 0x08) {  // GET_CONFIGURATION
        answer = {1};
    } else if ((type & 0x80) == 0 && (type & 0x60) == 0) {  // standard OUT requests
        answer = {};
    } else {
        stall = true;
    }
    if (stall) {
        urb.status = -EPIPE;
        urb.actual = 0;
        return;
    }
    const std::size_t n = std::min(room, answer.size());
    if (n) std::memcpy(p + 8, answer.data(), n);
    urb.status = 0;
    urb.actual = static_cast<int>(n);
}

void UsbdevfsNode::deliver(std::uint64_t client_id, const Report& r, std::size_t length) {
    if (gone_) return;
    record(device_->config().name, false, std::span(r.data(), length));
    for (auto& [c, cl] : clients_) {
        if (cl->id != client_id) continue;
        cl->replies.emplace_back(r, length);
        match_in(*cl);
        update_doorbell();
        return;
    }
    log_event("%s: reply dropped, its client has gone", devnode_.c_str());
}

void UsbdevfsNode::match_in(Client& cl) {
    while (!cl.pending_in.empty() && !cl.replies.empty()) {
        auto urb = std::move(cl.pending_in.front());
        cl.pending_in.pop_front();
        const auto [r, length] = cl.replies.front();
        cl.replies.pop_front();
        const std::size_t n = std::min<std::size_t>(length, static_cast<std::size_t>(urb->buffer_length));
        if (n) std::memcpy(urb->buf->data, r.data(), n);
        urb->status = 0;
        urb->actual = static_cast<int>(n);
        log_event("%s: reply 0x%02x addr %u len %u on EP1 IN", devnode_.c_str(), r[0], r[1], r[2]);
        cl.reapable.push_back(std::move(urb));
    }
}

void UsbdevfsNode::reap(Client& cl, UMockdevIoctlClient* c) {
    if (cl.reapable.empty()) {
        update_doorbell();
        umockdev_ioctl_client_complete(c, -1, gone_ ? ENODEV : EAGAIN);
        return;
    }
    std::unique_ptr<Urb> urb = std::move(cl.reapable.front());
    cl.reapable.pop_front();
    UMockdevIoctlData* ptr = resolve_arg(c, sizeof(void*));
    if (!ptr) {
        cl.reapable.push_front(std::move(urb));
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    auto* u = reinterpret_cast<usbdevfs_urb*>(urb->urb->data);
    u->status = urb->status;
    u->actual_length = urb->actual;
    umockdev_ioctl_data_set_ptr(ptr, 0, urb->urb);
    g_object_unref(ptr);
    if (urb->buf) g_object_unref(urb->buf);
    g_object_unref(urb->urb);
    update_doorbell();
    umockdev_ioctl_client_complete(c, 0, 0);
}

void UsbdevfsNode::vanish() {
    if (gone_) return;
    gone_ = true;
    for (auto& [c, cl] : clients_) {
        for (auto& u : cl->pending_in) {
            u->status = -ENODEV;
            u->actual = 0;
            cl->reapable.push_back(std::move(u));
        }
        cl->pending_in.clear();
        cl->replies.clear();
    }
    GError* err = nullptr;
    umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), &err);
    g_clear_error(&err);
    ::unlink(fifo_path_.c_str());
    update_doorbell();
}

}  // namespace lab
