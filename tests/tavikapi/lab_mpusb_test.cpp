// The MPUSB library beside the device API library: a handle closed by one
// thread while another transfers on it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "mpusbapi.h"

// One thread waits for a report nothing will send; the other closes both
// handles of the device meanwhile. The transfer ends by its time-out, the
// closed handles are refused afterwards, and the device opens again.
TEST(MpusbClose, CloseDuringATransferOnTheHandle) {
    const char* vidPid = "vid_2403&pid_1688";
    void* out = _MPUSBOpen(0, vidPid, "\\MCHP_EP1", MP_WRITE, 0);
    void* in = _MPUSBOpen(0, vidPid, "\\MCHP_EP1", MP_READ, 0);
    ASSERT_NE(out, MPUSB_INVALID_HANDLE);
    ASSERT_NE(in, MPUSB_INVALID_HANDLE);
    std::atomic<bool> started{false};
    std::uint32_t result = 99, got = 99;
    std::thread reader([&] {
        std::uint8_t report[64] = {};
        started = true;
        result = _MPUSBRead(in, report, sizeof report, &got, 1000);
    });
    while (!started) std::this_thread::yield();
    // Most likely inside the transfer by now; earlier is fine too.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(_MPUSBClose(in), MPUSB_SUCCESS);
    EXPECT_EQ(_MPUSBClose(out), MPUSB_SUCCESS);
    reader.join();
    EXPECT_EQ(result, MPUSB_FAIL);
    EXPECT_EQ(got, 0u);

    std::uint8_t report[64] = {};
    got = 99;
    EXPECT_EQ(_MPUSBRead(in, report, sizeof report, &got, 10), MPUSB_FAIL);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(_MPUSBWrite(out, report, sizeof report, &got, 10), MPUSB_FAIL);

    void* again = _MPUSBOpen(0, vidPid, "\\MCHP_EP1", MP_READ, 0);
    ASSERT_NE(again, MPUSB_INVALID_HANDLE);
    EXPECT_NE(again, in);
    EXPECT_EQ(_MPUSBClose(again), MPUSB_SUCCESS);
}
