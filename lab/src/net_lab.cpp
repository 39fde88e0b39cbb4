#include "net_lab.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "log.hpp"

namespace lab {

namespace {

constexpr std::size_t kMaxTcpBuffer = 64 * 1024;

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// Instruments and the switch need no IPv6 (no router solicitations, no DAD).
void quiet_ipv6() {
    set_net_sysctl("ipv6/conf/default/disable_ipv6", "1");
    set_net_sysctl("ipv6/conf/all/disable_ipv6", "1");
}

}  // namespace

struct NetLab::Endpoint {
    enum Type { Udp, Listen, Conn, Echo } type = Udp;
    std::uint64_t id = 0;
    int fd = -1;
    NetDevice* device = nullptr;
    const NetNs* ns = nullptr;
    net::Bytes previous;  // last request on this channel (fault=stale)
    net::Bytes in, out;   // TCP buffers
    std::string peer;
};

NetLab::NetLab(const LabConfig& cfg) {
    const std::int64_t t0 = now_ns();
    build(cfg);
    setup_ms_ = static_cast<double>(now_ns() - t0) / 1e6;
    log_event("network namespaces set up in %.1f ms (%zu instruments)", setup_ms_, devices_.size());
    if (devices_.empty()) return;
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) fail("eventfd");
    thread_ = std::thread([this] { run(); });
}

NetLab::~NetLab() {
    end_leftovers();
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(wake_fd_, &one, sizeof one);
        thread_.join();
    }
    for (auto& [id, ep] : endpoints_) ::close(ep->fd);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

void NetLab::end_leftovers() {
    // Programs the command left running in its namespace (a chassis server it
    // started) end with the lab.
    if (cmd_.id()) {
        for (const auto& e : std::filesystem::directory_iterator("/proc")) {
            const std::string name = e.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            const int pid = std::stoi(name);
            struct stat st {};
            if (pid == ::getpid() || ::stat((e.path() / "ns/net").c_str(), &st) != 0 || st.st_ino != cmd_.id()) continue;
            log_event("ending process %d left in the command's namespace", pid);
            ::kill(pid, SIGTERM);
        }
    }
    for (int pid : servers_) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    servers_.clear();
}

void NetLab::build(const LabConfig& cfg) {
    // The command's namespace first: from here on this thread never returns to
    // the host's namespace.
    gain_namespace_rights();
    cmd_ = NetNs::create();
    Rtnl cmd_nl;
    cmd_nl.set_up("lo");
    if (cfg.net_devices.empty()) {
        cmd_.require_current("command namespace");
        return;
    }

    std::error_code ec;
    std::filesystem::create_directories(cfg.state_dir, ec);
    if (ec) throw std::runtime_error("state directory " + cfg.state_dir.string() + ": " + ec.message());

    switch_ = NetNs::create();
    quiet_ipv6();
    Rtnl sw_nl;
    int bridge[2] = {0, 0};
    for (int lan = 0; lan < 2; ++lan) {
        const std::string br = "sw" + std::to_string(lan);
        sw_nl.add_bridge(br);
        sw_nl.set_up(br);
        bridge[lan] = sw_nl.index(br);
    }
    // lab0 before lab1, so the command lists them in that order.
    for (int lan = 0; lan < 2; ++lan) {
        const std::string up = "up" + std::to_string(lan);
        sw_nl.add_veth(up, bridge[lan], "lab" + std::to_string(lan), cmd_.fd());
        sw_nl.set_up(up);
    }

    device_ns_.reserve(cfg.net_devices.size());
    for (std::size_t i = 0; i < cfg.net_devices.size(); ++i) {
        const NetDeviceConfig& dc = cfg.net_devices[i];
        auto dev = std::make_unique<NetDevice>(dc, cfg.state_dir);
        device_ns_.push_back(NetNs::create());
        const NetNs& ns = device_ns_.back();
        quiet_ipv6();
        auto dev_nl = std::make_unique<Rtnl>();
        dev_nl->set_up("lo");
        const std::string port = "d" + std::to_string(i);
        sw_nl.add_veth(port, bridge[dc.lan], "eth0", ns.fd());
        sw_nl.set_up(port);
        dev_nl->add_ipv4("eth0", dc.address, 24);
        dev_nl->set_up("eth0");
        if (dc.fault == NetFault::Vanish || dc.fault == NetFault::GoneAfterDiscovery) links_[dev.get()] = std::move(dev_nl);
        open_sockets(ns, *dev);
        if (dc.kind->kind == NetKind::ZelServer) start_server(dc);
        log_event("instrument %s (%s) at %s on lan%d", dc.name.c_str(), std::string(dc.kind->name).c_str(),
                  dotted(dc.address).c_str(), dc.lan);
        devices_.push_back(std::move(dev));
    }

    cmd_.enter();
    for (int lan = 0; lan < 2; ++lan) {
        const std::string name = "lab" + std::to_string(lan);
        cmd_nl.add_ipv4(name, lan_host(lan), 24);
        cmd_nl.set_up(name);
    }
    cmd_.require_current("command namespace");

    // fault=own-echo: a socket beside the client hears its discovery broadcast
    // (the kernel loops broadcasts back to local listeners) and returns it from
    // the client's own address, as a network that reflects broadcasts would.
    if (std::any_of(cfg.net_devices.begin(), cfg.net_devices.end(),
                    [](const NetDeviceConfig& d) { return d.fault == NetFault::OwnEcho; })) {
        cmd_.require_current("binding the echo socket");
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) fail("socket");
        cmd_.require_socket(fd, "binding the echo socket");
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(net::kHevraUdpPort);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("bind the echo socket");
        auto ep = std::make_unique<Endpoint>();
        ep->type = Endpoint::Echo;
        ep->id = next_id_++;
        ep->fd = fd;
        ep->ns = &cmd_;
        endpoints_[ep->id] = std::move(ep);
    }
}

// Starts our chassis server ZelServerAP (beside brevane-lab) in the namespace
// the calling thread is in; it ends with the lab.
void NetLab::start_server(const NetDeviceConfig& dc) {
    const auto program = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "ZelServerAP";
    if (!std::filesystem::exists(program)) throw std::runtime_error(program.string() + ": not built");
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        ::execl(program.c_str(), "ZelServerAP", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    servers_.push_back(pid);
    log_event("chassis server %s at %s on lan%d (process %d)", dc.name.c_str(), dotted(dc.address).c_str(), dc.lan,
              static_cast<int>(pid));
}

// Called with the thread inside the instrument's namespace; sockets keep it for life.
void NetLab::open_sockets(const NetNs& ns, NetDevice& dev) {
    const NetKind kind = dev.config().kind->kind;
    auto add = [&](Endpoint::Type type, int fd) {
        auto ep = std::make_unique<Endpoint>();
        ep->type = type;
        ep->id = next_id_++;
        ep->fd = fd;
        ep->device = &dev;
        ep->ns = &ns;
        endpoints_[ep->id] = std::move(ep);
    };
    auto bound = [&](int type, std::uint16_t port) {
        ns.require_current("binding an instrument's socket");
        const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) fail("socket");
        ns.require_socket(fd, "binding an instrument's socket");
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (type == SOCK_DGRAM) ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("bind port " + std::to_string(port));
        return fd;
    };
    for (std::uint16_t p : net::udp_ports(kind)) add(Endpoint::Udp, bound(SOCK_DGRAM, p));
    if (const std::uint16_t p = net::tcp_port(kind)) {
        const int fd = bound(SOCK_STREAM, p);
        if (::listen(fd, 8) != 0) fail("listen");
        add(Endpoint::Listen, fd);
    }
}

void NetLab::run() {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    for (;;) {
        fds.clear();
        ids.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        ids.push_back(0);
        for (auto& [id, ep] : endpoints_) {
            short ev = POLLIN;
            if (ep->type == Endpoint::Conn && !ep->out.empty()) ev |= POLLOUT;
            fds.push_back({ep->fd, ev, 0});
            ids.push_back(id);
        }
        int timeout = -1;
        if (!timers_.empty()) {
            const std::int64_t wait = timers_.begin()->first - now_ns();
            timeout = wait <= 0 ? 0 : static_cast<int>((wait + 999999) / 1000000);
        }
        const int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) {
            log_error("network poll: %s", std::strerror(errno));
            return;
        }
        if (fds[0].revents) return;  // stop
        for (std::size_t i = 1; n > 0 && i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            const auto it = endpoints_.find(ids[i]);
            if (it == endpoints_.end()) continue;
            Endpoint& ep = *it->second;
            try {
                if (ep.type == Endpoint::Echo) on_echo(ep);
                else if (ep.type == Endpoint::Udp) on_udp(ep);
                else if (ep.type == Endpoint::Listen) on_accept(ep);
                else {
                    if (fds[i].revents & POLLOUT) flush(ep);
                    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) on_conn(ep);
                }
            } catch (const std::exception& e) {
                // A simulator fault must not take the other instruments down.
                log_error("%s: %s", ep.device ? ep.device->config().name.c_str() : "echo", e.what());
            }
        }
        const std::int64_t now = now_ns();
        while (!timers_.empty() && timers_.begin()->first <= now) {
            Timed t = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            const auto it = endpoints_.find(t.endpoint);
            if (it != endpoints_.end()) send_now(*it->second, std::move(t.bytes), t.to_addr, t.to_port);
        }
    }
}

void NetLab::on_udp(Endpoint& ep) {
    std::uint8_t buf[4096];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(ep.fd, buf, sizeof buf, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;  // EAGAIN: drained
        if (static_cast<std::size_t>(n) > sizeof buf) continue;  // no request is that long
        auto out = ep.device->handle(net::Channel::Udp, std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)),
                                     ep.previous);
        send_or_schedule(ep, std::move(out), from.sin_addr.s_addr, from.sin_port);
        unplug_if_due(*ep.device);
    }
}

void NetLab::on_echo(Endpoint& ep) {
    std::uint8_t buf[4096];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(ep.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        // Only what the command sent from a lab interface goes back, unchanged.
        const std::uint32_t src = ntohl(from.sin_addr.s_addr);
        if (src != lan_host(0) && src != lan_host(1)) continue;
        ::sendto(ep.fd, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        log_event("echo: the discovery broadcast of %s went back to it", dotted(src).c_str());
    }
}

// fault=vanish: the instrument's link goes down, as if its cable were pulled:
// nothing reaches it any more, open connections just stop.
void NetLab::unplug_if_due(NetDevice& dev) {
    if (!dev.take_unplugged()) return;
    const auto it = links_.find(&dev);
    if (it == links_.end()) return;
    it->second->set_up("eth0", false);
    log_event("%s: fault vanish: link down", dev.config().name.c_str());
}

void NetLab::on_accept(Endpoint& ep) {
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const int fd = ::accept4(ep.fd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        try {
            ep.ns->require_socket(fd, "accepted connection");
        } catch (const std::exception& e) {
            log_error("%s", e.what());
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Endpoint>();
        c->type = Endpoint::Conn;
        c->id = next_id_++;
        c->fd = fd;
        c->device = ep.device;
        c->ns = ep.ns;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        c->peer = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
        log_event("%s: connection from %s", ep.device->config().name.c_str(), c->peer.c_str());
        endpoints_[c->id] = std::move(c);
    }
}

void NetLab::on_conn(Endpoint& ep) {
    std::uint8_t buf[4096];
    bool closed = false;
    for (;;) {
        const ssize_t n = ::recv(ep.fd, buf, sizeof buf, 0);
        if (n > 0) {
            ep.in.insert(ep.in.end(), buf, buf + n);
            if (ep.in.size() > kMaxTcpBuffer) closed = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
        break;
    }
    // Whole requests only: the request code says how long a request is.
    while (ep.in.size() >= 2 && ep.in.size() <= kMaxTcpBuffer) {
        const std::size_t need = net::hevra_request_size(static_cast<std::uint16_t>(ep.in[0] << 8 | ep.in[1]));
        if (ep.in.size() < need) break;
        const net::Bytes req(ep.in.begin(), ep.in.begin() + static_cast<std::ptrdiff_t>(need));
        ep.in.erase(ep.in.begin(), ep.in.begin() + static_cast<std::ptrdiff_t>(need));
        send_or_schedule(ep, ep.device->handle(net::Channel::Tcp, req, ep.previous), 0, 0);
        flush(ep);
        unplug_if_due(*ep.device);
    }
    if (closed) {
        log_event("%s: connection from %s closed", ep.device->config().name.c_str(), ep.peer.c_str());
        close_endpoint(ep.id);
    }
}

void NetLab::send_or_schedule(Endpoint& ep, std::vector<NetOutgoing> out, std::uint32_t to_addr, std::uint16_t to_port) {
    for (NetOutgoing& o : out) {
        if (o.delay_ms == 0) {
            send_now(ep, std::move(o.bytes), to_addr, to_port);
            continue;
        }
        timers_.emplace(now_ns() + static_cast<std::int64_t>(o.delay_ms) * 1000000,
                        Timed{ep.id, std::move(o.bytes), to_addr, to_port});
    }
}

void NetLab::send_now(Endpoint& ep, net::Bytes bytes, std::uint32_t to_addr, std::uint16_t to_port) {
    if (ep.type == Endpoint::Udp) {
        const NetDeviceConfig& dc = ep.device->config();
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = to_addr;
        to.sin_port = to_port;
        // fault=broadcast-reply / subnet-broadcast-reply: the reply goes to a
        // broadcast address at the client's port, sent from the instrument's
        // own address (which picks its link; it has no default route).
        if (dc.fault == NetFault::BroadcastReply) to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        if (dc.fault == NetFault::SubnetReply) to.sin_addr.s_addr = htonl(dc.address | 0xFFu);
        iovec iov{bytes.data(), bytes.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof to;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(dc.address);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
        if (::sendmsg(ep.fd, &msg, 0) < 0)
            log_event("%s: reply not sent: %s", dc.name.c_str(), std::strerror(errno));
        else if (to.sin_addr.s_addr != to_addr)
            log_event("%s: reply sent to %s", dc.name.c_str(), dotted(ntohl(to.sin_addr.s_addr)).c_str());
        return;
    }
    ep.out.insert(ep.out.end(), bytes.begin(), bytes.end());
    flush(ep);
}

void NetLab::flush(Endpoint& ep) {
    while (!ep.out.empty()) {
        const ssize_t n = ::send(ep.fd, ep.out.data(), ep.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            ep.out.erase(ep.out.begin(), ep.out.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // POLLOUT resumes
        ep.out.clear();  // the peer is gone; on_conn closes
        return;
    }
}

void NetLab::close_endpoint(std::uint64_t id) {
    const auto it = endpoints_.find(id);
    if (it == endpoints_.end()) return;
    ::close(it->second->fd);
    endpoints_.erase(it);
}

}  // namespace lab
