// The exchange patterns' own cost, without any transport or pause: an
// instant channel that answers every request at once, and pauses that only
// count. What is left is the library's work per exchange.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Exchange.h"

using namespace tavik;

namespace {
class InstantChannel final : public Channel {
public:
    std::size_t Write(const std::uint8_t* p) override {
        std::memcpy(m_last, p, 64);
        return 64;
    }
    std::size_t Read(std::uint8_t* p) override {
        std::memcpy(p, m_last, 64);
        return 64;
    }

private:
    std::uint8_t m_last[64] = {};
};

class NoPause final : public Timing {
public:
    Clock::time_point Now() override { return Clock::now(); }
    void Pause(int ms) override { paused += ms; }
    long long paused = 0;
};
}  // namespace

int main() {
    InstantChannel ch;
    NoPause t;
    Link link{ch, t};
    constexpr int kN = 200000;
    Packet reply{};
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kN; ++i) Counted(link, ReadRegRequest(static_cast<std::uint32_t>(i)), 3, ByCode(code::ReadReg), &reply);
    const double counted = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / kN;
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kN; ++i) BusyDeadline(link, EepromReadRequest(0, 58), 50, 2000, ByCode(code::GetEeprom), &reply);
    const double busy = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / kN;
    std::printf("pattern cost: Counted %.3f us/exchange, Busy deadline %.3f us/exchange (no transport, no pause)\n",
                counted, busy);
    return 0;
}
