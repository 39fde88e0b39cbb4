// Wire fields, chunking and the mended edge cases of the USB link families
// beyond Tesk-100/200 and of the Pirrel. The exchanges themselves run against
// the lab's simulators (tests/lab_e2e).
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "families/usb/CComm_Brantle.h"
#include "families/usb/CComm_BrantleS61.h"
#include "families/usb/CComm_Olvenna.h"
#include "families/usb/CComm_Quissel.h"
#include "families/usb/PirrelProtocol.h"
#include "families/usb/UsbFamilyTable.h"
#include "families/usb/WordProtocol.h"
#include "framework/ModuleIo.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "framework/Wait.h"
#include "platform/UsbSearch.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double ThreadCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::unique_ptr<CCommBase> Make(const char* row) {
    return std::unique_ptr<CCommBase>(static_cast<CCommBase*>(BuiltInFamilies().ClassOf(row)->CreateObject()));
}

// No USB device anywhere: searches find nothing.
class NoDevices : public ::testing::Test {
protected:
    void SetUp() override {
        root = std::filesystem::temp_directory_path() / ("usbfam-" + std::to_string(::getpid()));
        std::filesystem::create_directories(root / "sys");
        std::filesystem::create_directories(root / "dev");
        platform::SetUsbSearchRoots((root / "sys").string(), (root / "dev").string());
    }
    void TearDown() override {
        platform::SetUsbSearchRoots("/sys", "/dev");
        std::filesystem::remove_all(root);
    }
    std::filesystem::path root;
};

}  // namespace

TEST(UsbFamilies, RowsMakeTheirModelClassesWithTheirNamesAndTimes) {
    struct Row {
        const char* name;
        const char* cls;
        int read, write;
    };
    const Row rows[] = {{"Tesk - 300", "CComm_Tesk300", 400, 1000},    {"Olvenna", "CComm_Olvenna", 400, 1000},
                        {"Pirrel - 4U", "CComm_Pirrel", 400, 1000},    {"Quissel - 501", "CComm_Quissel501", 400, 800},
                        {"Quissel - 551", "CComm_Quissel551", 400, 800}, {"Dravik - 100", "CComm_Dravik", 400, 800},
                        {"Brantle - 302", "CComm_Brantle302", 3400, 5600},
                        {"Brantle - 303", "CComm_Brantle303", 3400, 5600},
                        {"Brantle - 311", "CComm_Brantle311", 200, 400},
                        {"Brantle - S61", "CComm_BrantleS61", 200, 400},
                        {"Pembrix - Dorla", "CComm_Dorla", 400, 4000}};
    for (const auto& r : rows) {
        auto family = Make(r.name);
        ASSERT_TRUE(family) << r.name;
        EXPECT_STREQ(family->GetRuntimeClass()->m_lpszClassName, r.cls);
        EXPECT_EQ(family->GetModuleText(), r.name);
        EXPECT_EQ(family->GetModuleText(), r.name);
        EXPECT_EQ(family->GetReadTime(), r.read) << r.name;
        EXPECT_EQ(family->GetWriteTime(), r.write) << r.name;
    }
    EXPECT_TRUE(Make("Quissel - 551")->IsKindOf(RUNTIME_CLASS(CComm_Quissel)));
    EXPECT_TRUE(Make("Brantle - 303")->IsKindOf(RUNTIME_CLASS(CComm_Brantle)));
    // Only the Olvenna keeps bytes of its image.
    EXPECT_EQ(moduleio::KeptBytesText(Make("Olvenna")->WritableRanges()), "bytes 0-31");
    EXPECT_EQ(moduleio::KeptBytesText(Make("Tesk - 300")->WritableRanges()), "");
}

TEST(UsbFamilies, EchoFieldsOfTesk300AndDorla) {
    const auto& tesk = usbfamily::EepromOf(usbfamily::Id::Tesk300).layout;
    ASSERT_EQ(echo::ChunkCount(tesk, 256), 5u);
    const auto last = echo::BuildRequest(tesk, tesk.readCommand, echo::ChunkAt(tesk, 256, 4));
    EXPECT_EQ((std::vector<int>{last[0], last[1], last[2], last[3]}), (std::vector<int>{0x09, 0x00, 0xF0, 16}));

    const auto& dorla = usbfamily::EepromOf(usbfamily::Id::Dorla).layout;
    for (std::size_t i = 0; i < 5; ++i) {
        const auto chunk = echo::ChunkAt(dorla, 256, i);
        const auto r = echo::BuildRequest(dorla, dorla.writeCommand, chunk);
        EXPECT_EQ((std::vector<int>{r[0], r[1], r[2], r[3]}),
                  (std::vector<int>{0x13, 0, static_cast<int>(i), i < 4 ? 60 : 16}));
        EXPECT_EQ(chunk.offset, i * 60);
    }
}

TEST(UsbFamilies, BrantleWordRequestsAndOddLengths) {
    ASSERT_EQ(wordproto::ChunkCount(256), 5u);
    const int words[] = {0, 29, 58, 87, 116}, counts[] = {29, 29, 29, 29, 12};
    for (std::size_t i = 0; i < 5; ++i) {
        const auto r = wordproto::BuildRequest(wordproto::kRead, wordproto::ChunkAt(256, i));
        EXPECT_EQ((std::vector<int>{r[0], r[1], r[2] | r[3] << 8, r[4] | r[5] << 8}),
                  (std::vector<int>{0x03, 0, words[i], counts[i]}));
    }
    // A read of an odd length asks for the word that holds its last byte and
    // hands over only the bytes asked for.
    const auto odd = wordproto::ChunkAt(255, 4);
    EXPECT_EQ(odd.length, 23u);
    EXPECT_EQ(odd.wordCount, 12);
    echo::Report reply{};
    reply[0] = 0x83;
    EXPECT_TRUE(wordproto::IsReply(wordproto::kRead, reply, 1));
    EXPECT_FALSE(wordproto::IsReply(wordproto::kRead, reply, 0));
    EXPECT_FALSE(wordproto::IsReply(wordproto::kWrite, reply, 64));
    EXPECT_EQ(wordproto::ReplyData(reply, odd.length).size(), 23u);
}

TEST(UsbFamilies, PirrelPacketsForAWholeImage) {
    ASSERT_EQ(pirrel::ChunkCount(256), 3u);
    const int addresses[] = {0x00, 0x7C, 0xF8}, lengths[] = {124, 124, 8};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto p = pirrel::BuildRequest(pirrel::kRead, pirrel::ChunkAt(256, i));
        EXPECT_EQ((std::vector<int>{p[0], p[1], p[2]}), (std::vector<int>{0x26, addresses[i], lengths[i]}));
    }
    // A reply to the previous chunk is not this chunk's.
    const auto request = pirrel::BuildRequest(pirrel::kRead, pirrel::ChunkAt(256, 1));
    const auto previous = pirrel::BuildRequest(pirrel::kRead, pirrel::ChunkAt(256, 0));
    EXPECT_FALSE(pirrel::IsReply(request, previous, 128));
    EXPECT_TRUE(pirrel::IsReply(request, request, 1));
    EXPECT_FALSE(pirrel::IsReply(request, request, 0));
}

TEST_F(NoDevices, OlvennaUnderThirtyTwoBytesAndOddWordWritesNeedNoTraffic) {
    CComm_Olvenna olvenna;
    EXPECT_FALSE(olvenna.Connect());
    EXPECT_EQ(olvenna.GetModuleCount(), 0);
    const std::uint8_t image[256] = {};
    // Nothing writable below byte 32: done without a chunk (a chunk on this
    // closed link would fail after 80 attempts).
    auto start = Clock::now();
    EXPECT_TRUE(olvenna.WriteEeprom(image, 20));
    EXPECT_TRUE(olvenna.WriteEeprom(image, 32));
    EXPECT_LT(Seconds(start), 1.0);
    // Half a word cannot be written: refused at once.
    CComm_BrantleS61 s61;
    start = Clock::now();
    EXPECT_FALSE(s61.WriteEeprom(image, 57));
    EXPECT_LT(Seconds(start), 1.0);
    EXPECT_TRUE(s61.WriteEeprom(image, 0));
}

TEST_F(NoDevices, BrantleReadWhoseReadsFailAtOnceWaitsItsLimitWithoutSpinning) {
    // Nothing is open, so every reply read returns at once with no bytes.
    CComm_BrantleS61 s61;
    std::uint8_t image[256] = {};
    const auto start = Clock::now();
    const double cpu = ThreadCpuSeconds();
    EXPECT_FALSE(s61.ReadEeprom(image, 256));
    const double wall = Seconds(start);
    EXPECT_GE(wall, 3.0);
    EXPECT_LT(wall, 3.5);
    EXPECT_LT(ThreadCpuSeconds() - cpu, 0.3);  // a spinning loop burns the whole 3 s
}

TEST(ModuleIoKept, TextAndComparisonFollowTheWritableRanges) {
    using moduleio::KeptBytesText;
    EXPECT_EQ(KeptBytesText({{0, 256}}), "");
    EXPECT_EQ(KeptBytesText({{4, 10}, {11, 200}}), "bytes 0-3, 10, 200-255");
    EXPECT_EQ(KeptBytesText({{0, 255}}), "byte 255");
    IdentityImage a{}, b{};
    b[3] = 1;
    b[40] = 1;
    EXPECT_EQ(moduleio::FirstWrittenDifference(a, b, {{32, 256}}), 40);
    EXPECT_EQ(moduleio::FirstWrittenDifference(a, b, {{0, 256}}), 3);
    EXPECT_EQ(moduleio::FirstWrittenDifference(a, b, {{41, 256}}), -1);
}

TEST_F(NoDevices, StopEndsAReadAtOnceButNeverShortensAWrite) {
    CComm_BrantleS61 s61;
    std::uint8_t image[256] = {};
    RequestStop();
    auto start = Clock::now();
    EXPECT_FALSE(s61.ReadEeprom(image, 256));
    EXPECT_LT(Seconds(start), 0.5);
    // The write still waits its whole 3000 ms for a reply, without spinning.
    start = Clock::now();
    const double cpu = ThreadCpuSeconds();
    EXPECT_FALSE(s61.WriteEeprom(image, 256));
    EXPECT_GE(Seconds(start), 3.0);
    EXPECT_LT(ThreadCpuSeconds() - cpu, 0.3);
    ClearStopRequest();
}
