// Exchange patterns over a scripted channel and clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "Exchange.h"
#include "Fake.h"

using namespace tavik;
using namespace tavik::test;

class Patterns : public ::testing::Test {
protected:
    FakeTiming timing;
    FakeChannel channel{timing};
    Link link{channel, timing};
};

TEST_F(Patterns, CountedSkipsFFRepliesAndTakesFirstMatch) {
    channel.Queue(Reply({0xFF, 0, 0, 0, 1, 2, 3, 4}));
    channel.Queue(Reply({0x01, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}));
    Packet reply{};
    ASSERT_TRUE(Counted(link, ReadRegRequest(5), 3, ByCode(code::ReadReg), &reply));
    EXPECT_EQ(ReadU32Le(reply, 4), 0x12345678u);
    EXPECT_EQ(channel.Reads(), 2);
    EXPECT_EQ(timing.pauses, (std::vector<int>{150, 50}));
}

TEST_F(Patterns, CountedFailsAfterTheNthRead) {
    for (int i = 0; i < 5; ++i) channel.Queue(Reply({0xFF}));
    Packet reply = Reply({0xAA});
    EXPECT_FALSE(Counted(link, ReadRegRequest(5), 3, ByCode(code::ReadReg), &reply));
    EXPECT_EQ(channel.Reads(), 3);
    EXPECT_EQ(reply[0], 0xAA);  // untouched
}

TEST_F(Patterns, DeadlineGivesUpAtItsLimit) {
    // Silent device: every read waits a second, 50 ms after each.
    EXPECT_FALSE(Deadline(link, Request(code::StartTx), 2000, ByCode(code::StartTx), nullptr));
    EXPECT_GE(timing.Elapsed(), 2000);
    EXPECT_LT(timing.Elapsed(), 3200);
    EXPECT_EQ(channel.Reads(), 2);
}

TEST_F(Patterns, DeadlineDropsOtherCodesUntilItsOwn) {
    channel.Queue(Reply({0x1B}));
    channel.Queue(Reply({0x23}));
    EXPECT_TRUE(Deadline(link, Request(code::StartTx), 2000, ByCode(code::StartTx), nullptr));
    EXPECT_EQ(timing.pauses, (std::vector<int>{50}));
}

TEST_F(Patterns, DeadlineWithPauseStartsItsClockAfterThePause) {
    EXPECT_FALSE(Deadline(link, Request(code::WlanCommand), 1000, ByCode(code::WlanCommand), nullptr, 50));
    EXPECT_EQ(timing.pauses.front(), 50);
    EXPECT_EQ(channel.Reads(), 1);
}

TEST_F(Patterns, BusyDeadlineReadsWithoutPause) {
    channel.Queue(Reply({0x11}));
    channel.Queue(Reply({0x11}));
    channel.Queue(Reply({0x12, 0, 0, 0, 0, 0, 0xAB}));
    Packet reply{};
    EXPECT_TRUE(BusyDeadline(link, EepromReadRequest(0, 58), 50, 2000, ByCode(code::GetEeprom), &reply));
    EXPECT_EQ(reply[6], 0xAB);
    EXPECT_EQ(timing.pauses, (std::vector<int>{50}));
}

TEST_F(Patterns, RawAcceptsAnyReply) {
    channel.QueueSilence();
    channel.Queue(Reply({0x42}));
    EXPECT_TRUE(Raw(link, Request(code::RGTestStart), nullptr));
    EXPECT_EQ(channel.Reads(), 2);
}

TEST_F(Patterns, RawGivesUpAfterFiftyReads) {
    EXPECT_FALSE(Raw(link, Request(code::RGTestStop), nullptr));
    EXPECT_EQ(channel.Reads(), 50);
}

TEST_F(Patterns, ChunkedUploadStopsAtUnacknowledgedChunkZero) {
    for (int i = 0; i < 10; ++i) channel.Queue(Reply({0x07}));
    std::uint8_t task[75] = {};
    EXPECT_FALSE(ChunkedUpload(link, TaskUploadRequests(task)));
    EXPECT_EQ(channel.Written().size(), 1u);  // chunk 1 never sent
    EXPECT_EQ(channel.Reads(), 6);
}

TEST_F(Patterns, ChunkedUploadGivesLaterChunksTenReads) {
    channel.Queue(Reply({0x06}));
    for (int i = 0; i < 9; ++i) channel.Queue(Reply({0x07}));
    channel.Queue(Reply({0x06}));
    std::uint8_t task[75] = {};
    EXPECT_TRUE(ChunkedUpload(link, TaskUploadRequests(task)));
    EXPECT_EQ(channel.Written().size(), 2u);
    EXPECT_EQ(channel.Reads(), 11);
}

TEST_F(Patterns, PieceReadsWithoutInitialPause) {
    channel.Queue(Reply({0x1E}));
    EXPECT_TRUE(Piece(link, CounterRequest(0, 1), 8, ByCode(code::GetCounter), nullptr));
    EXPECT_TRUE(timing.pauses.empty());
}

TEST_F(Patterns, UnsentRequestFailsAtOnce) {
    channel.failWrites = true;
    EXPECT_FALSE(Deadline(link, Request(code::StartTx), 2000, ByCode(code::StartTx), nullptr));
    EXPECT_EQ(channel.Reads(), 0);
}

// Pacing of every pattern, in both pacings (TAVIKAPI_ORIGINAL_TIMING): a
// reply that is there at once is read without the pause before the first
// read (paced) or after it (original); a reply in the last read that the
// pause-first order makes is still taken; silence costs exactly what the
// pause-first order costs. A silent read takes its full second on the fake
// clock.
class Pacing : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) ::setenv("TAVIKAPI_ORIGINAL_TIMING", "1", 1);
        else ::unsetenv("TAVIKAPI_ORIGINAL_TIMING");
    }
    void TearDown() override { ::unsetenv("TAVIKAPI_ORIGINAL_TIMING"); }
    bool Original() const { return GetParam(); }
};

namespace {
struct PatternCase {
    const char* name;
    int firstPauseMs;  // the pause before the first read
    int lastReadAt;    // when the last read starts in the pause-first order
    int silentMs;      // what silence costs in that order
    int reads;         // reads made before giving up
    std::function<bool(Link, Packet*)> run;
};

std::vector<PatternCase> PatternCases() {
    const auto any = [](const Packet&) { return true; };
    return {
        {"Deadline", 0, 1050, 2100, 2, [=](Link l, Packet* r) { return Deadline(l, Request(0x1B), 2000, any, r); }},
        {"Deadline after a pause", 50, 50, 1100, 1,
         [=](Link l, Packet* r) { return Deadline(l, Request(0x30), 1000, any, r, kRetryPauseMs); }},
        {"Busy deadline", 50, 1050, 2050, 2,
         [=](Link l, Packet* r) { return BusyDeadline(l, Request(0x12), 50, 2000, any, r); }},
        {"Counted", 150, 2250, 3250, 3, [=](Link l, Packet* r) { return Counted(l, Request(0x01), 3, any, r); }},
        {"Piece", 0, 7350, 8350, 8, [=](Link l, Packet* r) { return Piece(l, Request(0x1E), 8, any, r); }},
        {"Raw", 150, 150 + 49 * 1050, 150 + 49 * 1050 + 1000, 50,
         [=](Link l, Packet* r) { return Raw(l, Request(0x71), r); }},
        {"Chunked upload", 0, 5250, 6250, 6, [=](Link l, Packet*) { return ChunkedUpload(l, {Request(0x70)}); }},
    };
}
}  // namespace

TEST_P(Pacing, EachPatternTakesAPromptReplyAtOnceALateOneInTimeAndGivesUpAtTheFullLimit) {
    for (const auto& c : PatternCases()) {
        SCOPED_TRACE(c.name);
        {  // at once: no pause before the read when paced
            FakeTiming timing;
            FakeChannel channel{timing};
            channel.Queue(Reply({0x70, 0x42}));
            Packet reply{};
            ASSERT_TRUE(c.run(Link{channel, timing}, &reply));
            EXPECT_EQ(channel.Reads(), 1);
            const std::vector<int> pauses =
                Original() && c.firstPauseMs > 0 ? std::vector<int>{c.firstPauseMs} : std::vector<int>{};
            EXPECT_EQ(timing.pauses, pauses);
        }
        {  // in the last read: every read before it silent
            FakeTiming timing;
            FakeChannel channel{timing};
            for (int i = 0; i + 1 < c.reads; ++i) channel.QueueSilence();
            channel.Queue(Reply({0x70, 0x42}));
            ASSERT_TRUE(c.run(Link{channel, timing}, nullptr));
            EXPECT_EQ(channel.Reads(), c.reads);
            if (Original() || c.reads > 1) EXPECT_EQ(timing.Elapsed(), c.lastReadAt);
            else EXPECT_EQ(timing.Elapsed(), 0);  // paced reads the first time at once
        }
        {  // silence: the full limit in both pacings, and not one read more
            FakeTiming timing;
            FakeChannel channel{timing};
            EXPECT_FALSE(c.run(Link{channel, timing}, nullptr));
            EXPECT_EQ(timing.Elapsed(), c.silentMs);
            EXPECT_EQ(channel.Reads(), c.reads);
        }
    }
    {  // a pause kept for the device (an EEPROM write) comes first in both pacings
        FakeTiming timing;
        FakeChannel channel{timing};
        channel.Queue(Reply({0x13}));
        EXPECT_TRUE(BusyDeadline(Link{channel, timing}, Request(0x13), 50, 5000, ByCode(0x13), nullptr,
                                 PauseFor::Settle));
        EXPECT_EQ(timing.pauses, (std::vector<int>{50}));
    }
    // Replies that are not the awaited one: read at the old pace.
    FakeTiming timing;
    FakeChannel channel{timing};
    for (int i = 0; i < 3; ++i) channel.Queue(Reply({0xFF}));
    EXPECT_FALSE(Counted(Link{channel, timing}, Request(0x01), 3, ByCode(0x01), nullptr));
    EXPECT_EQ(timing.pauses, (std::vector<int>{150, 50, 50}));
}

INSTANTIATE_TEST_SUITE_P(Both, Pacing, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Original" : "Paced"; });
