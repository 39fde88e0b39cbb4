// The paced waits end at their event and never later than their fixed
// length; original timing sits the full length out; Stop ends a search's
// wait at once and never a write's.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "framework/Wait.h"

namespace {
using Ms = std::chrono::milliseconds;

Ms Since(WaitClock::time_point start) { return std::chrono::duration_cast<Ms>(WaitClock::now() - start); }

struct Pair {
    int fd[2] = {-1, -1};
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~Pair() {
        close(fd[0]);
        close(fd[1]);
    }
    void Send() const { EXPECT_EQ(write(fd[1], "x", 1), 1); }
};

struct TimingMode {
    explicit TimingMode(bool original) { SetOriginalTiming(original); }
    ~TimingMode() { SetOriginalTiming(false); }
};
}  // namespace

TEST(PacedWaits, EndAtTheEventInPacedTimingAndAtTheFullLengthInOriginalTiming) {
    constexpr int kLimit = 400;
    for (const bool original : {false, true}) {
        SCOPED_TRACE(original ? "original timing" : "paced timing");
        TimingMode mode(original);
        {
            // A reply 40 ms after the request.
            Pair p;
            std::thread peer([&] {
                std::this_thread::sleep_for(Ms(40));
                p.Send();
            });
            const auto start = WaitClock::now();
            EXPECT_TRUE(PaceReadable(p.fd[0], kLimit));
            const Ms took = Since(start);
            peer.join();
            EXPECT_GE(took, Ms(40));
            if (original)
                EXPECT_GE(took, Ms(kLimit));
            else
                EXPECT_LT(took, Ms(kLimit));
        }
        {
            // A call-back's flag raised 40 ms in.
            EventFlag flag;
            std::thread callback([&] {
                std::this_thread::sleep_for(Ms(40));
                flag.Raise();
            });
            const auto start = WaitClock::now();
            EXPECT_TRUE(PaceFor(flag, kLimit));
            const Ms took = Since(start);
            callback.join();
            EXPECT_GE(took, Ms(40));
            if (original)
                EXPECT_GE(took, Ms(kLimit));
            else
                EXPECT_LT(took, Ms(kLimit));
        }
        {
            // Silence costs the full length in both pacings.
            Pair p;
            EventFlag flag;
            auto start = WaitClock::now();
            EXPECT_FALSE(PaceReadable(p.fd[0], 150));
            EXPECT_GE(Since(start), Ms(150));
            start = WaitClock::now();
            EXPECT_FALSE(PaceFor(flag, 150));
            EXPECT_GE(Since(start), Ms(150));
            start = WaitClock::now();
            FixedWait(150);
            EXPECT_GE(Since(start), Ms(150));
        }
    }
}

TEST(PacedWaits, StopEndsASearchWaitAtOnceButNeverAWriteWait) {
    constexpr int kLong = 20000;
    Pair p;
    EventFlag flag;
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        ClearStopRequest();
        std::thread stopper([] {
            std::this_thread::sleep_for(Ms(50));
            RequestStop();
        });
        const auto start = WaitClock::now();
        if (which == 0) {
            EXPECT_FALSE(PaceReadable(p.fd[0], kLong));
        } else if (which == 1) {
            EXPECT_FALSE(PaceFor(flag, kLong));
        } else {
            FixedWait(kLong);
        }
        stopper.join();
        EXPECT_LT(Since(start), Ms(kLong / 2));
    }
    // With Stop raised, a write's waits keep their length.
    const auto start = WaitClock::now();
    EXPECT_FALSE(PaceReadable(p.fd[0], 200, false));
    EXPECT_FALSE(PaceFor(flag, 200, false));
    FixedWait(200, false);
    EXPECT_GE(Since(start), Ms(600));
    // A cleared stop lets waits run again; the descriptor wait sees a reply.
    ClearStopRequest();
    p.Send();
    EXPECT_TRUE(PaceReadable(p.fd[0], kLong));
}
