#pragma once
// A scripted report channel and a scripted clock for the exchange patterns.
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Channel.h"
#include "Timing.h"
#include "Wire.h"

namespace tavik::test {

// Time moves only when a pause runs or a read finds nothing (a read waits
// its full second then). `realMs` adds a real sleep to each, for tests with
// a second thread.
class FakeTiming final : public Timing {
public:
    Clock::time_point Now() override {
        std::lock_guard g(m);
        return t;
    }
    void Pause(int ms) override {
        Advance(ms);
        pauses.push_back(ms);
        if (realMs) std::this_thread::sleep_for(std::chrono::milliseconds(realMs));
    }
    void Advance(int ms) {
        std::lock_guard g(m);
        t += std::chrono::milliseconds(ms);
    }
    int Elapsed() {
        std::lock_guard g(m);
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::time_point{}).count());
    }
    std::vector<int> pauses;
    int realMs = 0;

private:
    std::mutex m;
    Clock::time_point t{};
};

inline Packet Reply(std::initializer_list<std::uint8_t> head) {
    Packet p{};
    std::size_t i = 0;
    for (auto b : head) p[i++] = b;
    return p;
}

// Replies come from a queue that the test fills, or from a responder called
// on every request. An empty queue reads as a silent second.
class FakeChannel final : public Channel {
public:
    explicit FakeChannel(FakeTiming& timing) : m_timing(timing) {}

    std::size_t Write(const std::uint8_t* packet) override {
        Packet p{};
        std::copy(packet, packet + 64, p.begin());
        std::function<void(const Packet&)> r;
        {
            std::lock_guard g(m);
            written.push_back(p);
            if (failWrites) return 0;
            r = responder;
        }
        if (r) r(p);
        return 64;
    }

    std::size_t Read(std::uint8_t* packet) override {
        std::optional<Packet> next;
        {
            std::lock_guard g(m);
            ++reads;
            if (!queue.empty()) {
                next = queue.front();
                queue.pop_front();
            }
        }
        if (!next) {
            m_timing.Advance(kReadLimitMs);
            if (m_timing.realMs) std::this_thread::sleep_for(std::chrono::milliseconds(m_timing.realMs));
            return 0;
        }
        std::copy(next->begin(), next->end(), packet);
        return 64;
    }

    void Queue(const Packet& p) {
        std::lock_guard g(m);
        queue.push_back(p);
    }
    void QueueSilence() {
        std::lock_guard g(m);
        queue.push_back(std::nullopt);
    }
    int Reads() {
        std::lock_guard g(m);
        return reads;
    }
    std::vector<Packet> Written() {
        std::lock_guard g(m);
        return written;
    }

    std::function<void(const Packet&)> responder;
    bool failWrites = false;

private:
    std::mutex m;
    FakeTiming& m_timing;
    std::deque<std::optional<Packet>> queue;
    std::vector<Packet> written;
    int reads = 0;
};

}  // namespace tavik::test
