#include <gtest/gtest.h>

#include "families/usb/EchoProtocol.h"

using namespace echo;

TEST(EchoProtocol, ImageIsFiveChunks) {
    ASSERT_EQ(ChunkCount(kTeskLayout, 256), 5u);
    const std::uint32_t addresses[] = {0, 60, 120, 180, 240};
    for (std::size_t i = 0; i < 5; ++i) {
        auto c = ChunkAt(kTeskLayout, 256, i);
        EXPECT_EQ(c.address, addresses[i]);
        EXPECT_EQ(c.offset, i * 60);
        EXPECT_EQ(c.length, i < 4 ? 60u : 16u);
    }
    EXPECT_EQ(ChunkCount(kTeskLayout, 60), 1u);
    EXPECT_EQ(ChunkCount(kTeskLayout, 0), 0u);
    EXPECT_EQ(ChunkCount(kTeskLayout, -5), 0u);
}

TEST(EchoProtocol, AddressesWrapWhileTheBufferGrows) {
    ASSERT_EQ(ChunkCount(kTeskLayout, 360), 6u);
    auto c = ChunkAt(kTeskLayout, 360, 5);
    EXPECT_EQ(c.address, 44u);
    EXPECT_EQ(c.offset, 300u);
}

TEST(EchoProtocol, RequestLayout) {
    std::uint8_t data[16];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    auto r = BuildRequest(kTeskLayout, kTeskLayout.writeCommand, {240, 240, 16}, data);
    EXPECT_EQ(r[0], 0x08);
    EXPECT_EQ(r[1], 240);
    EXPECT_EQ(r[2], 16);
    EXPECT_EQ(r[3], 0xA0);
    EXPECT_EQ(r[18], 0xAF);
    EXPECT_EQ(r[19], 0);
    EXPECT_EQ(r[63], 0);
}

TEST(EchoProtocol, OnlyAFullEchoIsAccepted) {
    auto req = BuildRequest(kTeskLayout, 0x09, {60, 60, 60});
    Report reply = req;
    EXPECT_TRUE(IsEcho(kTeskLayout, req, reply, 64));
    EXPECT_TRUE(IsEcho(kTeskLayout, req, reply, 3));
    EXPECT_FALSE(IsEcho(kTeskLayout, req, reply, 0));
    reply[1] = 61;
    EXPECT_FALSE(IsEcho(kTeskLayout, req, reply, 64));
    reply = req;
    reply[2] = 59;
    EXPECT_FALSE(IsEcho(kTeskLayout, req, reply, 64));
    reply = req;
    reply[0] = 0x08;
    EXPECT_FALSE(IsEcho(kTeskLayout, req, reply, 64));
}
