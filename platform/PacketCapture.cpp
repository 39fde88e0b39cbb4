#include "PacketCapture.h"

#include <net/if.h>
#include <poll.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr int kSnapLength = 65536;
constexpr int kReadTimeoutMs = 1;
constexpr int kBufferBytes = 10 * 1024 * 1024;

// The kernel's link type and hardware address of an interface.
void KernelAddress(CaptureInterface& ni) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ifreq req{};
    std::strncpy(req.ifr_name, ni.name.c_str(), IFNAMSIZ - 1);
    if (::ioctl(fd, SIOCGIFHWADDR, &req) == 0 && req.ifr_hwaddr.sa_family == ARPHRD_ETHER) {
        ni.ethernet = true;
        std::memcpy(ni.mac.data(), req.ifr_hwaddr.sa_data, ni.mac.size());
    }
    ::close(fd);
}

}  // namespace

bool ListCaptureInterfaces(std::vector<CaptureInterface>& out, std::string& error) {
    out.clear();
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* all = nullptr;
    if (pcap_findalldevs(&all, err) != 0) {
        error = err;
        return false;
    }
    for (pcap_if_t* d = all; d; d = d->next) {
        if (!d->name) continue;
        CaptureInterface ni;
        ni.name = d->name;
        ni.description = d->description ? d->description : "";
        ni.loopback = (d->flags & PCAP_IF_LOOPBACK) != 0;
        if (ni.name != "any") KernelAddress(ni);
        out.push_back(ni);
    }
    pcap_freealldevs(all);
    return true;
}

CaptureResult PacketCapture::Open(const std::string& name, std::string& error) {
    Close();
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_create(name.c_str(), err);
    if (!p) {
        error = err;
        return CaptureResult::Failed;
    }
    pcap_set_snaplen(p, kSnapLength);
    pcap_set_promisc(p, 1);
    pcap_set_timeout(p, kReadTimeoutMs);
    pcap_set_buffer_size(p, kBufferBytes);
    const int rc = pcap_activate(p);
    if (rc < 0) {
        error = pcap_geterr(p);
        pcap_close(p);
        return rc == PCAP_ERROR_PERM_DENIED ? CaptureResult::PermissionDenied : CaptureResult::Failed;
    }
    // Our own requests are not replies: take incoming frames only.
    pcap_setdirection(p, PCAP_D_IN);
    // Reads never block in libpcap (whose time-out need not run while no
    // frame comes at all); Next waits for the read time-out itself.
    if (pcap_setnonblock(p, 1, err) != 0) {
        error = err;
        pcap_close(p);
        return CaptureResult::Failed;
    }
    m_pcap = p;
    return CaptureResult::Ok;
}

void PacketCapture::Close() {
    if (m_pcap) pcap_close(m_pcap);
    m_pcap = nullptr;
}

bool PacketCapture::Send(std::span<const std::uint8_t> frame) {
    return m_pcap && pcap_sendpacket(m_pcap, frame.data(), static_cast<int>(frame.size())) == 0;
}

int PacketCapture::Next(std::vector<std::uint8_t>& frame) {
    if (!m_pcap) return -1;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc = pcap_next_ex(m_pcap, &header, &data);
    if (rc == 0) {
        // Nothing waiting: give a frame the read time-out to come.
        const int fd = pcap_get_selectable_fd(m_pcap);
        pollfd p{fd, POLLIN, 0};
        if (fd >= 0 && ::poll(&p, 1, kReadTimeoutMs) > 0) rc = pcap_next_ex(m_pcap, &header, &data);
    }
    if (rc <= 0) return rc == 0 ? 0 : -1;
    // What arrived, never more than the capture holds.
    frame.assign(data, data + header->caplen);
    return 1;
}

int PacketCapture::SelectableFd() const { return m_pcap ? pcap_get_selectable_fd(m_pcap) : -1; }

bool RawEthernetRefused() {
    const int s = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        ::close(s);
        return false;
    }
    return errno == EPERM || errno == EACCES;
}

}  // namespace platform
