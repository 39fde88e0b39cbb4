// Pacing of the exchange patterns through the public header, in both
// pacings (TAVIKAPI_ORIGINAL_TIMING): prompt replies are read at once when
// paced and after the fixed pause when original; replies just inside a
// pattern's limit are taken; silence gives up no earlier than the full limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "LabSupport.h"

using namespace labtest;

namespace {
using Clock = std::chrono::steady_clock;

double Timed(const std::function<void()>& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The quickest of five exchanges: what the exchange itself costs, without
// the scheduling noise of a busy machine.
double Quickest(const std::function<std::uint16_t()>& exchange) {
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        std::uint16_t ok = 0;
        best = std::min(best, Timed([&] { ok = exchange(); }));
        EXPECT_EQ(ok, 1);
    }
    return best;
}

TavikWlanCommand Wlan(std::uint8_t limitByte) {
    TavikWlanCommand cmd{};
    std::strcpy(reinterpret_cast<char*>(cmd.bytes + 3), "scan");
    cmd.bytes[2] = limitByte;  // request byte 4: the limit is (min(b, 5) + 1) s
    return cmd;
}
}  // namespace

class Pacing : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) ::setenv("TAVIKAPI_ORIGINAL_TIMING", "1", 1);
        else ::unsetenv("TAVIKAPI_ORIGINAL_TIMING");
    }
    void TearDown() override {
        Tavik_TerminateProcess();
        ::unsetenv("TAVIKAPI_ORIGINAL_TIMING");
    }
    bool Original() const { return GetParam(); }
};

TEST_P(Pacing, PromptRepliesAreReadAtOnce) {
    ASSERT_TRUE(Open(1, Original() ? 1 : 0));
    // A fixed pause before the first read: paced skips it, original keeps it.
    const auto paused = [&](double fixed, const std::function<std::uint16_t()>& exchange) {
        const double took = Quickest(exchange);
        if (Original()) EXPECT_GE(took, fixed);
        else EXPECT_LT(took, fixed / 2);
    };
    EepromChunk chunk{};
    std::uint32_t v = 0;
    paused(0.150, [&] { return Tavik_ReadReg(3, &v); });                          // Counted
    paused(0.150, [] { return Tavik_StartRGTest(); });                             // Raw
    paused(0.050, [&] { return Tavik_GetEeprom(0, 58, &chunk); });                 // Busy deadline
    paused(0.050, [] { return Tavik_SendWlanCommand(Wlan(1)); });                  // Deadline after a pause
    // No pause before the first read in either pacing.
    std::uint32_t status = 0;
    EXPECT_LT(Quickest([&] { return Tavik_GetLinkStatus(&status); }), 0.025);      // Deadline
    EXPECT_LT(Quickest([] { return Tavik_SetRGTestConfig(TavikRGTestConfig{}); }), 0.025);  // Chunked upload

    // Log clearing: the device confirms 100 ms after the request. Paced ends
    // the first 500 ms wait with the confirmation; original waits it out.
    ResetReports();
    const double t0 = Now();
    ASSERT_EQ(Tavik_ClearLog(OnProgress), 1);
    ASSERT_TRUE(WaitReport(IsFinal, 20));
    const auto reports = Reports();
    EXPECT_EQ(reports.back().percent, 100);
    if (Original()) EXPECT_GE(reports.back().time - t0, 0.5);
    else EXPECT_LT(reports.back().time - t0, 0.45);
}

TEST_P(Pacing, RepliesJustInsideTheLimitAreTaken) {
    // Replies 1.9 s late: inside every 2 s limit.
    ASSERT_TRUE(Open(2));
    std::uint8_t media[64] = {};
    EepromChunk chunk{};
    EXPECT_GE(Timed([&] { EXPECT_EQ(Tavik_GetMediaConfig(media), 1); }), 1.9);  // Deadline 2000
    EXPECT_EQ(media[0], 0x1B);
    EXPECT_GE(Timed([&] { EXPECT_EQ(Tavik_GetEeprom(76, 4, &chunk), 1); }), 1.9);  // Busy deadline 50 + 2000
    EXPECT_EQ(chunk.bytes[4], 'B');
    EXPECT_EQ(chunk.bytes[5], 'R');
    EXPECT_EQ(Tavik_SendWlanCommand(Wlan(1)), 1);   // 50 ms, then Deadline 2000
    EXPECT_EQ(Tavik_SetRGTestConfig(TavikRGTestConfig{}), 1);  // Chunked: the second read
    EXPECT_EQ(Tavik_StopRGTest(), 1);               // Raw
    Tavik_TerminateProcess();

    // Replies 3.05 s late: inside the last of the three reads of a Counted
    // exchange (150 ms, then reads ending at 1150, 2200 and 3250 ms).
    ASSERT_TRUE(Open(3));
    std::uint32_t v = 0;
    EXPECT_GE(Timed([&] { EXPECT_EQ(Tavik_ReadReg(0x44, &v), 1); }), 3.05);
    EXPECT_EQ(v, 0x5A5A0044u);
}

TEST_P(Pacing, SilenceGivesUpAfterTheFullLimit) {
    ASSERT_TRUE(Open(4));
    std::uint8_t media[64] = {};
    EepromChunk chunk{};
    std::uint32_t v = 0;
    // Each floor is the pause-first order's full time (a silent read takes
    // its second, a miss its 50 ms); the ceilings allow a busy machine.
    double took = Timed([&] { EXPECT_EQ(Tavik_GetMediaConfig(media), 0); });  // 2 × (1000 + 50)
    EXPECT_GE(took, 2.095);
    EXPECT_LT(took, 3.6);
    took = Timed([&] { EXPECT_EQ(Tavik_GetEeprom(0, 58, &chunk), 0); });  // 50 + 2 × 1000
    EXPECT_GE(took, 2.045);
    EXPECT_LT(took, 3.6);
    took = Timed([&] { EXPECT_EQ(Tavik_ReadReg(7, &v), 0); });  // 150 + 3 × 1000 + 2 × 50
    EXPECT_GE(took, 3.245);
    EXPECT_LT(took, 4.8);
    took = Timed([] { EXPECT_EQ(Tavik_SendWlanCommand(Wlan(0)), 0); });  // 50 + 1000 + 50
    EXPECT_GE(took, 1.095);
    EXPECT_LT(took, 2.6);
}

INSTANTIATE_TEST_SUITE_P(Lab, Pacing, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Original" : "Paced"; });
