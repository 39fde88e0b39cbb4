// Detection, selection, connection and identity reads through the public
// header, inside a lab with HID and MPUSB devices.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "LabSupport.h"

using namespace labtest;

namespace {
std::string Serial(const std::uint8_t* image) {
    return std::string(reinterpret_cast<const char*>(image + 76), strnlen(reinterpret_cast<const char*>(image + 76), 180));
}
}  // namespace

TEST(Detect, TypeOutsideOneToFourChangesNothing) {
    ASSERT_EQ(Tavik_SetDeviceType(2), 1);
    ASSERT_EQ(Tavik_DetectDevice(2), 1);
    const int brisas = Tavik_GetDeviceNumber();
    EXPECT_EQ(Tavik_SetDeviceType(0), 0);
    EXPECT_EQ(Tavik_SetDeviceType(5), 0);
    EXPECT_EQ(Tavik_DetectDevice(5), 0);
    EXPECT_EQ(Tavik_DetectDevice(-1), 0);
    EXPECT_EQ(Tavik_GetDeviceNumber(), brisas);  // type 2 still current
}

TEST(Detect, HidDeviceHidesLibraryModeDeviceOfTheSameType) {
    ASSERT_TRUE(Open(1));
    EXPECT_EQ(Tavik_GetDeviceNumber(), 1);
    const auto mark = RecordMark();
    std::uint32_t value = 0;
    ASSERT_EQ(Tavik_ReadReg(0x10, &value), 1);
    auto req = RequestsSince(mark);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].device, "alda-hid");
    EXPECT_EQ(req[0].count, 65u);  // report ID 0, then the 64 bytes
    EXPECT_EQ(req[0].bytes[0], 0x01);
    EXPECT_EQ(Tavik_TerminateProcess() != 0, true);
}

TEST(Detect, ProductStringTellsLibraryModeTypesApart) {
    for (int type : {2, 3}) {
        ASSERT_TRUE(Open(type)) << type;
        EXPECT_EQ(Tavik_GetDeviceNumber(), 1) << type;  // the lower-case string is nobody's
        const auto mark = RecordMark();
        std::uint8_t image[256];
        ASSERT_TRUE(ReadEeprom(0, 256, image));
        EXPECT_EQ(Serial(image), type == 2 ? "BRM0003" : "CYM0004");
        auto req = RequestsSince(mark);
        ASSERT_EQ(req.size(), 5u);  // 58, 58, 58, 58, 24 bytes
        for (const auto& r : req) {
            EXPECT_EQ(r.device, type == 2 ? "brisa-mp" : "cygna-mp");
            EXPECT_EQ(r.count, 64u);
            EXPECT_EQ(r.bytes[0], 0x12);
        }
        EXPECT_EQ(req[4].bytes[2], 116);  // word address of byte 232
        EXPECT_EQ(req[4].bytes[4], 12);   // 24 bytes = 12 words
        Tavik_TerminateProcess();
    }
}

TEST(Detect, TypeFourHasNoSecondVendorPair) {
    EXPECT_EQ(Tavik_SetDeviceType(4), 1);
    EXPECT_EQ(Tavik_DetectDevice(4), 0);
    EXPECT_EQ(Tavik_GetDeviceNumber(), 0);
}

TEST(Detect, DeviceNumberIsPerType) {
    ASSERT_EQ(Tavik_DetectDevice(3), 1);
    ASSERT_EQ(Tavik_DetectDevice(4), 0);
    Tavik_SetDeviceType(3);
    EXPECT_EQ(Tavik_GetDeviceNumber(), 1);
    Tavik_SetDeviceType(4);
    EXPECT_EQ(Tavik_GetDeviceNumber(), 0);
}

TEST(Detect, SelectionPastTheEndDoesNothing) {
    ASSERT_TRUE(Open(1));
    EXPECT_EQ(Tavik_SelectDevice(-1), 0);
    EXPECT_EQ(Tavik_SelectDevice(7), 1);
    EXPECT_EQ(Tavik_ConnectToDevice(), 0);
    EXPECT_EQ(Tavik_FindDevice(), 0);
    const auto mark = RecordMark();
    std::uint32_t value = 0xDEAD;
    EXPECT_EQ(Tavik_ReadReg(1, &value), 0);
    EXPECT_EQ(value, 0xDEADu);
    EepromChunk chunk{};
    EXPECT_EQ(Tavik_GetEeprom(0, 58, &chunk), 0);
    EXPECT_EQ(Tavik_StartTx(1), 0);
    EXPECT_EQ(Tavik_StartRGTest(), 0);
    SystemInfoRecord info{};
    EXPECT_EQ(Tavik_GetSystemInfo(&info), 0);
    const std::string fw = WriteFirmware("sel.bin", false, 120, "Pembrix-Alda");
    EXPECT_EQ(Tavik_DownloadFirmware(fw.c_str(), OnProgress), TAVIK_DOWNLOAD_NOT_OPENED);
    EXPECT_NE(Tavik_TerminateProcess(), 0);
    EXPECT_TRUE(RequestsSince(mark).empty());
    // Back in range, the device answers again.
    Tavik_SelectDevice(0);
    EXPECT_EQ(Tavik_FindDevice(), 1);
    EXPECT_EQ(Tavik_ConnectToDevice(), 1);
    EXPECT_EQ(Tavik_ReadReg(1, &value), 1);
    Tavik_TerminateProcess();
}

TEST(Detect, CommandsOnAClosedDeviceFailWithoutTraffic) {
    ASSERT_TRUE(Open(2));
    EXPECT_NE(Tavik_TerminateProcess(), 0);
    const auto mark = RecordMark();
    std::uint32_t status = 0;
    EXPECT_EQ(Tavik_GetLinkStatus(&status), 0);
    EXPECT_EQ(Tavik_StopTx(1), 0);
    EXPECT_TRUE(RequestsSince(mark).empty());
}

TEST(Detect, ReconnectingReplacesTheChannels) {
    // The lab allows 50 open device nodes per process: leaked channels
    // would end the program long before the loop does.
    ASSERT_TRUE(Open(1));
    for (int i = 0; i < 40; ++i) ASSERT_EQ(Tavik_ConnectToDevice(), 1) << i;
    std::uint32_t v = 0;
    EXPECT_EQ(Tavik_ReadReg(2, &v), 1);
    for (int i = 0; i < 30; ++i) ASSERT_EQ(Tavik_DetectDevice(1), 1) << i;  // discarded records close theirs
    EXPECT_NE(Tavik_TerminateProcess(), 0);
}

TEST(Detect, TerminateWithoutJobReturnsAtOnce) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(Tavik_TerminateProcess(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
}

TEST(Detect, DllVersionIsTheHostProgramsVersion) {
    char buffer[TAVIK_VERSION_TEXT_SIZE];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Tavik_GetDllVersion(buffer), 1);
    EXPECT_STREQ(buffer, BREVANE_PRODUCT_VERSION);
    EXPECT_EQ(Tavik_GetLibraryVersion(), static_cast<std::uint32_t>(TAVIKAPI_VERSION));
}

TEST(Detect, IdentityOverHidAndEepromRoundTrip) {
    ASSERT_TRUE(Open(1));
    std::uint8_t image[256];
    ASSERT_TRUE(ReadEeprom(0, 256, image));
    EXPECT_EQ(Serial(image), "ALH0001");

    // Write 58 bytes at 116 and read them back.
    EepromChunk w{};
    for (int i = 0; i < 58; ++i) w.bytes[2 + i] = static_cast<std::uint8_t>(0xA0 + i);
    const auto mark = RecordMark();
    ASSERT_EQ(Tavik_SetEeprom(116, 58, w), 1);
    auto req = RequestsSince(mark);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].bytes[0], 0x13);
    EXPECT_EQ(req[0].bytes[2] | req[0].bytes[3] << 8, 58);
    EXPECT_EQ(req[0].bytes[4] | req[0].bytes[5] << 8, 29);
    std::uint8_t back[58];
    ASSERT_TRUE(ReadEeprom(116, 58, back));
    EXPECT_EQ(std::memcmp(back, w.bytes + 2, 58), 0);
    // Put the image back as it was.
    for (int i = 0; i < 58; ++i) w.bytes[2 + i] = image[116 + i];
    ASSERT_EQ(Tavik_SetEeprom(116, 58, w), 1);

    // More than one report carries: refused, nothing sent.
    const auto mark2 = RecordMark();
    EepromChunk big{};
    std::memset(big.bytes, 0x5C, sizeof big.bytes);
    EXPECT_EQ(Tavik_GetEeprom(0, 120, &big), 0);
    EXPECT_EQ(big.bytes[4], 0x5C);
    EXPECT_EQ(Tavik_SetEeprom(0, 60, big), 0);
    EXPECT_TRUE(RequestsSince(mark2).empty());
    Tavik_TerminateProcess();
}
