#include "pipe_nodes.hpp"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "log.hpp"
#include "record.hpp"

namespace lab {

PipeNodes::PipeNodes(UMockdevTestbed* testbed, const std::string& root_dir, Device& device,
                     std::function<void()> on_vanish)
    : testbed_(testbed),
      root_dir_(root_dir),
      dir_("/dev/quenlor/" + device.config().class_guid + "/" + device.config().name),
      device_(device),
      on_vanish_(std::move(on_vanish)) {
    std::error_code ec;
    std::filesystem::create_directories(root_dir_ + dir_, ec);
    if (ec) throw std::runtime_error(root_dir_ + dir_ + ": " + ec.message());
    open_pipe(in_, "PIPE00");
    open_pipe(out_, "PIPE01");

    g_signal_connect(in_.handler, "handle-read", G_CALLBACK(on_read), this);
    g_signal_connect(in_.handler, "handle-write", G_CALLBACK(on_write_in), this);
    g_signal_connect(in_.handler, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(in_.handler, "client-connected", G_CALLBACK(on_reader_connected), this);
    g_signal_connect(out_.handler, "handle-read", G_CALLBACK(on_read), this);
    g_signal_connect(out_.handler, "handle-write", G_CALLBACK(on_write_out), this);
    g_signal_connect(out_.handler, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    for (Pipe* p : {&in_, &out_}) {
        GError* err = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed_, p->devnode.c_str(), p->handler, &err)) {
            std::string msg = err ? err->message : "?";
            g_clear_error(&err);
            throw std::runtime_error(p->devnode + ": attach: " + msg);
        }
    }
}

PipeNodes::~PipeNodes() {
    for (Pipe* p : {&in_, &out_}) {
        if (p->master >= 0) ::close(p->master);
        if (p->slave >= 0) ::close(p->slave);
    }
}

void PipeNodes::open_pipe(Pipe& p, const std::string& name) {
    p.devnode = dir_ + "/" + name;
    char tty[128];
    if (::openpty(&p.master, &p.slave, tty, nullptr, nullptr) != 0)
        throw std::runtime_error(p.devnode + ": openpty: " + std::strerror(errno));
    ::fcntl(p.master, F_SETFD, FD_CLOEXEC);
    ::fcntl(p.slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(p.master, F_SETFL, ::fcntl(p.master, F_GETFL) | O_NONBLOCK);
    termios t{};
    if (::tcgetattr(p.slave, &t) != 0) throw std::runtime_error(p.devnode + ": tcgetattr: " + std::strerror(errno));
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(p.slave, TCSANOW, &t) != 0)
        throw std::runtime_error(p.devnode + ": tcsetattr: " + std::strerror(errno));
    const std::string path = root_dir_ + p.devnode;
    if (::symlink(tty, path.c_str()) != 0) throw std::runtime_error(path + ": symlink: " + std::strerror(errno));
    p.handler = umockdev_ioctl_base_new();
}

// Reads go to the real terminal: hand them back unhandled.
int PipeNodes::on_read(UMockdevIoctlBase*, UMockdevIoctlClient*, void*) { return FALSE; }

int PipeNodes::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, void*) {
    umockdev_ioctl_client_complete(c, -1, ENOTTY);
    return TRUE;
}

// A new reader starts with an empty pipe, as after the driver's open.
void PipeNodes::on_reader_connected(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self) {
    auto* pn = static_cast<PipeNodes*>(self);
    ::tcflush(pn->in_.slave, TCIFLUSH);
    log_event("%s: opened", pn->in_.devnode.c_str());
}

// PIPE00 carries device to host only.
int PipeNodes::on_write_in(UMockdevIoctlBase*, UMockdevIoctlClient* c, void*) {
    umockdev_ioctl_client_complete(c, -1, EBADF);
    return TRUE;
}

int PipeNodes::on_write_out(UMockdevIoctlBase*, UMockdevIoctlClient* c, void* self) {
    auto* pn = static_cast<PipeNodes*>(self);
    if (pn->device_.gone()) {
        umockdev_ioctl_client_complete(c, -1, ENODEV);
        return TRUE;
    }
    for (auto it = pn->sessions_.begin(); it != pn->sessions_.end();) {
        if (!umockdev_ioctl_client_get_connected(it->first)) {
            g_object_unref(it->first);
            it = pn->sessions_.erase(it);
        } else {
            ++it;
        }
    }
    auto it = pn->sessions_.find(c);
    if (it == pn->sessions_.end()) it = pn->sessions_.emplace(static_cast<UMockdevIoctlClient*>(g_object_ref(c)), Session{}).first;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    const int len = (arg && arg->data) ? arg->data_len : 0;
    const std::size_t n = std::min<std::size_t>(kReportSize, static_cast<std::size_t>(std::max(len, 0)));
    std::vector<std::uint8_t> request;
    if (n) request.assign(arg->data, arg->data + n);
    umockdev_ioctl_client_complete(c, len, 0);
    record(pn->device_.config().name, true, request);
    const Outcome out = pn->device_.handle(it->second, request);
    dispatch(out, [pn](const Report& r, std::size_t length) { pn->send(r, length); }, pn->on_vanish_);
    return TRUE;
}

void PipeNodes::send(const Report& r, std::size_t length) {
    if (device_.gone()) return;
    record(device_.config().name, false, std::span(r.data(), length));
    const ssize_t w = ::write(in_.master, r.data(), length);
    if (w != static_cast<ssize_t>(length))
        log_error("%s: reply lost (%s)", in_.devnode.c_str(), w < 0 ? std::strerror(errno) : "short write");
    else
        log_event("%s: reply 0x%02x addr %u len %u", in_.devnode.c_str(), r[0], r[1], r[2]);
}

void PipeNodes::vanish() {
    for (Pipe* p : {&in_, &out_}) {
        GError* err = nullptr;
        umockdev_testbed_detach_ioctl(testbed_, p->devnode.c_str(), &err);
        g_clear_error(&err);
        // The nodes go; files already open stay as they are and never hear
        // from the device again (no hang-up): only the missing node tells.
        ::unlink((root_dir_ + p->devnode).c_str());
    }
    ::rmdir((root_dir_ + dir_).c_str());
}

}  // namespace lab
