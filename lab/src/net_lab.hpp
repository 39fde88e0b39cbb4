// The lab's network: a fresh namespace for the command (lo, and with network
// devices lab0 = 198.18.0.1/24 and lab1 = 198.18.1.1/24), a switch namespace
// with one bridge per lan, and one namespace per simulated instrument with a
// veth to its lan's bridge. One thread polls every instrument's sockets.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "config.hpp"
#include "net_device.hpp"
#include "netns.hpp"

namespace lab {

class NetLab {
public:
    // Moves the calling thread into the command's new namespace and builds the
    // network there and around it; the calling thread stays in the command's
    // namespace. Call before other threads exist. Throws std::runtime_error.
    explicit NetLab(const LabConfig& cfg);
    ~NetLab();
    NetLab(const NetLab&) = delete;
    NetLab& operator=(const NetLab&) = delete;

    const NetNs& command_ns() const { return cmd_; }
    // Ends the chassis servers and whatever the command left running in its
    // namespace; called when the command has ended.
    void end_leftovers();
    double setup_ms() const { return setup_ms_; }

private:
    struct Endpoint;
    // A reply held back by fault=late.
    struct Timed {
        std::uint64_t endpoint = 0;
        net::Bytes bytes;
        std::uint32_t to_addr = 0;  // UDP destination (network byte order)
        std::uint16_t to_port = 0;
    };

    void build(const LabConfig& cfg);
    void open_sockets(const NetNs& ns, NetDevice& dev);
    void run();
    void on_udp(Endpoint& ep);
    void on_echo(Endpoint& ep);
    void on_accept(Endpoint& ep);
    void on_conn(Endpoint& ep);
    void send_or_schedule(Endpoint& ep, std::vector<NetOutgoing> out, std::uint32_t to_addr, std::uint16_t to_port);
    void send_now(Endpoint& ep, net::Bytes bytes, std::uint32_t to_addr, std::uint16_t to_port);
    void flush(Endpoint& ep);
    void close_endpoint(std::uint64_t id);
    void unplug_if_due(NetDevice& dev);
    void start_server(const NetDeviceConfig& dc);

    NetNs cmd_;
    NetNs switch_;
    std::vector<NetNs> device_ns_;
    std::vector<std::unique_ptr<NetDevice>> devices_;
    std::map<const NetDevice*, std::unique_ptr<Rtnl>> links_;  // each instrument's own rtnetlink

    std::map<std::uint64_t, std::unique_ptr<Endpoint>> endpoints_;
    std::multimap<std::int64_t, Timed> timers_;  // by due time (monotonic ns)
    std::uint64_t next_id_ = 1;
    int wake_fd_ = -1;
    std::thread thread_;
    double setup_ms_ = 0;
    std::vector<int> servers_;  // chassis-server processes (kind zelserver), by pid
};

}  // namespace lab
