// Report channel over the MPUSB library.
#include <algorithm>
#include <cstdio>
#include <new>
#include <thread>

#include "Channel.h"
#include "Timing.h"

namespace tavik {
namespace {

void* const kInvalid = reinterpret_cast<void*>(-1);
constexpr const char* kEndpoint = "\\MCHP_EP1";

bool Valid(void* h) { return h != nullptr && h != kInvalid; }

class MpusbChannel final : public Channel {
public:
    MpusbChannel(const MpusbEntries& mp, void* w, void* r) : m_mp(mp), m_write(w), m_read(r) {}
    ~MpusbChannel() override {
        m_mp.close(m_read);
        m_mp.close(m_write);
    }

    std::size_t Write(const std::uint8_t* packet) override {
        std::uint8_t buf[64];
        std::copy(packet, packet + 64, buf);
        std::uint32_t n = 0;
        m_mp.write(m_write, buf, 64, &n, kWriteLimitMs);
        return n > 64 ? 64 : n;
    }

    std::size_t Read(std::uint8_t* packet) override {
        if (!packet) return 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kReadLimitMs);
        std::uint8_t buf[64] = {};
        std::uint32_t n = 0;
        m_mp.read(m_read, buf, 64, &n, kReadLimitMs);
        if (n == 0) {
            // A failing device must not make a retry loop spin: the call
            // takes its full time-out, as a silent device would.
            std::this_thread::sleep_until(deadline);
            return 0;
        }
        std::copy(buf, buf + 64, packet);
        return n > 64 ? 64 : n;
    }

private:
    MpusbEntries m_mp;
    void* m_write;
    void* m_read;
};

}  // namespace

std::unique_ptr<Channel> OpenMpusbChannel(const MpusbEntries& mp, std::int32_t instance, std::uint32_t vid,
                                          std::uint32_t pid) {
    if (!mp.open || !mp.read || !mp.write || !mp.close || instance < 0) return nullptr;
    const auto index = static_cast<std::uint32_t>(instance);
    // The pair the device was found under: a device found under the second
    // pair (0x10C4) does not answer to "vid_2403&pid_1688".
    char vidPid[32];
    std::snprintf(vidPid, sizeof vidPid, "vid_%04x&pid_%04x", vid & 0xFFFFu, pid & 0xFFFFu);
    void* w = mp.open(index, vidPid, kEndpoint, 0, 0);
    void* r = mp.open(index, vidPid, kEndpoint, 1, 0);
    if (!Valid(w) || !Valid(r)) {
        if (Valid(w)) mp.close(w);
        if (Valid(r)) mp.close(r);
        return nullptr;
    }
    // Without memory for the channel the handles would be lost: close them.
    std::unique_ptr<Channel> channel(new (std::nothrow) MpusbChannel(mp, w, r));
    if (!channel) {
        mp.close(w);
        mp.close(r);
    }
    return channel;
}

}  // namespace tavik
