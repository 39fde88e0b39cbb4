// Wire codecs of the network families, checked against byte layouts written
// out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "families/net/GostelProtocol.h"
#include "families/net/HevraProtocol.h"
#include "families/net/LomberEvraProtocol.h"

using Bytes = std::vector<std::uint8_t>;

namespace {
Bytes Zeros(std::size_t n) { return Bytes(n, 0); }
}  // namespace

TEST(LomberEvraProtocol, DiscoveryRequestsInEachByteOrder) {
    const Bytes evra = lomber::DiscoveryRequest(lomber::Dialect::Evra);
    const Bytes evraWant = {'V', 'K', 'L', 'P', 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(evra, evraWant);
    const Bytes kalder = lomber::DiscoveryRequest(lomber::Dialect::Kalder);
    const Bytes kalderWant = {'P', 'L', 'K', 'V', 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(kalder, kalderWant);
    EXPECT_EQ(lomber::DevicePort(lomber::Dialect::Evra), 5006);
    EXPECT_EQ(lomber::DevicePort(lomber::Dialect::Kalder), 5016);
}

TEST(LomberEvraProtocol, DiscoveryRepliesNeedExactSizeMagicAndCommand) {
    Bytes evra = Zeros(96);
    std::memcpy(evra.data(), "VKLP", 4);
    evra[17] = 1;
    evra[28] = 198, evra[29] = 18, evra[30] = 0, evra[31] = 10;
    EXPECT_EQ(lomber::DiscoveredAddress(lomber::Dialect::Evra, evra), 0xC612000Au);
    Bytes longer = evra;
    longer.push_back(0);
    EXPECT_FALSE(lomber::DiscoveredAddress(lomber::Dialect::Evra, longer));
    Bytes wrongCommand = evra;
    wrongCommand[17] = 14;
    EXPECT_FALSE(lomber::DiscoveredAddress(lomber::Dialect::Evra, wrongCommand));

    Bytes kalder = Zeros(94);
    std::memcpy(kalder.data(), "PLKV", 4);
    kalder[16] = 1;
    kalder[26] = 20, kalder[27] = 0, kalder[28] = 18, kalder[29] = 198;
    EXPECT_EQ(lomber::DiscoveredAddress(lomber::Dialect::Kalder, kalder), 0xC6120014u);
    // A Kalder reply with its magic in big-endian order is not a Kalder reply.
    Bytes bigEndianMagic = kalder;
    std::memcpy(bigEndianMagic.data(), "VKLP", 4);
    EXPECT_FALSE(lomber::DiscoveredAddress(lomber::Dialect::Kalder, bigEndianMagic));
    // And an Evra reply with the little-endian magic is no Evra reply.
    Bytes littleMagic = evra;
    std::memcpy(littleMagic.data(), "PLKV", 4);
    EXPECT_FALSE(lomber::DiscoveredAddress(lomber::Dialect::Evra, littleMagic));
    // Truncated frames are refused, never read past.
    EXPECT_FALSE(lomber::DiscoveredAddress(lomber::Dialect::Kalder, Bytes(kalder.begin(), kalder.begin() + 10)));
    EXPECT_FALSE(lomber::DiscoveredAddress(lomber::Dialect::Evra, Bytes{}));
}

TEST(LomberEvraProtocol, EvraReadAndWriteAreWholeImages) {
    const Bytes read = lomber::EvraReadRequest();
    ASSERT_EQ(read.size(), 20u);
    EXPECT_EQ(read[16], 0);
    EXPECT_EQ(read[17], 14);

    Bytes reply = Zeros(276);
    std::memcpy(reply.data(), "VKLP", 4);
    reply[17] = 14;
    for (int i = 0; i < 256; ++i) reply[20 + i] = static_cast<std::uint8_t>(i ^ 0x5A);
    auto data = lomber::EvraReadData(reply);
    ASSERT_TRUE(data);
    ASSERT_EQ(data->size(), 256u);
    EXPECT_EQ((*data)[0], 0x5A);
    EXPECT_EQ((*data)[255], 255 ^ 0x5A);
    reply[17] = 15;
    EXPECT_FALSE(lomber::EvraReadData(reply));
    EXPECT_TRUE(lomber::IsEvraWriteReply(reply));

    // A write of another length still sends exactly 256 bytes: the caller's
    // bytes, then zeros; nothing beyond the caller's bytes is read.
    const Bytes shortImage(100, 0xEE);
    const Bytes write = lomber::EvraWriteRequest(shortImage);
    ASSERT_EQ(write.size(), 276u);
    EXPECT_EQ(write[17], 15);
    EXPECT_EQ(write[20], 0xEE);
    EXPECT_EQ(write[119], 0xEE);
    EXPECT_EQ(write[120], 0);
    EXPECT_EQ(write[275], 0);
    const Bytes longImage(300, 0x11);
    EXPECT_EQ(lomber::EvraWriteRequest(longImage).size(), 276u);
}

TEST(LomberEvraProtocol, KalderChunksCarryWordAddressAndCount) {
    const Bytes read = lomber::KalderReadRequest(0, 128);
    ASSERT_EQ(read.size(), 278u);
    EXPECT_EQ(read[16], 2);
    EXPECT_EQ(read[18], 0);
    EXPECT_EQ(read[19], 0);
    EXPECT_EQ(read[20], 128);
    EXPECT_EQ(read[21], 0);

    const Bytes data(256, 0xC3);
    const Bytes write = lomber::KalderWriteRequest(0x0180, 64, data);
    ASSERT_EQ(write.size(), 278u);
    EXPECT_EQ(write[16], 3);
    EXPECT_EQ(write[18], 0x80);  // word address 0x180, little-endian
    EXPECT_EQ(write[19], 0x01);
    EXPECT_EQ(write[20], 64);
    EXPECT_EQ(write[22], 0xC3);
    EXPECT_EQ(write[277], 0xC3);

    Bytes ack = Zeros(18);
    std::memcpy(ack.data(), "PLKV", 4);
    ack[16] = 3;
    EXPECT_TRUE(lomber::IsKalderWriteReply(ack));
    ack[16] = 2;
    EXPECT_FALSE(lomber::IsKalderWriteReply(ack));

    Bytes reply = Zeros(278);
    std::memcpy(reply.data(), "PLKV", 4);
    reply[16] = 2;
    reply[22] = 0x42;
    auto chunk = lomber::KalderReadData(reply);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->size(), 256u);
    EXPECT_EQ((*chunk)[0], 0x42);
    reply.pop_back();
    EXPECT_FALSE(lomber::KalderReadData(reply));

    // A 256-byte image is one chunk; 600 bytes are three, the last of 88.
    EXPECT_EQ(wire::ChunkCount(256, 256), 1u);
    EXPECT_EQ(wire::ChunkCount(600, 256), 3u);
    EXPECT_EQ(wire::ChunkLength(600, 256, 2), 88u);
    EXPECT_EQ(wire::ChunkCount(0, 256), 0u);
}

TEST(GostelProtocol, QueriesAndReplies) {
    const Bytes want = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(gostel::DiscoveryRequest(), want);
    Bytes table = want;
    table[6] = 6;
    EXPECT_EQ(gostel::SlotTableRequest(), table);

    Bytes reply = Zeros(112);
    reply[6] = 3;
    EXPECT_TRUE(gostel::IsDiscoveryReply(reply));
    reply.push_back(0);
    EXPECT_FALSE(gostel::IsDiscoveryReply(reply));

    Bytes slots = Zeros(144);
    slots[6] = 6;
    auto put = [&](int i, std::uint16_t type, std::uint16_t status) {
        slots[16 + 8 * i] = static_cast<std::uint8_t>(type);
        slots[17 + 8 * i] = static_cast<std::uint8_t>(type >> 8);
        slots[18 + 8 * i] = static_cast<std::uint8_t>(status);
    };
    put(1, 0xA021, 1);
    put(3, 0xC022, 2);
    put(5, 0xD022, 0);
    put(6, 0xD023, 3);
    auto entries = gostel::ParseSlotTable(slots);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 16u);
    std::vector<int> present;
    for (const auto& e : *entries)
        if (gostel::IsCardPresent(e.status)) present.push_back(e.slot);
    EXPECT_EQ(present, (std::vector<int>{1, 3}));
    EXPECT_EQ((*entries)[3].cardType, 0xC022);
    slots.resize(143);
    EXPECT_FALSE(gostel::ParseSlotTable(slots));
}

TEST(GostelProtocol, EepromSubCommandsAndLayout) {
    EXPECT_EQ(gostel::SubCommand(0x2160, 0, false), 1);
    EXPECT_EQ(gostel::SubCommand(0x2160, 1, true), 2);
    EXPECT_EQ(gostel::SubCommand(0xA021, 0, false), 5);
    EXPECT_EQ(gostel::SubCommand(0xA021, 0, true), 6);
    EXPECT_EQ(gostel::SubCommand(0xA021, 1, false), 3);
    EXPECT_EQ(gostel::SubCommand(0xA021, 1, true), 4);

    const Bytes data(256, 0x77);
    const Bytes r = gostel::EepromRequest(6, 3, 128, 256, data);
    ASSERT_EQ(r.size(), 276u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 6), Zeros(6));
    EXPECT_EQ(r[6], 14);
    EXPECT_EQ(r[8], 6);
    EXPECT_EQ(r[10], 3);
    EXPECT_EQ(r[16], 128);
    EXPECT_EQ(r[17], 0);
    EXPECT_EQ(r[18], 0x00);  // 256 bytes, little-endian
    EXPECT_EQ(r[19], 0x01);
    EXPECT_EQ(r[20], 0x77);

    Bytes reply = Zeros(276);
    reply[6] = 14;
    reply[8] = 5;
    reply[20] = 0xAB;
    EXPECT_TRUE(gostel::IsEepromReply(reply, 5));
    EXPECT_FALSE(gostel::IsEepromReply(reply, 3));  // another sub-command is a miss
    ASSERT_TRUE(gostel::EepromData(reply, 5));
    EXPECT_EQ((*gostel::EepromData(reply, 5))[0], 0xAB);
    EXPECT_EQ(gostel::EepromData(reply, 5)->size(), 256u);
}

TEST(GostelProtocol, CardTypeTexts) {
    EXPECT_EQ(gostel::CardTypeText(0xD022), "10/100/1G RJ45/SFP");
    EXPECT_EQ(gostel::CardTypeText(0xD023), "10G SFP+/SFP+");
    EXPECT_EQ(gostel::CardTypeText(0xD024), "10G SFP+/XFP");
    EXPECT_EQ(gostel::CardTypeText(0xD025), "10G CX4/RJ45");
    EXPECT_EQ(gostel::CardTypeText(0xD026), "10G RJ45/SFP+");
    EXPECT_EQ(gostel::CardTypeText(0xD027), "10G XFP/XFP");
    EXPECT_EQ(gostel::CardTypeText(0xD028), "10G RJ45/XFP");
    EXPECT_EQ(gostel::CardTypeText(0xD001), "");
    EXPECT_EQ(gostel::CardTypeText(0xD029), "Unknown");
    EXPECT_EQ(gostel::CardTypeText(0xA029), "Unknown");
    for (std::uint16_t t : {0x2160, 0xA021, 0xA028, 0xB010, 0xB012, 0xC022, 0xC028}) {
        EXPECT_NE(gostel::CardTypeText(t), "Unknown") << t;
        EXPECT_NE(gostel::CardTypeText(t), "") << t;
    }
}

TEST(HevraProtocol, CrcCheckValueAndDiscoveryPacket) {
    const std::string digits = "123456789";
    EXPECT_EQ(hevra::Crc16Ccitt({reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()}), 0x31C3);
    EXPECT_EQ(hevra::Crc16Ccitt({}), 0);

    const Bytes p = hevra::DiscoveryPacket();
    ASSERT_EQ(p.size(), 192u);
    EXPECT_EQ(std::string(p.begin(), p.begin() + 7), "quenlor");
    EXPECT_EQ(p[7], 0x20);
    EXPECT_EQ(p[9], 0xFA);
    EXPECT_EQ(p[14], 0xCC);
    EXPECT_EQ(p[15], 0x01);
    const std::uint16_t crc = hevra::Crc16Ccitt({p.data(), 28});
    EXPECT_EQ(p[28], crc >> 8);
    EXPECT_EQ(p[29], crc & 0xFF);
    EXPECT_EQ(Bytes(p.begin() + 30, p.end()), Zeros(162));
    EXPECT_TRUE(hevra::IsDiscoveryReply(p));

    Bytes badCrc = p;
    badCrc[29] ^= 1;
    EXPECT_FALSE(hevra::IsDiscoveryReply(badCrc));
    Bytes badMagic = p;
    badMagic[0] = 'Q';
    EXPECT_FALSE(hevra::IsDiscoveryReply(badMagic));
    EXPECT_FALSE(hevra::IsDiscoveryReply(Bytes(p.begin(), p.begin() + 191)));
}

TEST(HevraProtocol, IdentifyAndSlotTable) {
    const Bytes id = hevra::IdentifyRequest();
    ASSERT_EQ(id.size(), 100u);
    EXPECT_EQ(id[0], 0x80);
    EXPECT_EQ(id[1], 0xFD);
    EXPECT_EQ(id[19], 0xFF);

    Bytes reply = Zeros(64);
    reply[0] = 0x80, reply[1] = 0xFD, reply[2] = 0x51, reply[3] = 0x60;
    for (int i = 0; i < 6; ++i) reply[20 + i] = static_cast<std::uint8_t>(0x10 + i);
    auto identity = hevra::ParseIdentifyReply(reply);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->chassisId, 0x5160);
    EXPECT_EQ(identity->station[5], 0x15);
    // A reply that ends before the station identity is no identity.
    EXPECT_FALSE(hevra::ParseIdentifyReply(Bytes(reply.begin(), reply.begin() + 25)));

    const Bytes table = hevra::SlotTableRequest(*identity);
    EXPECT_EQ(table[0], 0x00);
    EXPECT_EQ(table[1], 0xC1);
    EXPECT_EQ(table[2], 0x51);
    EXPECT_EQ(table[3], 0x60);
    EXPECT_EQ(table[12], 0xD0);
    EXPECT_EQ(table[13], 0x01);
    EXPECT_EQ(table[25], 0x15);
    EXPECT_EQ(table[19], 0);

    Bytes slots = Zeros(936);
    slots[0] = 0x80, slots[1] = 0xC1;
    auto put = [&](int i, std::uint16_t type, std::uint32_t presence) {
        slots[104 + 52 * i] = static_cast<std::uint8_t>(type >> 8);
        slots[105 + 52 * i] = static_cast<std::uint8_t>(type);
        slots[152 + 52 * i] = static_cast<std::uint8_t>(presence);  // little-endian
        slots[153 + 52 * i] = static_cast<std::uint8_t>(presence >> 8);
    };
    put(0, 0xD001, 1);
    put(2, 0xD001, 9);
    put(4, 0xD001, 0);
    put(15, 0xD001, 0x0101);
    auto entries = hevra::ParseSlotTable(slots);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 16u);
    std::vector<int> present;
    for (const auto& e : *entries)
        if (hevra::IsCardPresent(e.presence)) present.push_back(e.slot);
    EXPECT_EQ(present, (std::vector<int>{0, 2}));
    // Entries that did not arrive whole are not read.
    EXPECT_EQ(hevra::ParseSlotTable(Bytes(slots.begin(), slots.begin() + 300))->size(), 3u);
    slots[1] = 0xC2;
    EXPECT_FALSE(hevra::ParseSlotTable(slots));
}

TEST(HevraProtocol, EepromRequestsAndBoundedReplies) {
    const hevra::Station station{1, 2, 3, 4, 5, 6};
    // The controller's EEPROM uses the controller codes and carries no slot.
    const Bytes controller = hevra::EepromRequest(0x1428, false, station, 7, 0, 256);
    ASSERT_EQ(controller.size(), 100u);
    EXPECT_EQ(controller[0], 0x00);
    EXPECT_EQ(controller[1], 0xC2);
    EXPECT_EQ(controller[26], 0);
    EXPECT_EQ(controller[20], 1);
    EXPECT_EQ(controller[25], 6);
    EXPECT_EQ(controller[30], 0x01);  // 256, big-endian
    EXPECT_EQ(controller[31], 0x00);
    const Bytes controllerWrite = hevra::EepromRequest(0x1428, true, station, 7, 0, 256, Bytes(256, 0x99));
    ASSERT_EQ(controllerWrite.size(), 1060u);
    EXPECT_EQ(controllerWrite[1], 0xC3);
    EXPECT_EQ(controllerWrite[26], 0);
    EXPECT_EQ(controllerWrite[32], 0x99);
    EXPECT_EQ(controllerWrite[287], 0x99);
    EXPECT_EQ(controllerWrite[288], 0);

    const Bytes card = hevra::EepromRequest(0xD001, false, station, 2, 128, 16);
    EXPECT_EQ(card[1], 0xE0);
    EXPECT_EQ(card[26], 2);
    EXPECT_EQ(card[28], 0);
    EXPECT_EQ(card[29], 128);
    EXPECT_EQ(hevra::EepromRequest(0xD001, true, station, 2, 0, 256)[1], 0xE1);

    Bytes reply = Zeros(288);
    reply[0] = 0x80, reply[1] = 0xE0;
    reply[32] = 0x31;
    reply[287] = 0x32;
    auto data = hevra::ReadReplyData(reply, 0x00E0, 256);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), 256u);
    EXPECT_EQ(data->back(), 0x32);
    // 256 bytes arrived but the chunk would reach to byte 288: refused rather
    // than read past what arrived.
    EXPECT_FALSE(hevra::ReadReplyData(Bytes(reply.begin(), reply.begin() + 256), 0x00E0, 256));
    // A short chunk still needs a reply of at least 256 bytes.
    EXPECT_FALSE(hevra::ReadReplyData(Bytes(reply.begin(), reply.begin() + 100), 0x00E0, 16));
    EXPECT_EQ(hevra::ReadReplyData(Bytes(reply.begin(), reply.begin() + 256), 0x00E0, 16)->size(), 16u);
    EXPECT_FALSE(hevra::ReadReplyData(reply, 0x00C2, 256));
}
