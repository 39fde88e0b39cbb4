// Background downloads and log clearing through the public header.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "LabSupport.h"

using namespace labtest;

namespace {
std::vector<int> Percents(const std::vector<Report>& r) {
    std::vector<int> p;
    for (auto& x : r) p.push_back(x.percent);
    return p;
}
// Waits for the job to end: TerminateProcess would stop it, so poll the
// download export (1 while busy) with a file that fails nothing but is
// refused while a job runs.
bool WaitIdle(double seconds) {
    const double end = Now() + seconds;
    while (Now() < end) {
        SystemInfoRecord info;
        if (Tavik_GetSystemInfo(&info) == 1) return true;  // refused while a job runs
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}
}  // namespace

class Downloads : public ::testing::Test {
protected:
    void SetUp() override {
        ResetReports();
        ASSERT_TRUE(Open(1));
    }
    void TearDown() override { Tavik_TerminateProcess(); }
};

TEST_F(Downloads, FirmwareProgressAndChunks) {
    const std::string fw = WriteFirmware("fw600.bin", false, 600, "Pembrix-Alda");
    const auto mark = RecordMark();
    ASSERT_EQ(Tavik_DownloadFirmware(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    // A second one while the first runs.
    EXPECT_EQ(Tavik_DownloadFirmware(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_BUSY);
    EXPECT_EQ(Tavik_ClearLog(OnProgress), 0);
    SystemInfoRecord info;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavik_GetSystemInfo(&info), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    ASSERT_TRUE(WaitReport(IsFinal, 20));
    ASSERT_TRUE(WaitIdle(5));
    auto reports = Reports();
    EXPECT_EQ(Percents(reports), (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 99, 100}));
    for (auto& r : reports) EXPECT_EQ(r.op, 0u);
    auto req = RequestsSince(mark, "alda-hid");
    std::vector<WireLine> chunks;
    for (auto& r : req)
        if (r.bytes[0] == 0x09) chunks.push_back(r);
    ASSERT_EQ(chunks.size(), 11u);  // ten chunks and the closing request
    for (unsigned i = 0; i < 10; ++i) {
        EXPECT_EQ(chunks[i].bytes[1], 60);
        EXPECT_EQ(chunks[i].bytes[2] | chunks[i].bytes[3] << 8, static_cast<int>(i));
    }
    EXPECT_EQ(chunks[10].bytes[1], 0);
    EXPECT_EQ(chunks[10].bytes[2], 0xFF);
    // 100 comes after the 3 s closing wait.
    EXPECT_GE(reports.back().time - reports[9].time, 2.9);
}

TEST_F(Downloads, PathMayBeFreedAtOnce) {
    std::string fw = WriteFirmware("fw-free.bin", false, 120, "Pembrix-Alda");
    char* path = strdup(fw.c_str());
    ASSERT_EQ(Tavik_DownloadFirmware(path, OnProgress), TAVIK_DOWNLOAD_STARTED);
    std::memset(path, 'x', std::strlen(path));
    std::free(path);
    ASSERT_TRUE(WaitReport(IsFinal, 20));
    EXPECT_EQ(Reports().back().percent, 100);
    EXPECT_TRUE(WaitIdle(5));
}

TEST_F(Downloads, RefusedImages) {
    const std::string brisa = WriteFirmware("fpga-brisa.bin", true, 120, "Pembrix-Brisa");
    EXPECT_EQ(Tavik_DownloadFPGA(brisa.c_str(), OnProgress), TAVIK_DOWNLOAD_BAD_FILE);
    const std::string fw = WriteFirmware("fw-as-fpga.bin", false, 120, "Pembrix-Alda");
    EXPECT_EQ(Tavik_DownloadFPGA(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_BAD_FILE);
    EXPECT_EQ(Tavik_DownloadFirmware("/nonexistent/image.bin", OnProgress), TAVIK_DOWNLOAD_BAD_FILE);
    EXPECT_EQ(Tavik_DownloadVessa(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_BAD_FILE);
    EXPECT_TRUE(Reports().empty());
    // Not opened: checked after the file.
    Tavik_TerminateProcess();
    const std::string ok = WriteFirmware("fw-ok.bin", false, 120, "Pembrix-Alda");
    EXPECT_EQ(Tavik_DownloadFirmware(ok.c_str(), OnProgress), TAVIK_DOWNLOAD_NOT_OPENED);
}

TEST_F(Downloads, PadDataNumbering) {
    const std::string pad = WritePadData("pad121.bin", 121);
    const auto mark = RecordMark();
    ASSERT_EQ(Tavik_DownloadVessa(pad.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    ASSERT_TRUE(WaitReport(IsFinal, 20));
    ASSERT_TRUE(WaitIdle(5));
    EXPECT_EQ(Percents(Reports()), (std::vector<int>{33, 66, 99, 100}));
    auto req = RequestsSince(mark, "alda-hid");
    std::vector<WireLine> pad10;
    for (auto& r : req)
        if (r.bytes[0] == 0x10) pad10.push_back(r);
    ASSERT_EQ(pad10.size(), 4u);  // start request and three chunks
    EXPECT_EQ(pad10[0].bytes[3], 60);
    const int expect[3][3] = {{0x00, 0x01, 60}, {0x00, 0x02, 60}, {0xFF, 0xFF, 1}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pad10[1 + i].bytes[1], expect[i][0]);
        EXPECT_EQ(pad10[1 + i].bytes[2], expect[i][1]);
        EXPECT_EQ(pad10[1 + i].bytes[3], expect[i][2]);
    }
}

TEST_F(Downloads, TerminateAbortsAndReports255) {
    const std::string fw = WriteFirmware("fw-big.bin", false, 60 * 400, "Pembrix-Alda");
    const auto mark = RecordMark();
    ASSERT_EQ(Tavik_DownloadFirmware(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    ASSERT_TRUE(WaitReport([](const Report& r) { return r.percent >= 1; }, 20));
    EXPECT_NE(Tavik_TerminateProcess(), 0);  // the job stopped within 5 s
    auto reports = Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().op, 255u);
    EXPECT_EQ(reports.back().percent, 0);
    std::size_t chunks = 0;
    for (auto& r : RequestsSince(mark, "alda-hid"))
        if (r.bytes[0] == 0x09) ++chunks;
    EXPECT_LT(chunks, 400u);
    // The device was closed: commands fail until the next connect.
    std::uint32_t v;
    EXPECT_EQ(Tavik_ReadReg(1, &v), 0);
}

TEST_F(Downloads, SystemInfoNeverRunsBesideOrBehindAJobAndAnEarlyAbortIsKept) {
    // Another thread's exchange holds the device: a code the device does not
    // know goes unanswered for 2 s.
    std::atomic<double> frameDone{0};
    std::thread holder([&] {
        FrameRecord frame;
        EXPECT_EQ(Tavik_GetFrame(0x77, &frame), 0);
        frameDone = Now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // System information asked meanwhile has to wait for the device...
    std::atomic<int> infoResult{-1};
    std::atomic<double> infoDone{0};
    std::thread asker([&] {
        SystemInfoRecord info;
        infoResult = Tavik_GetSystemInfo(&info);
        infoDone = Now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // ...and a job is started before the device is free: the request is
    // refused then and there, neither run beside the job nor after it.
    const std::string fw = WriteFirmware("fw-sysinfo.bin", false, 600, "Pembrix-Alda");
    const auto mark = RecordMark();
    ASSERT_EQ(Tavik_DownloadFirmware(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    asker.join();
    holder.join();
    EXPECT_EQ(infoResult.load(), 0);
    EXPECT_LT(infoDone.load(), frameDone.load());
    ASSERT_TRUE(WaitReport(IsFinal, 20));
    EXPECT_EQ(Reports().back().percent, 100);
    for (auto& r : RequestsSince(mark, "alda-hid")) EXPECT_NE(r.bytes[0], 0x0D);
    ASSERT_TRUE(WaitIdle(5));

    // Terminated right after the start, before the job has begun its work:
    // the abort is not lost to the job's start, and the job ends with its
    // one failure report before termination returns.
    ResetReports();
    const std::string big = WriteFirmware("fw-early-abort.bin", false, 60 * 400, "Pembrix-Alda");
    const auto mark2 = RecordMark();
    ASSERT_EQ(Tavik_DownloadFirmware(big.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    EXPECT_NE(Tavik_TerminateProcess(), 0);
    // The job stops at its first look at the abort: on a busy machine it may
    // have sent a chunk or two before that, never the 400 of the image.
    std::size_t chunks = 0;
    for (auto& r : RequestsSince(mark2, "alda-hid"))
        if (r.bytes[0] == 0x09) ++chunks;
    EXPECT_LE(chunks, 3u);
    const auto reports = Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_LE(reports.size(), chunks + 1);  // one per acknowledged chunk, then the failure
    EXPECT_EQ(reports.back().op, 255u);
    EXPECT_EQ(reports.back().percent, 0);
}

TEST_F(Downloads, OtherThreadsWaitForTheJobAndNothingInterleaves) {
    const std::string fw = WriteFirmware("fw-lock.bin", false, 60 * 40, "Pembrix-Alda");
    const auto mark = RecordMark();
    ASSERT_EQ(Tavik_DownloadFirmware(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    ASSERT_TRUE(WaitReport([](const Report& r) { return r.percent >= 5; }, 20));
    std::atomic<double> returned{0};
    std::uint32_t value = 0;
    std::thread other([&] {
        EXPECT_EQ(Tavik_ReadReg(0x44, &value), 1);
        returned = Now();
    });
    other.join();
    auto reports = Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().percent, 100);  // the job had finished before the read returned
    EXPECT_LE(reports.back().time, returned.load());
    // On the wire: every chunk and the closing request, then the register read.
    auto req = RequestsSince(mark, "alda-hid");
    ASSERT_FALSE(req.empty());
    std::size_t firstRead = req.size();
    for (std::size_t i = 0; i < req.size(); ++i)
        if (req[i].bytes[0] == 0x01) {
            firstRead = i;
            break;
        }
    ASSERT_LT(firstRead, req.size());
    for (std::size_t i = firstRead; i < req.size(); ++i) EXPECT_NE(req[i].bytes[0], 0x09) << i;
    std::size_t chunks = 0;
    for (std::size_t i = 0; i < firstRead; ++i)
        if (req[i].bytes[0] == 0x09) ++chunks;
    EXPECT_EQ(chunks, 41u);
}

TEST_F(Downloads, NewDetectionDuringAJobLeavesTheJobItsDevice) {
    const std::string fw = WriteFirmware("fw-detect.bin", false, 60 * 30, "Pembrix-Alda");
    ASSERT_EQ(Tavik_DownloadFirmware(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    ASSERT_TRUE(WaitReport([](const Report& r) { return r.percent >= 10; }, 20));
    EXPECT_EQ(Tavik_DetectDevice(1), 1);  // discards the list the job's device came from
    ASSERT_TRUE(WaitReport(IsFinal, 20));
    EXPECT_EQ(Reports().back().percent, 100);
    // The new record starts closed.
    std::uint32_t v = 0;
    EXPECT_EQ(Tavik_ReadReg(1, &v), 0);
    ASSERT_EQ(Tavik_ConnectToDevice(), 1);
    ASSERT_TRUE(WaitIdle(5));
    EXPECT_EQ(Tavik_ReadReg(1, &v), 1);
}

TEST_F(Downloads, TerminateDuringTheClosingWaitReportsTheJobStillRunning) {
    // After the last FPGA chunk the job waits 5 s and then 1 s: longer than
    // termination waits for it.
    const std::string fpga = WriteFirmware("fpga-alda.bin", true, 120, "Pembrix-Alda");
    ASSERT_EQ(Tavik_DownloadFPGA(fpga.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    ASSERT_TRUE(WaitReport([](const Report& r) { return r.percent == 99; }, 30));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavik_TerminateProcess(), 0);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(took, 4.9);
    EXPECT_LT(took, 6.0);
    // The job was past its last chunk: it completes.
    ASSERT_TRUE(WaitReport(IsFinal, 10));
    EXPECT_EQ(Reports().back().percent, 100);
    EXPECT_EQ(Reports().back().op, 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_NE(Tavik_TerminateProcess(), 0);
}

namespace {
// Whether another thread could talk to the device while the failure report ran.
std::atomic<int> g_otherExchange{-1};
void OnProgressTryingTheDevice(std::uint32_t op, std::uint8_t* percent, std::uint32_t one) {
    if (op == 255) {
        auto other = std::async(std::launch::async, [] {
            std::uint16_t logs = 0;
            return Tavik_GetLogNum(&logs);
        });
        const bool ran = other.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
        g_otherExchange = ran ? other.get() : 0;
    }
    OnProgress(op, percent, one);
}
}  // namespace

TEST(DownloadFaults, UnacknowledgedChunkEndsWith255AfterTheLockIsLetGo) {
    ResetReports();
    ASSERT_TRUE(Open(2));
    const std::string fw = WriteFirmware("fw-brisa.bin", false, 600, "Pembrix-Brisa");
    const auto t0 = Now();
    ASSERT_EQ(Tavik_DownloadFirmware(fw.c_str(), OnProgressTryingTheDevice), TAVIK_DOWNLOAD_STARTED);
    ASSERT_TRUE(WaitReport(IsFinal, 30));
    const auto reports = Reports();
    EXPECT_EQ(Percents(reports), (std::vector<int>{10, 20, 30, 0}));
    EXPECT_EQ(reports.back().op, 255u);
    EXPECT_GE(reports.back().time - t0, 4.9);  // 5 s for the fourth chunk
    // The device was free while the failure was reported.
    EXPECT_EQ(g_otherExchange.load(), 1);
    EXPECT_NE(Tavik_TerminateProcess(), 0);
}

TEST(DownloadFaults, FpgaChunkZeroGets25Seconds) {
    ResetReports();
    ASSERT_TRUE(Open(4));
    const std::string fpga = WriteFirmware("fpga-plus.bin", true, 600, "Pembrix-Alda+");
    const auto t0 = Now();
    ASSERT_EQ(Tavik_DownloadFPGA(fpga.c_str(), OnProgress), TAVIK_DOWNLOAD_STARTED);
    ASSERT_TRUE(WaitReport(IsFinal, 40));
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].op, 255u);
    EXPECT_GE(reports[0].time - t0, 24.9);
    EXPECT_LT(reports[0].time - t0, 27.5);
    EXPECT_NE(Tavik_TerminateProcess(), 0);
}

TEST(ClearLog, ConfirmedClearing) {
    ResetReports();
    ASSERT_TRUE(Open(1));
    std::uint16_t logs = 0;
    ASSERT_EQ(Tavik_GetLogNum(&logs), 1);
    const auto mark = RecordMark();
    EXPECT_EQ(Tavik_ClearLog(OnProgress), 1);  // started
    EXPECT_EQ(Tavik_ClearLog(OnProgress), 0);  // nothing started while it runs
    ASSERT_TRUE(WaitReport(IsFinal, 20.0 * logs));
    ASSERT_TRUE(WaitIdle(5));
    auto reports = Reports();
    EXPECT_EQ(reports.back().percent, 100);
    for (auto& r : reports) EXPECT_EQ(r.op, 3u);
    auto req = RequestsSince(mark, "alda-hid");
    ASSERT_GE(req.size(), 3u);  // then the system-information reads of WaitIdle
    EXPECT_EQ(req[0].bytes[0], 0x11);
    EXPECT_EQ(req[1].bytes[0], 0x0C);
    EXPECT_EQ(req[2].bytes[0], 0xFF);
    EXPECT_EQ(req[2].bytes[1], 0x00);
    Tavik_TerminateProcess();
}

TEST(ClearLog, UnconfirmedClearingRunsTwentyStepsPerLog) {
    ResetReports();
    ASSERT_TRUE(Open(3));
    std::uint16_t logs = 0;
    ASSERT_EQ(Tavik_GetLogNum(&logs), 1);
    ASSERT_EQ(logs, 2);  // 20 steps of 500 ms per stored log
    const auto t0 = Now();
    EXPECT_EQ(Tavik_ClearLog(OnProgress), 1);
    ASSERT_TRUE(WaitReport([](const Report& r) { return r.percent == 100 || r.percent == 0xFF; }, 12.0 * logs));
    ASSERT_TRUE(WaitIdle(5));
    const auto reports = Reports();
    // Forty steps that never claim 100 %, then the one failure report.
    ASSERT_EQ(reports.size(), 41u);
    EXPECT_EQ(reports[38].percent, 97);
    EXPECT_EQ(reports[39].percent, 99);
    EXPECT_EQ(reports.back().percent, 0xFF);
    for (auto& r : reports) EXPECT_EQ(r.op, 3u);
    EXPECT_GE(reports.back().time - t0, 10.0 * logs - 1.0);
    Tavik_TerminateProcess();
}
