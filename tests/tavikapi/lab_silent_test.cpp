// Silent devices: every export gives up at its own limit, leaves its output
// untouched, and no read waits longer than its second.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "LabSupport.h"

using namespace labtest;

namespace {
using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

class Silent : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { ASSERT_TRUE(Open(GetParam())); }
    void TearDown() override { Tavik_TerminateProcess(); }
};

TEST_P(Silent, EachExportGivesUpAtItsLimit) {
    const std::string device = GetParam() == 1 ? "alda-silent" : "brisa-silent";
    auto mark = RecordMark();
    const double cpu0 = CpuSeconds();
    std::uint8_t media[64];
    std::memset(media, 0xEE, sizeof media);
    auto t0 = Clock::now();
    EXPECT_EQ(Tavik_GetMediaConfig(media), 0);  // Deadline 2 s
    EXPECT_GE(Since(t0), 2.0);
    EXPECT_LT(Since(t0), 3.3);
    EXPECT_EQ(media[0], 0xEE);

    std::uint32_t v = 0xDEADBEEF;
    t0 = Clock::now();
    EXPECT_EQ(Tavik_ReadReg(7, &v), 0);  // Counted: 150 ms and three reads
    EXPECT_GE(Since(t0), 3.1);
    EXPECT_LT(Since(t0), 4.5);
    EXPECT_EQ(v, 0xDEADBEEFu);

    EepromChunk chunk;
    std::memset(&chunk, 0xEE, sizeof chunk);
    t0 = Clock::now();
    EXPECT_EQ(Tavik_GetEeprom(0, 58, &chunk), 0);  // Busy deadline 50 ms + 2 s
    EXPECT_GE(Since(t0), 2.0);
    EXPECT_LT(Since(t0), 3.3);
    EXPECT_EQ(chunk.bytes[4], 0xEE);

    CounterRecord counters;
    std::memset(&counters, 0xEE, sizeof counters);
    t0 = Clock::now();
    EXPECT_EQ(Tavik_GetCounter(&counters, 1), 0);  // piece 0: eight reads, then stop
    EXPECT_GE(Since(t0), 8.0);
    EXPECT_LT(Since(t0), 10.0);
    EXPECT_EQ(counters.bytes[220], 0xEE);

    // About 15 s of waiting: the waits sleep, they never spin.
    EXPECT_LT(CpuSeconds() - cpu0, 0.5);

    auto req = RequestsSince(mark, device);
    ASSERT_EQ(req.size(), 4u);  // one request each; the counter stopped at piece 0
    EXPECT_EQ(req[3].bytes[0], 0x1E);
    EXPECT_EQ(req[3].bytes[2], 0);
}

TEST_P(Silent, RawFrameGivesUpAfterFiftyReads) {
    if (GetParam() != 1) GTEST_SKIP() << "one kind is enough for the 52 s wait";
    TavikRawFrame frame{};
    frame.bytes[0] = 0x71;
    const auto t0 = Clock::now();
    EXPECT_EQ(Tavik_SendFrame(frame), 0);
    EXPECT_GE(Since(t0), 50.0);
    EXPECT_LT(Since(t0), 56.0);
}

TEST_P(Silent, LogClearingThatCannotReadTheLogCountEndsWithItsFailureReport) {
    if (GetParam() != 1) GTEST_SKIP() << "one kind is enough";
    ResetReports();
    EXPECT_EQ(Tavik_ClearLog(OnProgress), 1);
    ASSERT_TRUE(WaitReport(IsFinal, 15));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].op, 3u);
    EXPECT_EQ(reports[0].percent, 0xFF);
}

INSTANTIATE_TEST_SUITE_P(Lab, Silent, ::testing::Values(1, 2),
                         [](const auto& info) { return info.param == 1 ? "hid" : "mpusb"; });

// A pad-data start request that is never acknowledged: the job gives up
// after its 201 reads and ends with exactly one failure report. The device
// sends busy reports meanwhile, so no read waits out its second and the
// reads take about 10 s (a silent device would take 211 s).
TEST(PadStart, UnacknowledgedStartEndsWithOneFailureReport) {
    ResetReports();
    ASSERT_TRUE(Open(4));
    const std::string pad = WritePadData("pad-busy.bin", 121);
    const auto mark = RecordMark();
    const double t0 = Now();
    ASSERT_EQ(Tavik_DownloadVessa(pad.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    ASSERT_TRUE(WaitReport(IsFinal, 30));
    EXPECT_NE(Tavik_TerminateProcess(), 0);  // the job has ended
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].op, 255u);
    EXPECT_EQ(reports[0].percent, 0);
    EXPECT_GE(reports[0].time - t0, 201 * 0.05);  // 201 reads, 50 ms after each
    EXPECT_LT(reports[0].time - t0, 20.0);
    const auto req = RequestsSince(mark, "aldaplus-padbusy");
    ASSERT_EQ(req.size(), 1u);  // the start request; no data chunk follows it
    EXPECT_EQ(req[0].bytes[0], 0x10);
    EXPECT_EQ(req[0].bytes[1] | req[0].bytes[2], 0);
    EXPECT_EQ(req[0].bytes[3], 60);
}

TEST(Vanish, DeviceGoneOnItsFirstRequest) {
    ASSERT_TRUE(Open(3));
    std::uint32_t v = 0xDEADBEEF;
    auto t0 = Clock::now();
    EXPECT_EQ(Tavik_ReadReg(1, &v), 0);
    EXPECT_LT(Since(t0), 4.5);
    EXPECT_EQ(v, 0xDEADBEEFu);
    t0 = Clock::now();
    EXPECT_EQ(Tavik_GetMediaConfig(reinterpret_cast<std::uint8_t*>(&v)), 0);
    EXPECT_LT(Since(t0), 3.3);
    EXPECT_EQ(Tavik_FindDevice(), 0);
    EXPECT_NE(Tavik_TerminateProcess(), 0);
    EXPECT_EQ(Tavik_DetectDevice(3), 0);
    EXPECT_EQ(Tavik_ConnectToDevice(), 0);  // the list is empty now
}
