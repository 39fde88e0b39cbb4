#include "netns.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <linux/veth.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace lab {

namespace {

[[noreturn]] void fail(const std::string& what, int err = errno) {
    throw std::runtime_error(what + ": " + std::strerror(err));
}

ino_t fd_inode(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail("fstat of a namespace");
    return st.st_ino;
}

const ino_t g_host_id = [] {
    struct stat st {};
    return ::stat("/proc/thread-self/ns/net", &st) == 0 ? st.st_ino : ino_t{0};
}();

// A netlink message under construction, attributes appended in place.
class Msg {
public:
    Msg(std::uint16_t type, std::uint16_t flags) {
        buf_.resize(NLMSG_HDRLEN);
        hdr()->nlmsg_type = type;
        hdr()->nlmsg_flags = static_cast<std::uint16_t>(flags | NLM_F_REQUEST | NLM_F_ACK);
    }
    template <typename T>
    T* append(const T& body) {
        const std::size_t at = buf_.size();
        buf_.resize(at + NLMSG_ALIGN(sizeof(T)));
        std::memcpy(buf_.data() + at, &body, sizeof(T));
        return reinterpret_cast<T*>(buf_.data() + at);
    }
    void attr(std::uint16_t type, const void* data, std::size_t len) {
        const std::size_t at = buf_.size();
        buf_.resize(at + RTA_ALIGN(RTA_LENGTH(len)));
        rtattr a{static_cast<unsigned short>(RTA_LENGTH(len)), type};
        std::memcpy(buf_.data() + at, &a, sizeof a);
        if (len) std::memcpy(buf_.data() + at + RTA_LENGTH(0), data, len);
    }
    void attr_str(std::uint16_t type, const std::string& s) { attr(type, s.c_str(), s.size() + 1); }
    void attr_u32(std::uint16_t type, std::uint32_t v) { attr(type, &v, sizeof v); }
    std::size_t begin_nest(std::uint16_t type) {
        const std::size_t at = buf_.size();
        attr(type, nullptr, 0);
        return at;
    }
    void end_nest(std::size_t at) {
        rtattr a{};
        std::memcpy(&a, buf_.data() + at, sizeof a);
        a.rta_len = static_cast<unsigned short>(buf_.size() - at);
        std::memcpy(buf_.data() + at, &a, sizeof a);
    }
    void* data() {
        hdr()->nlmsg_len = static_cast<std::uint32_t>(buf_.size());
        return buf_.data();
    }
    std::size_t size() const { return buf_.size(); }

private:
    nlmsghdr* hdr() { return reinterpret_cast<nlmsghdr*>(buf_.data()); }
    std::vector<char> buf_;
};

ifinfomsg link_msg(int index = 0) {
    ifinfomsg i{};
    i.ifi_family = AF_UNSPEC;
    i.ifi_index = index;
    return i;
}

}  // namespace

ino_t host_netns_id() { return g_host_id; }

namespace {
bool write_proc(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}
}  // namespace

void gain_namespace_rights() {
    if (::geteuid() == 0) return;
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER) != 0)
        fail("unshare(CLONE_NEWUSER) (the lab needs root, or user namespaces to make its network namespaces)");
    // Map our own ids onto themselves: the command keeps its user and group.
    if (!write_proc("/proc/self/setgroups", "deny") ||
        !write_proc("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n") ||
        !write_proc("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n"))
        fail("user namespace id maps");
}

ino_t current_netns_id() {
    struct stat st {};
    if (::stat("/proc/thread-self/ns/net", &st) != 0) fail("/proc/thread-self/ns/net");
    return st.st_ino;
}

ino_t socket_netns_id(int sock) {
    const int nsfd = ::ioctl(sock, SIOCGSKNS);
    if (nsfd < 0) fail("SIOCGSKNS");
    const ino_t id = fd_inode(nsfd);
    ::close(nsfd);
    return id;
}

NetNs NetNs::create() {
    if (host_netns_id() == 0) throw std::runtime_error("cannot identify the host's network namespace");
    if (::unshare(CLONE_NEWNET) != 0) fail("unshare(CLONE_NEWNET) (the lab needs root or CAP_SYS_ADMIN)");
    NetNs ns;
    ns.fd_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (ns.fd_ < 0) fail("/proc/thread-self/ns/net");
    ns.id_ = fd_inode(ns.fd_);
    if (ns.id_ == host_netns_id()) throw std::runtime_error("new network namespace is the host's");
    return ns;
}

NetNs& NetNs::operator=(NetNs&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.fd_;
        id_ = o.id_;
        o.fd_ = -1;
    }
    return *this;
}

NetNs::~NetNs() {
    if (fd_ >= 0) ::close(fd_);
}

void NetNs::enter() const {
    if (::setns(fd_, CLONE_NEWNET) != 0) fail("setns");
}

void NetNs::require_current(const char* what) const {
    const ino_t now = current_netns_id();
    if (now != id_ || now == host_netns_id())
        throw std::runtime_error(std::string(what) + ": not inside the lab's network namespace; refusing");
}

void NetNs::require_socket(int sock, const char* what) const {
    const ino_t s = socket_netns_id(sock);
    if (s != id_ || s == host_netns_id())
        throw std::runtime_error(std::string(what) + ": socket outside the lab's network namespace; refusing");
}

Rtnl::Rtnl() {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) fail("rtnetlink socket");
    if (socket_netns_id(fd_) == host_netns_id()) {
        ::close(fd_);
        throw std::runtime_error("rtnetlink: refusing to configure the host's network namespace");
    }
    timeval tv{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

Rtnl::~Rtnl() {
    if (fd_ >= 0) ::close(fd_);
}

// Sends one request and waits for its acknowledgement (or error).
void Rtnl::request(void* msg, std::size_t len, const char* what) {
    auto* h = static_cast<nlmsghdr*>(msg);
    h->nlmsg_seq = seq_++;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_, msg, len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) != static_cast<ssize_t>(len))
        fail(std::string("rtnetlink ") + what);
    alignas(nlmsghdr) char buf[8192];
    for (;;) {
        const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail(std::string("rtnetlink ") + what);
        int n = static_cast<int>(got);
        for (auto* r = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(r, n); r = NLMSG_NEXT(r, n)) {
            if (r->nlmsg_seq != h->nlmsg_seq) continue;
            if (r->nlmsg_type == NLMSG_ERROR) {
                const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(r));
                if (e->error != 0) fail(std::string("rtnetlink ") + what, -e->error);
                return;
            }
        }
    }
}

int Rtnl::index(const std::string& ifname) {
    Msg m(RTM_GETLINK, 0);
    m.append(link_msg());
    m.attr_str(IFLA_IFNAME, ifname);
    auto* h = static_cast<nlmsghdr*>(m.data());
    h->nlmsg_flags = NLM_F_REQUEST;
    h->nlmsg_seq = seq_++;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_, h, m.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) fail("rtnetlink getlink");
    alignas(nlmsghdr) char buf[16384];
    for (;;) {
        const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail("rtnetlink getlink " + ifname);
        int n = static_cast<int>(got);
        for (auto* r = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(r, n); r = NLMSG_NEXT(r, n)) {
            if (r->nlmsg_seq != h->nlmsg_seq) continue;
            if (r->nlmsg_type == NLMSG_ERROR) {
                const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(r));
                fail("rtnetlink getlink " + ifname, -e->error);
            }
            if (r->nlmsg_type == RTM_NEWLINK) return static_cast<const ifinfomsg*>(NLMSG_DATA(r))->ifi_index;
        }
    }
}

void Rtnl::add_bridge(const std::string& name) {
    Msg m(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    m.append(link_msg());
    m.attr_str(IFLA_IFNAME, name);
    const auto info = m.begin_nest(IFLA_LINKINFO);
    m.attr_str(IFLA_INFO_KIND, "bridge");
    m.end_nest(info);
    request(m.data(), m.size(), "add bridge");
}

void Rtnl::add_veth(const std::string& name, int master_index, const std::string& peer, int peer_ns_fd) {
    Msg m(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    m.append(link_msg());
    m.attr_str(IFLA_IFNAME, name);
    if (master_index > 0) m.attr_u32(IFLA_MASTER, static_cast<std::uint32_t>(master_index));
    const auto info = m.begin_nest(IFLA_LINKINFO);
    m.attr_str(IFLA_INFO_KIND, "veth");
    const auto data = m.begin_nest(IFLA_INFO_DATA);
    const auto peer_nest = m.begin_nest(VETH_INFO_PEER);
    m.append(link_msg());
    m.attr_str(IFLA_IFNAME, peer);
    m.attr_u32(IFLA_NET_NS_FD, static_cast<std::uint32_t>(peer_ns_fd));
    m.end_nest(peer_nest);
    m.end_nest(data);
    m.end_nest(info);
    request(m.data(), m.size(), ("add veth " + name).c_str());
}

void Rtnl::set_up(const std::string& ifname, bool up) {
    Msg m(RTM_NEWLINK, 0);
    ifinfomsg i = link_msg();
    i.ifi_flags = up ? IFF_UP : 0;
    i.ifi_change = IFF_UP;
    m.append(i);
    m.attr_str(IFLA_IFNAME, ifname);
    request(m.data(), m.size(), ("set up " + ifname).c_str());
}

void Rtnl::add_ipv4(const std::string& ifname, std::uint32_t address, int prefix) {
    const int idx = index(ifname);
    Msg m(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
    ifaddrmsg a{};
    a.ifa_family = AF_INET;
    a.ifa_prefixlen = static_cast<unsigned char>(prefix);
    a.ifa_scope = RT_SCOPE_UNIVERSE;
    a.ifa_index = static_cast<unsigned>(idx);
    m.append(a);
    const std::uint32_t net = htonl(address);
    const std::uint32_t brd = htonl(address | (0xffffffffu >> prefix));
    m.attr(IFA_LOCAL, &net, 4);
    m.attr(IFA_ADDRESS, &net, 4);
    m.attr(IFA_BROADCAST, &brd, 4);
    request(m.data(), m.size(), ("add address on " + ifname).c_str());
}

bool set_net_sysctl(const std::string& path, const std::string& value) {
    const int fd = ::open(("/proc/sys/net/" + path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    ::close(fd);
    return ok;
}

}  // namespace lab
