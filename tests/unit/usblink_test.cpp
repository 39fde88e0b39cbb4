// The USB link over pipe nodes that are plain FIFOs, served by a small device
// thread that answers the echo protocol.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "families/usb/CComm_Tesk.h"
#include "platform/UsbSearch.h"

namespace fs = std::filesystem;

namespace {

class PipeDevice : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("usblink-" + std::to_string(::getpid()));
        fs::remove_all(root);
        dir = root / "dev/quenlor/{dfee6909-ca08-4bf6-9bd7-12c3511de4ae}/tesk0";
        fs::create_directories(dir);
        ASSERT_EQ(::mkfifo((dir / "PIPE00").c_str(), 0600), 0);
        ASSERT_EQ(::mkfifo((dir / "PIPE01").c_str(), 0600), 0);
        fs::create_directories(root / "sys");
        platform::SetUsbSearchRoots((root / "sys").string(), (root / "dev").string());
        for (int i = 0; i < 256; ++i) eeprom[i] = static_cast<std::uint8_t>(i ^ 0x5a);
    }
    void TearDown() override {
        stop = true;
        if (device.joinable()) device.join();
        platform::SetUsbSearchRoots("/sys", "/dev");
        fs::remove_all(root);
    }
    // Serves requests; with `stale` it first answers the previous request again.
    void Serve(bool stale) {
        device = std::thread([this, stale] {
            int in = ::open((dir / "PIPE01").c_str(), O_RDWR);
            int out = ::open((dir / "PIPE00").c_str(), O_RDWR);
            std::uint8_t req[64], prev[64] = {0x09, 200, 10};
            while (!stop) {
                pollfd p{in, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                if (::read(in, req, 64) != 64) continue;
                std::uint8_t reply[64] = {req[0], req[1], req[2]};
                {
                    // The test thread reads both while this thread serves.
                    std::lock_guard lock(mutex);
                    requests.push_back(req[2]);
                    for (int i = 0; i < req[2] && 3 + i < 64; ++i) {
                        std::uint8_t& cell = eeprom[(req[1] + i) & 0xff];
                        if (req[0] == 0x08) cell = req[3 + i];
                        reply[3 + i] = cell;
                    }
                }
                if (stale) {
                    std::uint8_t old[64] = {prev[0], prev[1], prev[2]};
                    (void)!::write(out, old, 64);
                }
                // A slow device: the reply after replyDelayMs; a silent one: none.
                const int delay = replyDelayMs.load();
                if (delay < 0) continue;
                for (int waited = 0; waited < delay && !stop; waited += 10)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                (void)!::write(out, reply, 64);
                std::copy(req, req + 64, prev);
            }
            ::close(in);
            ::close(out);
        });
    }
    std::vector<int> Requests() {
        std::lock_guard lock(mutex);
        return requests;
    }
    void ClearRequests() {
        std::lock_guard lock(mutex);
        requests.clear();
    }
    std::uint8_t Cell(int i) {
        std::lock_guard lock(mutex);
        return eeprom[i];
    }
    fs::path root, dir;
    std::mutex mutex;  // guards eeprom and requests
    std::uint8_t eeprom[256];
    std::vector<int> requests;
    std::atomic<bool> stop{false};
    std::atomic<int> replyDelayMs{0};
    std::thread device;
};

}  // namespace

TEST_F(PipeDevice, ReadsAndWritesTheImageInFiveChunks) {
    Serve(false);
    CComm_Tesk100 tesk;
    ASSERT_TRUE(tesk.Connect());
    ASSERT_EQ(tesk.GetModuleCount(), 1);
    tesk.SetModuleIndex(0);
    ASSERT_TRUE(tesk.OpenModule());
    std::uint8_t image[256] = {};
    ASSERT_TRUE(tesk.ReadEeprom(image, 256));
    EXPECT_EQ(image[255], 255 ^ 0x5a);
    EXPECT_EQ(Requests(), (std::vector<int>{60, 60, 60, 60, 16}));

    ClearRequests();
    EXPECT_TRUE(tesk.ReadEeprom(image, 0));
    EXPECT_TRUE(tesk.ReadEeprom(image, -1));
    EXPECT_TRUE(Requests().empty());

    std::uint8_t next[256];
    for (int i = 0; i < 256; ++i) next[i] = static_cast<std::uint8_t>(255 - i);
    ASSERT_TRUE(tesk.WriteEeprom(next, 256));
    EXPECT_EQ(Cell(0), 255);
    EXPECT_EQ(Cell(255), 0);
    tesk.CloseModule();
    tesk.Disconnect();
    EXPECT_EQ(tesk.GetModuleCount(), 0);
}

TEST_F(PipeDevice, StaleRepliesAreSkipped) {
    Serve(true);
    CComm_Tesk200 tesk;
    ASSERT_TRUE(tesk.Connect());
    ASSERT_TRUE(tesk.OpenModule());
    std::uint8_t image[256] = {};
    ASSERT_TRUE(tesk.ReadEeprom(image, 256));
    EXPECT_EQ(image[100], 100 ^ 0x5a);
}

TEST_F(PipeDevice, ReplyJustInsideEightyAttemptsIsTakenAndSilenceCostsThemAll) {
    // Each attempt is a read of up to 1 s and a 50 ms pause: 80 of them after
    // the first pause make about 84 s.
    replyDelayMs = 78000;
    Serve(false);
    CComm_Tesk100 tesk;
    ASSERT_TRUE(tesk.Connect());
    tesk.SetModuleIndex(0);
    ASSERT_TRUE(tesk.OpenModule());
    std::uint8_t image[16] = {};
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(tesk.ReadEeprom(image, 16));  // one chunk, answered late but in time
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(77));
    EXPECT_EQ(image[15], 15 ^ 0x5a);
    replyDelayMs = -1;
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(tesk.ReadEeprom(image, 16));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(80 * 1000));
    EXPECT_LT(took, std::chrono::milliseconds(80 * 1050 + 10000));
    tesk.CloseModule();
}

TEST_F(PipeDevice, OpenChecksTheIndexAndTheNodes) {
    CComm_Tesk100 tesk;
    ASSERT_TRUE(tesk.Connect());
    tesk.SetModuleIndex(-1);
    EXPECT_FALSE(tesk.OpenModule());
    tesk.SetModuleIndex(1);
    EXPECT_FALSE(tesk.OpenModule());
    // The device vanished after the search.
    fs::remove_all(dir);
    tesk.SetModuleIndex(0);
    EXPECT_FALSE(tesk.OpenModule());
    tesk.CloseModule();
}
