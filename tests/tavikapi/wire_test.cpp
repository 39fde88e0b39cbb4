// Command packets, system information, image checks and CRC as pure functions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Fake.h"
#include "Wire.h"

using namespace tavik;
using tavik::test::Reply;

namespace {
Bytes B(const std::string& s) { return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

// A firmware or FPGA image with `dataLen` data bytes and correct checks.
std::vector<std::uint8_t> Image(ImageKind kind, std::size_t dataLen, const char* model) {
    std::vector<std::uint8_t> f(512 + dataLen);
    if (kind == ImageKind::Firmware) {
        f[0] = 0x57, f[1] = 0x46;
    } else {
        f[0] = 0x41, f[1] = 0x47, f[2] = 0x50, f[3] = 0x46;
    }
    f[5] = 1;
    std::strcpy(reinterpret_cast<char*>(&f[13]), "Quenlor_Technologies");
    std::strcpy(reinterpret_cast<char*>(&f[77]), model);
    for (std::size_t i = 0; i < dataLen; ++i) f[512 + i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::uint16_t dataCrc = Crc16Xmodem(Bytes(f).subspan(512));
    f[9] = dataCrc & 0xFF, f[10] = dataCrc >> 8;
    const std::uint16_t headCrc = Crc16Xmodem(Bytes(f).first(510));
    f[510] = headCrc & 0xFF, f[511] = headCrc >> 8;
    return f;
}

std::vector<std::uint8_t> PadImage(std::size_t dataLen) {
    std::vector<std::uint8_t> f(1056 + dataLen);
    std::strcpy(reinterpret_cast<char*>(&f[2]), "Vessa FW");
    for (std::size_t i = 32; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(i);
    const std::uint16_t crc = Crc16Xmodem(Bytes(f).subspan(32));
    f[0] = crc & 0xFF, f[1] = crc >> 8;
    return f;
}
}  // namespace

TEST(Crc, XmodemCheckValue) {
    EXPECT_EQ(Crc16Xmodem(B("123456789")), 0x31C3);
    EXPECT_EQ(Crc16Xmodem(B("")), 0);
}

TEST(Wire, RegisterAndPortRequests) {
    Packet r = ReadRegRequest(0x12345678);
    EXPECT_EQ(r[0], 0x01);
    EXPECT_EQ(r[2], 0x78);
    EXPECT_EQ(r[3], 0x56);
    EXPECT_EQ(ReadU32Le(r, 4), 1u);
    EXPECT_FALSE(MatchCode(Reply({0xFF}), code::ReadReg));
    EXPECT_TRUE(MatchCode(Reply({0x01}), code::ReadReg));

    Packet m = MediaConfigRequest(0x00ABCDEF);
    EXPECT_EQ(m[2], 0xEF);
    EXPECT_EQ(m[3], 0xCD);
    EXPECT_EQ(m[4], 0xAB);
    EXPECT_EQ(m[5], 0);

    Packet c = CounterRequest(3, 0x1207);
    EXPECT_EQ(c[2], 3);
    EXPECT_EQ(c[3], 0x07);
}

TEST(Wire, WlanLimitFollowsRequestByte4) {
    std::uint8_t cmd[64] = {};
    cmd[2] = 0;
    EXPECT_EQ(WlanCommandLimitMs(WlanCommandRequest(cmd)), 1000);
    cmd[2] = 9;
    EXPECT_EQ(WlanCommandLimitMs(WlanCommandRequest(cmd)), 6000);
    cmd[63] = 0xAA;  // bytes past 62 are not sent
    cmd[61] = 0xBB;
    Packet p = WlanCommandRequest(cmd);
    EXPECT_EQ(p[63], 0xBB);
}

TEST(Wire, EepromWordsAndDataArea) {
    std::uint8_t chunk[64];
    for (int i = 0; i < 64; ++i) chunk[i] = static_cast<std::uint8_t>(i);
    Packet w = EepromWriteRequest(116, 58, chunk);
    EXPECT_EQ(w[0], 0x13);
    EXPECT_EQ(ReadU16Le(w, 2), 58);
    EXPECT_EQ(ReadU16Le(w, 4), 29);
    EXPECT_EQ(w[6], 2);    // chunk byte 2
    EXPECT_EQ(w[63], 59);  // chunk byte 59
    Packet r = EepromReadRequest(33, 7);  // odd values lose their last byte
    EXPECT_EQ(ReadU16Le(r, 2), 16);
    EXPECT_EQ(ReadU16Le(r, 4), 3);
}

TEST(Wire, TaskUploadChunks) {
    std::uint8_t alda[75];
    for (int i = 0; i < 75; ++i) alda[i] = static_cast<std::uint8_t>(i + 1);
    auto chunks = TaskUploadRequests(alda);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(ReadU16Le(chunks[0], 2), 0);
    EXPECT_EQ(chunks[0][4], alda[0]);
    EXPECT_EQ(chunks[0][5], alda[1]);
    EXPECT_EQ(chunks[0][6], alda[1]);   // task bytes 1..58
    EXPECT_EQ(chunks[0][63], alda[58]);
    EXPECT_EQ(ReadU16Le(chunks[1], 2), 1);
    EXPECT_EQ(chunks[1][6], alda[59]);  // task bytes 59..74, then zeros
    EXPECT_EQ(chunks[1][21], alda[74]);
    EXPECT_EQ(chunks[1][22], 0);
    std::uint8_t cygna[143] = {};
    EXPECT_EQ(TaskUploadRequests(cygna).size(), 3u);
    EXPECT_EQ(TaskChunks(143), 3u);
}

TEST(Wire, TaskAndLogMatchers) {
    EXPECT_TRUE(MatchTask(Reply({0x05, 0, 2, 0, 7, 9}), 2, 7, 9));
    EXPECT_FALSE(MatchTask(Reply({0x05, 0, 1, 0, 7, 9}), 2, 7, 9));
    EXPECT_FALSE(MatchTask(Reply({0x05, 0, 2, 0, 7, 8}), 2, 7, 9));
    EXPECT_TRUE(MatchLog(Reply({0x0B, 4, 0x34, 0x12}), 0x1234));
    EXPECT_FALSE(MatchLog(Reply({0x0B, 4, 0x35, 0x12}), 0x1234));
    EXPECT_TRUE(MatchWlanPiece(Reply({0x32, 0, 1, 0}), 1));
    EXPECT_FALSE(MatchWlanPiece(Reply({0x32, 0, 0, 0}), 1));
    Packet log = LogPieceRequest(24, 0x10005);
    EXPECT_EQ(log[1], 24);
    EXPECT_EQ(ReadU16Le(log, 2), 5);
}

TEST(Wire, SystemInfoLayout) {
    Packet a{}, e32{}, b{}, e52{};
    for (int i = 0; i < 64; ++i) {
        a[i] = static_cast<std::uint8_t>(0x40 + i);
        b[i] = static_cast<std::uint8_t>(0x80 + i);
        e32[i] = static_cast<std::uint8_t>(i);
    }
    a[51] = 26, a[52] = 3, a[53] = 9;
    const std::uint8_t number[6] = {0, 0, 0, 1, 0, 0};
    std::memcpy(&e52[6], number, 6);
    const auto rec = AssembleSystemInfo(a, e32, b, e52);
    EXPECT_EQ(rec[0], 6);    // EEPROM byte 32 = reply byte 6
    EXPECT_EQ(rec[15], 21);
    EXPECT_EQ(rec[16], 0x42);
    EXPECT_STREQ(reinterpret_cast<const char*>(&rec[30]), "65536");
    EXPECT_EQ(rec[50], 0x40 + 16);
    EXPECT_EQ(rec[75], 0x40 + 41);
    EXPECT_EQ(rec[76], 0x82);
    EXPECT_EQ(rec[85], 0x80 + 54);
    EXPECT_EQ(rec[93], 0x80 + 11);
    EXPECT_EQ(rec[128], 0x80 + 53);
    EXPECT_STREQ(reinterpret_cast<const char*>(&rec[129]), "2026-03-09");
    EXPECT_EQ(rec[140], 0);
    EXPECT_EQ(rec[154], 0);
    EXPECT_EQ(rec[155], 0x80 + 29);
    EXPECT_EQ(rec[165], 0x40 + 57);

    const std::uint8_t big[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(&e52[6], big, 6);
    a[51] = 100;  // a field of three digits: no date rather than a cut one
    const auto rec2 = AssembleSystemInfo(a, e32, b, e52);
    EXPECT_STREQ(reinterpret_cast<const char*>(&rec2[30]), "281474976710655");
    EXPECT_STREQ(reinterpret_cast<const char*>(&rec2[129]), "");
    EXPECT_EQ(rec2[139], 0);
    EXPECT_EQ(rec2[155], 0x80 + 29);
    a[51] = 26;
    for (int field : {52, 53}) {
        a[field] = 255;
        EXPECT_STREQ(reinterpret_cast<const char*>(&AssembleSystemInfo(a, e32, b, e52)[129]), "") << field;
        a[field] = 99;
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(&AssembleSystemInfo(a, e32, b, e52)[129]), "2026-99-99");
}

TEST(Image, FirmwareAndFpgaChecks) {
    auto fw = Image(ImageKind::Firmware, 600, "Pembrix-Alda");
    EXPECT_EQ(CheckImage(ImageKind::Firmware, fw, 1), "");
    EXPECT_NE(CheckImage(ImageKind::Firmware, fw, 4), "");  // "Pembrix-Alda+" is another model
    EXPECT_NE(CheckImage(ImageKind::Fpga, fw, 1), "");      // wrong magic
    auto fpga = Image(ImageKind::Fpga, 100, "Pembrix-Brisa");
    EXPECT_EQ(CheckImage(ImageKind::Fpga, fpga, 2), "");
    EXPECT_EQ(CheckImage(ImageKind::Fpga, fpga, 1), "model");

    auto bad = fw;
    bad[600] ^= 1;  // data byte
    EXPECT_EQ(CheckImage(ImageKind::Firmware, bad, 1), "data CRC");
    bad = fw;
    bad[5] = 2;
    EXPECT_EQ(CheckImage(ImageKind::Firmware, bad, 1), "version bytes");
    bad = fw;
    bad[20] ^= 0x20;
    EXPECT_EQ(CheckImage(ImageKind::Firmware, bad, 1), "header CRC");
    auto headerOnly = Image(ImageKind::Firmware, 0, "Pembrix-Alda");
    EXPECT_NE(CheckImage(ImageKind::Firmware, headerOnly, 1), "");
    EXPECT_NE(CheckImage(ImageKind::Firmware, Bytes(fw).first(100), 1), "");
}

TEST(Image, PadDataChecks) {
    auto pad = PadImage(121);
    EXPECT_EQ(CheckImage(ImageKind::PadData, pad, 3), "");
    auto bad = pad;
    bad[40] ^= 1;  // covered by the CRC though never sent
    EXPECT_EQ(CheckImage(ImageKind::PadData, bad, 3), "pad-data CRC");
    EXPECT_NE(CheckImage(ImageKind::PadData, Bytes(pad).first(1000), 3), "");
}

TEST(Image, DownloadChunkNumbering) {
    std::uint8_t data[60] = {9, 8, 7};
    Packet fw = DownloadChunk(ImageKind::Firmware, 513, 600, data);
    EXPECT_EQ(fw[0], 0x09);
    EXPECT_EQ(fw[1], 60);
    EXPECT_EQ(ReadU16Le(fw, 2), 513);
    EXPECT_EQ(fw[4], 9);
    Packet pad1 = DownloadChunk(ImageKind::PadData, 0, 3, data);
    EXPECT_EQ(pad1[1], 0x00);
    EXPECT_EQ(pad1[2], 0x01);
    EXPECT_EQ(pad1[3], 60);
    Packet padLast = DownloadChunk(ImageKind::PadData, 2, 3, Bytes(data).first(1));
    EXPECT_EQ(padLast[1], 0xFF);
    EXPECT_EQ(padLast[2], 0xFF);
    EXPECT_EQ(padLast[3], 1);
    EXPECT_EQ(padLast[5], 0);
    Packet close = ClosingRequest(ImageKind::Fpga);
    EXPECT_EQ(close[0], 0x0A);
    EXPECT_EQ(close[1], 0);
    EXPECT_EQ(close[2], 0xFF);
    EXPECT_EQ(close[63], 0xFF);
    EXPECT_EQ(ChunkPercent(0, 10), 10);
    EXPECT_EQ(ChunkPercent(9, 10), 99);
    EXPECT_EQ(ChunkPercent(0, 3), 33);
}
