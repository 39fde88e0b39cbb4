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
#include <vector>

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

namespace {
// What a fixed series of exports gives on a freshly opened device of a type:
// each result and output, in order.
std::vector<std::vector<std::uint8_t>> Series(int type) {
    std::vector<std::vector<std::uint8_t>> out;
    if (!Open(type)) return out;
    const auto add = [&](std::uint16_t ok, const void* data, std::size_t n) {
        std::vector<std::uint8_t> v{static_cast<std::uint8_t>(ok)};
        const auto* b = static_cast<const std::uint8_t*>(data);
        v.insert(v.end(), b, b + n);
        out.push_back(v);
    };
    std::uint32_t status = 0, r5 = 0, r6 = 0;
    std::uint8_t media[64] = {}, image[256] = {};
    EepromChunk c0{}, c1{};
    add(Tavik_GetLinkStatus(&status), &status, 4);                    // Deadline
    add(Tavik_ReadReg(5, &r5), &r5, 4);                               // Counted
    add(Tavik_ReadReg(6, &r6), &r6, 4);
    add(Tavik_GetEeprom(0, 58, &c0), c0.bytes, sizeof c0.bytes);       // Busy deadline
    add(Tavik_GetEeprom(58, 58, &c1), c1.bytes, sizeof c1.bytes);
    add(ReadEeprom(0, 256, image) ? 1 : 0, image, sizeof image);
    add(Tavik_SetRGTestConfig(TavikRGTestConfig{}), nullptr, 0);     // Chunked upload
    add(Tavik_StartRGTest(), nullptr, 0);                             // Raw
    add(Tavik_GetMediaConfig(media), media, sizeof media);            // Deadline
    Tavik_TerminateProcess();
    return out;
}
}  // namespace

// The stale, wrong-echo, short and 0xFF-copy faults give the same results,
// reply for reply, in both pacings.
TEST(PacingFaults, SameResultsInBothPacings) {
    for (int type = 1; type <= 4; ++type) {
        SCOPED_TRACE(type);
        ::setenv("TAVIKAPI_ORIGINAL_TIMING", "1", 1);
        const auto original = Series(type);
        ::unsetenv("TAVIKAPI_ORIGINAL_TIMING");
        const auto paced = Series(type);
        ASSERT_EQ(original.size(), 9u);
        EXPECT_EQ(paced, original);
        if (type == 1) {  // stale replies of other addresses never count: the image is the device's
            EXPECT_EQ(paced[5][0], 1);
            EXPECT_EQ(paced[5][1 + 76], 'A');
            EXPECT_EQ(paced[5][1 + 77], 'L');
        }
        if (type == 2) {
            EXPECT_EQ(paced[3][0], 0);  // an EEPROM reply must echo its address
        }
    }
}
