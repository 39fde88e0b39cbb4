// Exchange patterns over a scripted channel and clock.
#include <gtest/gtest.h>

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
