// Download and log-clearing jobs over a scripted channel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "Fake.h"
#include "Jobs.h"

using namespace tavik;
using namespace tavik::test;

namespace {
struct Report {
    std::uint32_t op;
    std::uint8_t percent;
};
std::vector<Report> g_reports;
void Record(std::uint32_t op, std::uint8_t* percent, std::uint32_t one) {
    EXPECT_EQ(one, 1u);
    g_reports.push_back({op, *percent});
}

std::vector<std::uint8_t> File(std::size_t header, std::size_t data) {
    std::vector<std::uint8_t> f(header + data);
    for (std::size_t i = 0; i < data; ++i) f[header + i] = static_cast<std::uint8_t>(i);
    return f;
}
}  // namespace

class JobsTest : public ::testing::Test {
protected:
    void SetUp() override { g_reports.clear(); }
    // Acknowledges every request with its own code.
    void Echo() {
        channel.responder = [this](const Packet& p) { channel.Queue(Reply({p[0]})); };
    }
    FakeTiming timing;
    FakeChannel channel{timing};
    Link link{channel, timing};
    std::atomic<bool> abort{false};
    Progress progress{Record};
};

TEST_F(JobsTest, FirmwareOf600BytesIsTenChunksThenClosing) {
    Echo();
    auto file = File(512, 600);
    ASSERT_TRUE(RunDownload(link, ImageKind::Firmware, file, progress, abort));
    auto w = channel.Written();
    ASSERT_EQ(w.size(), 11u);
    for (unsigned i = 0; i < 10; ++i) {
        EXPECT_EQ(w[i][0], 0x09);
        EXPECT_EQ(w[i][1], 60);
        EXPECT_EQ(ReadU16Le(w[i], 2), i);
        EXPECT_EQ(w[i][4], static_cast<std::uint8_t>(i * 60));
    }
    EXPECT_EQ(w[10][0], 0x09);
    EXPECT_EQ(w[10][1], 0x00);
    EXPECT_EQ(w[10][2], 0xFF);
    std::vector<int> pct;
    for (auto& r : g_reports) {
        EXPECT_EQ(r.op, 0u);
        pct.push_back(r.percent);
    }
    EXPECT_EQ(pct, (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 99, 100}));
    EXPECT_EQ(timing.pauses, (std::vector<int>{3000, 1000}));
}

TEST_F(JobsTest, PadDataNumbersChunksBigEndianAndLastFFFF) {
    Echo();
    auto file = File(1056, 121);
    ASSERT_TRUE(RunDownload(link, ImageKind::PadData, file, progress, abort));
    auto w = channel.Written();
    ASSERT_EQ(w.size(), 4u);  // start request, three chunks, no closing request
    EXPECT_EQ(w[0][0], 0x10);
    EXPECT_EQ(w[0][1], 0);
    EXPECT_EQ(w[0][2], 0);
    EXPECT_EQ(w[0][3], 60);
    const int numbers[3][3] = {{0x00, 0x01, 60}, {0x00, 0x02, 60}, {0xFF, 0xFF, 1}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(w[1 + i][1], numbers[i][0]);
        EXPECT_EQ(w[1 + i][2], numbers[i][1]);
        EXPECT_EQ(w[1 + i][3], numbers[i][2]);
    }
    EXPECT_EQ(w[3][4], 120);  // the 121st data byte
    EXPECT_EQ(g_reports.back().op, 2u);
    EXPECT_EQ(g_reports.back().percent, 100);
    EXPECT_EQ(timing.pauses, (std::vector<int>{1000, 2000, 1000}));
}

TEST_F(JobsTest, UnacknowledgedChunkReports255) {
    int n = 0;
    channel.responder = [&](const Packet& p) {
        if (n++ < 3) channel.Queue(Reply({p[0]}));
    };
    auto file = File(512, 600);
    EXPECT_FALSE(RunDownload(link, ImageKind::Fpga, file, progress, abort));
    EXPECT_EQ(channel.Written().size(), 4u);
    ASSERT_FALSE(g_reports.empty());
    EXPECT_EQ(g_reports.back().op, 1u);  // the failure report is the caller's, after the lock
    ReportDownloadFailed(progress);
    EXPECT_EQ(g_reports.back().op, 255u);
    EXPECT_EQ(g_reports.back().percent, 0);
    EXPECT_GE(timing.Elapsed(), 6000);  // later FPGA chunks get 6 s
    EXPECT_LT(timing.Elapsed(), 8000);
}

TEST_F(JobsTest, AbortStopsBeforeTheNextChunk) {
    int n = 0;
    channel.responder = [&](const Packet& p) {
        channel.Queue(Reply({p[0]}));
        if (++n == 2) abort = true;
    };
    auto file = File(512, 600);
    EXPECT_FALSE(RunDownload(link, ImageKind::Firmware, file, progress, abort));
    EXPECT_EQ(channel.Written().size(), 2u);
    EXPECT_EQ(g_reports.size(), 1u);
}

TEST_F(JobsTest, ClearLogWithoutReplyReportsFortyStepsBelow100) {
    channel.responder = [&](const Packet& p) {
        if (p[0] == code::LogNum) channel.Queue(Reply({0x11, 0, 2, 0}));
    };
    timing.realMs = 1;
    EXPECT_FALSE(RunClearLog(link, progress, abort, [] { return true; }));
    ASSERT_EQ(g_reports.size(), 40u);
    EXPECT_EQ(g_reports.front().percent, 2);
    EXPECT_EQ(g_reports.back().percent, 99);
    for (auto& r : g_reports) EXPECT_EQ(r.op, 3u);
    auto w = channel.Written();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1][0], 0x0C);
}

TEST_F(JobsTest, ClearLogReplyEndsWith100AndEndRequest) {
    channel.responder = [&](const Packet& p) {
        if (p[0] == code::LogNum) channel.Queue(Reply({0x11, 0, 3, 0}));
        if (p[0] == code::ClearLog) channel.Queue(Reply({0x0C}));
    };
    timing.realMs = 2;
    EXPECT_TRUE(RunClearLog(link, progress, abort, [] { return true; }));
    ASSERT_GE(g_reports.size(), 2u);
    EXPECT_EQ(g_reports.back().percent, 100);
    EXPECT_LT(g_reports.size(), 60u);
    auto w = channel.Written();
    EXPECT_EQ(w.back()[0], 0xFF);
    EXPECT_EQ(w.back()[1], 0);
}

TEST_F(JobsTest, ClearLogWithNoLogsFailsAtOnce) {
    channel.responder = [&](const Packet& p) {
        if (p[0] == code::LogNum) channel.Queue(Reply({0x11, 0, 0, 0}));
    };
    EXPECT_FALSE(RunClearLog(link, progress, abort, [] { return true; }));
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(JobsTest, ClearLogStopsWhenAborted) {
    channel.responder = [&](const Packet& p) {
        if (p[0] == code::LogNum) channel.Queue(Reply({0x11, 0, 5, 0}));
    };
    int calls = 0;
    EXPECT_FALSE(RunClearLog(link, progress, abort, [&] {
        if (++calls == 4) abort = true;
        return true;
    }));
    EXPECT_EQ(g_reports.size(), 3u);  // three steps; the failure report is the caller's
    EXPECT_NE(g_reports.back().percent, 0xFF);
}

// Termination aborts and then waits for the slot to be idle. Whoever sees a
// claim (busy) must also see the slot not idle, and an abort given once the
// claim is visible must survive it: the claim clears an older abort only.
// The aborter starts looking before each claim, so every round races the
// claim's flag changes. A wait spins tight only briefly (the race needs the
// aborter looking while the claim happens) and then yields on every turn, so
// on a loaded machine the threads hand over through the scheduler instead of
// burning their slices; the rounds end after a few seconds however far they got.
TEST(JobFlags, AnAbortAfterTheClaimIsKeptAndTheClaimNeverLooksIdle) {
    Jobs jobs;
    constexpr int kRounds = 100000;
    constexpr auto kBudget = std::chrono::seconds(5);
    std::atomic<bool> over{false};
    constexpr int kTightSpins = 2000;
    auto spin = [](int& spins) {
        if (++spins > kTightSpins) std::this_thread::yield();
    };
    // Waits for v to reach r, or for the rounds to be over.
    auto waitFor = [&](const std::atomic<int>& v, int r) {
        for (int spins = 0; v.load() != r && !over.load();) spin(spins);
        return v.load() == r;
    };
    std::atomic<int> armed{0}, looking{0}, done{0};
    std::atomic<int> sawIdle{0};
    std::thread aborter([&] {
        for (int r = 1; r <= kRounds && waitFor(armed, r); ++r) {
            looking.store(r);
            for (int spins = 0; !jobs.Busy();) spin(spins);
            jobs.RequestAbort();
            if (jobs.Idle()) ++sawIdle;
            done.store(r);
        }
    });
    int lost = 0, rounds = 0;
    const auto end = std::chrono::steady_clock::now() + kBudget;
    for (int r = 1; r <= kRounds && std::chrono::steady_clock::now() < end; ++r) {
        armed.store(r);
        waitFor(looking, r);
        ASSERT_TRUE(jobs.TryClaim());
        waitFor(done, r);
        if (!jobs.AbortFlag().load()) ++lost;
        jobs.Release();
        rounds = r;
    }
    over.store(true);
    aborter.join();
    EXPECT_EQ(lost, 0) << "of " << rounds << " rounds";
    EXPECT_EQ(sawIdle.load(), 0) << "of " << rounds << " rounds";
}
