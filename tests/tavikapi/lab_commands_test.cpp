// Command exports through the public header against the lab's devices: what
// goes on the wire (the lab's record) and what comes back.
#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstring>
#include <thread>
#include <string>

#include "LabSupport.h"

using namespace labtest;

namespace {
std::vector<std::uint8_t> Codes(const std::vector<WireLine>& lines) {
    std::vector<std::uint8_t> c;
    for (auto& l : lines) c.push_back(l.bytes.at(0));
    return c;
}
double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

class Commands : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Open(2)); }
    void TearDown() override { Tavik_TerminateProcess(); }
};

TEST_F(Commands, RawAndCountedPatterns) {
    auto mark = RecordMark();
    EXPECT_EQ(Tavik_StartRGTest(), 1);
    EXPECT_EQ(Tavik_StopRGTest(), 1);
    EXPECT_EQ(Codes(RequestsSince(mark)), (std::vector<std::uint8_t>{0x71, 0x73}));

    TavikRunName name{};
    std::strcpy(reinterpret_cast<char*>(name.bytes), "lab run 7");
    ASSERT_EQ(Tavik_SetRunName(name), 1);
    std::uint8_t back[60];
    std::memset(back, 0xEE, sizeof back);
    ASSERT_EQ(Tavik_GetRunName(back), 1);
    EXPECT_EQ(std::memcmp(back, name.bytes, 60), 0);

    TavikRawFrame frame{};
    frame.bytes[0] = 0x1D;
    frame.bytes[63] = 0x99;
    mark = RecordMark();
    EXPECT_EQ(Tavik_SendFrame(frame), 1);
    auto req = RequestsSince(mark);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].bytes[63], 0x99);  // sent unchanged
    EXPECT_EQ(req[0].count, 65u);
}

TEST_F(Commands, TasksGoInChunksOf58) {
    BrisaTaskRecord task{};
    task.bytes[0] = 4;
    task.bytes[1] = 9;
    for (int i = 2; i < 75; ++i) task.bytes[i] = static_cast<std::uint8_t>(i * 3);
    auto mark = RecordMark();
    ASSERT_EQ(Brisa_SetTask(task), 1);
    auto req = RequestsSince(mark);
    ASSERT_EQ(Codes(req), (std::vector<std::uint8_t>{0x06, 0x06, 0x19}));
    EXPECT_EQ(req[0].bytes[2], 0);
    EXPECT_EQ(req[1].bytes[2], 1);
    EXPECT_EQ(req[0].bytes[4], 4);
    EXPECT_EQ(req[0].bytes[5], 9);
    EXPECT_EQ(std::memcmp(&req[0].bytes[6], &task.bytes[1], 58), 0);
    EXPECT_EQ(std::memcmp(&req[1].bytes[6], &task.bytes[59], 16), 0);
    EXPECT_EQ(req[1].bytes[22], 0);

    BrisaTaskRecord back{};
    mark = RecordMark();
    ASSERT_EQ(Brisa_GetTask(&back, 4, 9), 1);
    EXPECT_EQ(Codes(RequestsSince(mark)), (std::vector<std::uint8_t>{0x05, 0x05}));
    EXPECT_EQ(std::memcmp(back.bytes, task.bytes, 75), 0);

    CygnaTaskRecord cygna{};
    mark = RecordMark();
    ASSERT_EQ(Cygna_GetTask(&cygna, 2, 0), 1);
    req = RequestsSince(mark);
    ASSERT_EQ(req.size(), 3u);
    for (unsigned k = 0; k < 3; ++k) {
        EXPECT_EQ(req[k].bytes[2], k);
        EXPECT_EQ(req[k].bytes[4], 2);
        EXPECT_EQ(req[k].bytes[5], 0);
    }
    EXPECT_EQ(cygna.bytes[0], 2);
}

TEST_F(Commands, LogsInPiecesOf60) {
    std::uint16_t logs = 0;
    ASSERT_EQ(Tavik_GetLogNum(&logs), 1);
    ASSERT_GT(logs, 0);
    static std::uint8_t log[TAVIK_BRISA_LOG_SIZE + 8];
    std::memset(log, 0xEE, sizeof log);
    auto mark = RecordMark();
    ASSERT_EQ(Brisa_GetLog(log, 1), 1);
    auto req = RequestsSince(mark);
    ASSERT_EQ(req.size(), 25u);
    for (unsigned k = 0; k < 25; ++k) {
        EXPECT_EQ(req[k].bytes[0], 0x0B);
        EXPECT_EQ(req[k].bytes[1], k);
        EXPECT_EQ(req[k].bytes[2], 1);
    }
    EXPECT_EQ(log[TAVIK_BRISA_LOG_SIZE], 0xEE);  // nothing past the log
    // The same bytes piece by piece.
    std::uint8_t piece[64];
    std::memset(piece, 0xCC, sizeof piece);
    ASSERT_EQ(Tavik_GetLog_Piece(piece, 1, 24), 1);
    EXPECT_EQ(piece[0], 0xCC);  // bytes 0..3 untouched
    EXPECT_EQ(std::memcmp(piece + 4, log + 24 * 60, TAVIK_BRISA_LOG_SIZE - 24 * 60), 0);
}

TEST_F(Commands, WlanMessageInPieces) {
    TavikWlanCommand cmd{};
    std::strcpy(reinterpret_cast<char*>(cmd.bytes), "scan");
    ASSERT_EQ(Tavik_SendWlanCommand(cmd), 1);
    std::uint16_t length = 0;
    ASSERT_EQ(Tavik_GetWlanMessageLength(&length), 1);
    ASSERT_GT(length, 0);
    std::vector<std::uint8_t> message(length + 1, 0xEE);
    auto mark = RecordMark();
    ASSERT_EQ(Tavik_GetWlanMessageData(message.data(), length), 1);
    auto req = RequestsSince(mark);
    ASSERT_EQ(req.size(), (length + 59u) / 60u);
    for (unsigned j = 0; j < req.size(); ++j) EXPECT_EQ(req[j].bytes[2] | req[j].bytes[3] << 8, static_cast<int>(j));
    EXPECT_EQ(message[length], 0xEE);

    // 61 bytes: two pieces, exactly 61 bytes written.
    std::vector<std::uint8_t> part(62, 0xEE);
    mark = RecordMark();
    if (length >= 61) {
        ASSERT_EQ(Tavik_GetWlanMessageData(part.data(), 61), 1);
        EXPECT_EQ(RequestsSince(mark).size(), 2u);
        EXPECT_EQ(part[61], 0xEE);
        EXPECT_EQ(std::memcmp(part.data(), message.data(), 61), 0);
    }
    // Length 0: nothing sent.
    mark = RecordMark();
    EXPECT_EQ(Tavik_GetWlanMessageData(part.data(), 0), 1);
    EXPECT_TRUE(RequestsSince(mark).empty());
}

TEST_F(Commands, EepromRangesThatWordsCannotCarryAreRefused) {
    EepromChunk chunk;
    std::memset(&chunk, 0xEE, sizeof chunk);
    const auto mark = RecordMark();
    EXPECT_EQ(Tavik_GetEeprom(1, 2, &chunk), 0);        // odd offset
    EXPECT_EQ(Tavik_GetEeprom(0, 3, &chunk), 0);        // odd length
    EXPECT_EQ(Tavik_GetEeprom(0x20000, 2, &chunk), 0);  // word 0x10000
    EXPECT_EQ(Tavik_SetEeprom(1, 2, chunk), 0);
    EXPECT_EQ(Tavik_SetEeprom(0, 5, chunk), 0);
    EXPECT_EQ(Tavik_SetEeprom(0x20000, 2, chunk), 0);
    EXPECT_TRUE(RequestsSince(mark).empty());
    EXPECT_EQ(chunk.bytes[4], 0xEE);
    // The last word address that fits is still asked for.
    Tavik_GetEeprom(0x1FFFE, 2, &chunk);
    EXPECT_EQ(RequestsSince(mark).size(), 1u);
}

TEST_F(Commands, SystemInformationLayout) {
    // EEPROM bytes 52..57 = 00 00 00 01 00 00 -> 65536.
    std::uint8_t saved[6];
    ASSERT_TRUE(ReadEeprom(52, 6, saved));
    EepromChunk w{};
    const std::uint8_t number[6] = {0, 0, 0, 1, 0, 0};
    std::memcpy(w.bytes + 2, number, 6);
    ASSERT_EQ(Tavik_SetEeprom(52, 6, w), 1);
    std::uint8_t e32[16];
    ASSERT_TRUE(ReadEeprom(32, 16, e32));

    SystemInfoRecord info;
    std::memset(&info, 0xEE, sizeof info);
    auto mark = RecordMark();
    ASSERT_EQ(Tavik_GetSystemInfo(&info), 1);
    EXPECT_EQ(Codes(RequestsSince(mark)), (std::vector<std::uint8_t>{0x0D, 0x12, 0x0F, 0x12}));
    EXPECT_EQ(std::memcmp(info.bytes, e32, 16), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(info.bytes + 30), "65536");
    EXPECT_EQ(info.bytes[49], 0);
    EXPECT_EQ(info.bytes[140], 0);  // zero-filled gaps
    EXPECT_EQ(info.bytes[154], 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(info.bytes + 129)), 10u);
    EXPECT_EQ(info.bytes[129], '2');
    EXPECT_EQ(info.bytes[130], '0');

    std::memcpy(w.bytes + 2, saved, 6);
    ASSERT_EQ(Tavik_SetEeprom(52, 6, w), 1);
}

TEST_F(Commands, CountersFrameAndMediaConfig) {
    CounterRecord counters;
    std::memset(&counters, 0xEE, sizeof counters);
    auto mark = RecordMark();
    ASSERT_EQ(Tavik_GetCounter(&counters, 3), 1);
    auto req = RequestsSince(mark);
    ASSERT_EQ(req.size(), 4u);
    for (unsigned k = 0; k < 4; ++k) {
        EXPECT_EQ(req[k].bytes[0], 0x1E);
        EXPECT_EQ(req[k].bytes[2], k);
        EXPECT_EQ(req[k].bytes[3], 3);
    }
    std::uint32_t port = 0;
    std::memcpy(&port, counters.bytes + 220, 4);
    EXPECT_EQ(port, 3u);

    mark = RecordMark();
    ASSERT_EQ(Tavik_SetMediaConfig(0x00ABCDEF), 1);
    req = RequestsSince(mark);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].bytes[2], 0xEF);
    EXPECT_EQ(req[0].bytes[3], 0xCD);
    EXPECT_EQ(req[0].bytes[4], 0xAB);

    std::uint8_t media[64];
    ASSERT_EQ(Tavik_GetMediaConfig(media), 1);
    FrameRecord frame;
    std::memset(&frame, 0xEE, sizeof frame);
    ASSERT_EQ(Tavik_GetFrame(0x1B, &frame), 1);
    EXPECT_EQ(frame.bytes[0], 0x1B);
    EXPECT_EQ(frame.bytes[1], media[1]);
    EXPECT_EQ(frame.bytes[2], 0xEE);
    EXPECT_EQ(frame.bytes[3], 0xEE);
    EXPECT_EQ(std::memcmp(frame.bytes + 4, media + 2, 62), 0);
    EXPECT_EQ(frame.bytes[66], 0xEE);
    EXPECT_EQ(media[2], 0xEF);  // what was just set

    std::uint32_t status = 0;
    EXPECT_EQ(Tavik_GetLinkStatus(&status), 1);
    std::uint16_t att = 0;
    ASSERT_EQ(Tavik_SetWlanAttenuation(0x10017), 1);
    ASSERT_EQ(Tavik_GetWlanAttenuation(&att), 1);
    EXPECT_EQ(att, 0x17);
}

TEST_F(Commands, ConfigurationRecordsAtTheirOffsets) {
    TavikPortProperty prop{};
    for (int i = 0; i < 16; ++i) prop.bytes[i] = static_cast<std::uint8_t>(0x30 + i);
    TavikEntryConfig entry{};
    for (int i = 0; i < 20; ++i) entry.bytes[i] = static_cast<std::uint8_t>(0x50 + i);
    TavikLWTxConfig lw{};
    for (int i = 0; i < 48; ++i) lw.bytes[i] = static_cast<std::uint8_t>(0x80 + i);
    TavikRGTestConfig rg{};
    rg.bytes[15] = 0x7F;
    auto mark = RecordMark();
    EXPECT_EQ(Tavik_SetPortProperty(prop), 1);
    EXPECT_EQ(Tavik_SetEntryConfig(entry), 1);
    EXPECT_EQ(Tavik_SetLWTxConfig(lw), 1);
    EXPECT_EQ(Tavik_SetRGTestConfig(rg), 1);
    EXPECT_EQ(Tavik_StartTx(0x10002), 1);
    auto req = RequestsSince(mark);
    ASSERT_EQ(Codes(req), (std::vector<std::uint8_t>{0x25, 0x29, 0x22, 0x70, 0x23}));
    EXPECT_EQ(req[0].bytes[15], 0x30 + 13);
    EXPECT_EQ(req[0].bytes[16], 0);  // 14 of 16 sent
    EXPECT_EQ(req[1].bytes[19], 0x50 + 17);
    EXPECT_EQ(req[1].bytes[20], 0);
    EXPECT_EQ(req[2].bytes[49], 0x80 + 47);
    EXPECT_EQ(req[3].bytes[1], 0);
    EXPECT_EQ(req[3].bytes[17], 0x7F);
    EXPECT_EQ(req[4].bytes[2], 2);
    EXPECT_EQ(req[4].bytes[3], 0);  // low 16 bits of the port
    EXPECT_EQ(Tavik_StopTx(2), 1);
    std::uint8_t status[56];
    EXPECT_EQ(Tavik_GetRGTestStatus(status), 1);
}

TEST_F(Commands, RegistersWriteAndRead) {
    ASSERT_EQ(Tavik_WriteToReg(0x40, 0xCAFEF00D), 1);
    std::uint32_t v = 0;
    ASSERT_EQ(Tavik_ReadReg(0x40, &v), 1);
    EXPECT_EQ(v, 0xCAFEF00Du);
}

TEST(SecondPair, CygnaUnderVendor10C4) {
    ASSERT_TRUE(Open(3));
    EXPECT_EQ(Tavik_GetDeviceNumber(), 1);
    const auto mark = RecordMark();
    std::uint8_t image[256];
    ASSERT_TRUE(ReadEeprom(0, 256, image));
    EXPECT_STREQ(reinterpret_cast<const char*>(image + 76), "CYS0002");
    auto req = RequestsSince(mark);
    ASSERT_FALSE(req.empty());
    EXPECT_EQ(req[0].device, "cygna-second");
    EXPECT_EQ(req[0].count, 64u);
    Tavik_TerminateProcess();
}

TEST(FfReplies, NeverMatchARegisterRead) {
    ASSERT_TRUE(Open(1));
    ASSERT_EQ(Tavik_WriteToReg(0x21, 0x11111111), 1);
    ASSERT_EQ(Tavik_WriteToReg(0x22, 0x22222222), 1);
    // Had a 0xFF reply been taken, its real reply would answer the next read.
    std::uint32_t a = 0, b = 0, c = 0;
    ASSERT_EQ(Tavik_ReadReg(0x21, &a), 1);
    ASSERT_EQ(Tavik_ReadReg(0x22, &b), 1);
    ASSERT_EQ(Tavik_ReadReg(0x21, &c), 1);
    EXPECT_EQ(a, 0x11111111u);
    EXPECT_EQ(b, 0x22222222u);
    EXPECT_EQ(c, 0x11111111u);
    Tavik_TerminateProcess();
}

TEST(Late, DeadlineCommandFailsAndLateReplyIsDropped) {
    ASSERT_TRUE(Open(4));
    std::uint8_t media[64];
    std::memset(media, 0xEE, sizeof media);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavik_GetMediaConfig(media), 0);
    const double took = Seconds(t0);
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, 3.5);
    EXPECT_EQ(media[0], 0xEE);  // untouched

    // EEPROM read: 50 ms pause, then 2 s without pauses; the reply comes at 2.1 s.
    EepromChunk chunk;
    std::memset(&chunk, 0xEE, sizeof chunk);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavik_GetEeprom(0, 58, &chunk), 0);
    EXPECT_LT(Seconds(t0), 3.5);
    EXPECT_EQ(chunk.bytes[4], 0xEE);
    // Its reply, arriving during the next read, is not that read's data: the
    // next read gets the serial's first bytes (from byte 76) or nothing.
    EepromChunk next;
    std::memset(&next, 0xEE, sizeof next);
    if (Tavik_GetEeprom(76, 2, &next) == 1) {
        EXPECT_EQ(next.bytes[4], 'A');
        EXPECT_EQ(next.bytes[5], 'P');
    } else {
        EXPECT_EQ(next.bytes[4], 0xEE);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));

    // A Counted read waits 150 ms plus three reads: the late reply arrives in
    // time, and the stale 0x12 reply in between is dropped.
    std::uint32_t v = 0;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavik_ReadReg(0x33, &v), 1);
    EXPECT_EQ(v, 0x5A5A0033u);
    Tavik_TerminateProcess();
}

TEST(Late, WlanCommandLimitFollowsItsByte) {
    ASSERT_TRUE(Open(4));
    TavikWlanCommand cmd{};
    cmd.bytes[2] = 0;  // 1 s limit: the 2.1 s reply misses it
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavik_SendWlanCommand(cmd), 0);
    EXPECT_LT(Seconds(t0), 2.3);
    Tavik_TerminateProcess();
    ASSERT_TRUE(Open(4));
    std::uint32_t v = 0;  // a Counted read drops the late 0x30 reply, wherever it went
    EXPECT_EQ(Tavik_ReadReg(0x34, &v), 1);
    cmd.bytes[2] = 9;  // min(9, 5) + 1 = 6 s
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Tavik_SendWlanCommand(cmd), 1);
    EXPECT_GE(Seconds(t0), 2.0);
    Tavik_TerminateProcess();
}
