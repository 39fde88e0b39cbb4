// Network namespaces of the lab and the few rtnetlink requests that wire them.
// Namespaces are held by file descriptors only (nothing under /run/netns), so
// they, and every interface in them, vanish with the lab process, however it
// ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace lab {

// Identity (inode) of the network namespace the program started in. Recorded
// by the first call, which must happen before anything leaves it.
ino_t host_netns_id();

// Without the right to make network namespaces (not root), makes the process
// the owner of a new user namespace in which it has it; the user and group
// ids stay what they were. Call while the process has one thread. Throws.
void gain_namespace_rights();

class NetNs {
public:
    // Moves the calling thread into a new, empty network namespace and returns it.
    static NetNs create();
    NetNs() = default;
    NetNs(NetNs&& o) noexcept : fd_(o.fd_), id_(o.id_) { o.fd_ = -1; }
    NetNs& operator=(NetNs&& o) noexcept;
    ~NetNs();

    int fd() const { return fd_; }
    ino_t id() const { return id_; }
    // Moves the calling thread into this namespace.
    void enter() const;
    // Throws unless the calling thread is in this namespace (never the host's).
    void require_current(const char* what) const;
    // Throws unless the socket belongs to this namespace (never the host's).
    void require_socket(int sock, const char* what) const;

private:
    int fd_ = -1;
    ino_t id_ = 0;
};

// Namespace of the calling thread / of a socket.
ino_t current_netns_id();
ino_t socket_netns_id(int sock);

// An rtnetlink socket; it acts on the namespace it was opened in.
class Rtnl {
public:
    Rtnl();  // in the calling thread's namespace
    ~Rtnl();
    Rtnl(const Rtnl&) = delete;
    Rtnl& operator=(const Rtnl&) = delete;

    int index(const std::string& ifname);
    void add_bridge(const std::string& name);
    // A veth pair: `name` here (enslaved to master_index when > 0), `peer` in
    // the namespace of peer_ns_fd.
    void add_veth(const std::string& name, int master_index, const std::string& peer, int peer_ns_fd);
    void set_up(const std::string& ifname, bool up = true);
    void add_ipv4(const std::string& ifname, std::uint32_t address, int prefix);

private:
    void request(void* msg, std::size_t len, const char* what);
    int fd_ = -1;
    std::uint32_t seq_ = 1;
};

// Writes a sysctl under /proc/sys/net of the calling thread's namespace; false on failure.
bool set_net_sysctl(const std::string& path, const std::string& value);

}  // namespace lab
