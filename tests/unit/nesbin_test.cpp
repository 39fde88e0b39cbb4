// Nesbin frames and the choice of interfaces, without a network.
#include <gtest/gtest.h>

#include "families/usb/CComm_Harlo.h"
#include "families/usb/CComm_Nesbin.h"
#include "families/usb/HarloFrames.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "families/usb/NesbinFrames.h"

namespace {
const nesbin::Mac kHost = {0x02, 0, 0, 0, 0, 1};
const nesbin::Mac kInstrument = {0x02, 0x4e, 0x53, 0, 0, 0x10};

std::vector<std::uint8_t> Reply(std::uint8_t group, std::uint8_t command, std::size_t length) {
    std::vector<std::uint8_t> f(length, 0);
    f[12] = 0x08;
    f[13] = 0x06;
    f[14] = 'C';
    f[15] = 'X';
    f[17] = 1;
    f[18] = group;
    f[19] = command;
    return f;
}
}  // namespace

TEST(NesbinFrames, RequestsAndPadding) {
    const auto discover = nesbin::DiscoveryRequest(kHost);
    ASSERT_EQ(discover.size(), 32u);
    EXPECT_EQ(std::vector<std::uint8_t>(discover.begin(), discover.begin() + 6), std::vector<std::uint8_t>(6, 0xFF));
    EXPECT_EQ(std::vector<std::uint8_t>(discover.begin() + 12, discover.begin() + 24),
              (std::vector<std::uint8_t>{0x08, 0x06, 'C', 'X', 0, 0, 7, 5, 0, 0, 0, 4}));
    EXPECT_EQ(nesbin::Padded(discover).size(), 60u);

    const auto read = nesbin::ReadRequest(kInstrument, kHost, 0, 0x0100);
    ASSERT_EQ(read.size(), 32u);
    EXPECT_EQ(std::vector<std::uint8_t>(read.begin() + 18, read.begin() + 28),
              (std::vector<std::uint8_t>{8, 1, 0, 0, 0, 4, 0x00, 0x00, 0x01, 0x00}));

    const std::vector<std::uint8_t> two = {0xAA, 0xBB};
    const auto small = *nesbin::WriteRequest(kInstrument, kHost, 0x10, two);
    EXPECT_EQ(small.size(), 32u);
    const auto padded = nesbin::Padded(small);
    ASSERT_EQ(padded.size(), 60u);
    EXPECT_EQ(padded[28], 0xAA);
    EXPECT_EQ(padded[59], 0);
    const std::vector<std::uint8_t> image(256, 0x5A);
    const auto full = *nesbin::WriteRequest(kInstrument, kHost, 0, image);
    EXPECT_EQ(full.size(), 286u);
    EXPECT_EQ(nesbin::Padded(full).size(), 286u);
    EXPECT_EQ(full[23], 4);  // payload length 4 + 256 = 0x104
    EXPECT_EQ(full[22], 1);
    EXPECT_FALSE(nesbin::WriteRequest(kInstrument, kHost, 0, std::vector<std::uint8_t>(257)));
}

TEST(NesbinFrames, RepliesRecognisedByPatternAndLengthThatArrived) {
    auto d = Reply(7, 5, 60);
    for (int i = 0; i < 6; ++i) d[24 + static_cast<std::size_t>(i)] = kInstrument[static_cast<std::size_t>(i)];
    ASSERT_TRUE(nesbin::DiscoveredMac(d));
    EXPECT_EQ(*nesbin::DiscoveredMac(d), kInstrument);
    EXPECT_FALSE(nesbin::DiscoveredMac(Reply(8, 5, 60)));  // another group
    EXPECT_FALSE(nesbin::DiscoveredMac(Reply(7, 6, 60)));  // another command
    auto request = Reply(7, 5, 60);
    request[17] = 0;
    EXPECT_FALSE(nesbin::DiscoveredMac(request));  // a request, not a reply
    EXPECT_FALSE(nesbin::IsReply(std::vector<std::uint8_t>(19, 0), 7, 5));

    auto r = Reply(8, 1, 28 + 256);
    r[28] = 0x11;
    r[28 + 255] = 0x22;
    auto data = nesbin::ReadData(r, 256);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), 256u);
    EXPECT_EQ((*data)[0], 0x11);
    EXPECT_EQ((*data)[255], 0x22);
    // A reply that brought fewer bytes than asked is not taken, whatever its length field says.
    auto shortReply = Reply(8, 1, 28 + 128);
    shortReply[22] = 0x01;
    shortReply[23] = 0x04;
    EXPECT_FALSE(nesbin::ReadData(shortReply, 256));

    const std::vector<std::uint8_t> huge(4000, 0);
    EXPECT_EQ(nesbin::Bounded(huge).size(), 1048u);
    EXPECT_EQ(nesbin::Bounded(std::vector<std::uint8_t>(61)).size(), 61u);
}

TEST(NesbinInterfaces, FilterWordsInAnyCaseLoopbackAnyAndNonEthernetAreSkipped) {
    using CI = platform::CaptureInterface;
    const platform::MacAddress mac = {2, 0, 0, 0, 0, 7};
    std::vector<CI> all = {
        {"vm0", "VMware Virtual Ethernet Adapter", false, true, mac},
        {"se0", "SoftEther VPN Client", false, true, mac},
        {"vbox0", "a virtual adapter", false, true, mac},
        {"virtual9", "", false, true, mac},  // no description: the name stands for it
    };
    EXPECT_TRUE(UsableInterfaces(all).empty());

    all.push_back({"lo", "", true, false, {}});
    all.push_back({"any", "Pseudo-device that captures on all interfaces", false, false, {}});
    all.push_back({"nflog", "Linux netfilter log (NFLOG) interface", false, false, {}});
    all.push_back({"seg0", "", false, true, mac});
    all.push_back({"eth1", "Intel Ethernet", false, true, mac});
    const auto usable = UsableInterfaces(all);
    ASSERT_EQ(usable.size(), 2u);
    EXPECT_EQ(usable[0].name, "seg0");
    EXPECT_EQ(usable[0].description, "seg0");
    EXPECT_EQ(usable[1].description, "Intel Ethernet");
    EXPECT_EQ(usable[1].mac, mac);
}

TEST(HarloFrames, CompletionOnlyWithItsCodeAndWhenItArrivedWhole) {
    std::vector<std::uint8_t> f(60, 0);
    f[14] = 0xFE;
    f[19] = 0x1E;
    EXPECT_TRUE(harlo::IsCompletionFrame(f));
    auto other = f;
    other[18] = 0x01;  // 0x1E01
    EXPECT_FALSE(harlo::IsCompletionFrame(other));
    other = f;
    other[15] = 0x01;
    EXPECT_FALSE(harlo::IsCompletionFrame(other));
    EXPECT_FALSE(harlo::IsCompletionFrame(std::span<const std::uint8_t>(f.data(), 21)));
}

TEST(SegmentFamilies, RegistryRowsMakeTheirModels) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"Harlo - 101", "Harlo - 101"}, {"Harlo - 301", "Harlo - 301"}, {"Harlo - 801", "Harlo - 801"},
        {"Harlo - 802", "Harlo - 802"}, {"OEM - Nesbin", "OEM - Nesbin"}, {"Yaltro", "Yaltro"}};
    for (const auto& [row, text] : rows) {
        auto family = CreateFamily(BuiltInFamilies().ClassOf(row));
        ASSERT_TRUE(family) << row;
        EXPECT_EQ(family->GetModuleText(), text);
    }
    auto harlo = CreateFamily(BuiltInFamilies().ClassOf("Harlo - 802"));
    EXPECT_TRUE(harlo->IsKindOf(RUNTIME_CLASS(CComm_Harlo)));
    EXPECT_EQ(harlo->GetReadTime(), 1000);
    EXPECT_EQ(harlo->GetWriteTime(), 2400);
    EXPECT_EQ(CComm_Harlo().GetModuleText(), "Unknown");
    auto yaltro = CreateFamily(BuiltInFamilies().ClassOf("Yaltro"));
    EXPECT_EQ(yaltro->GetReadTime(), 14000);
    EXPECT_EQ(yaltro->GetWriteTime(), 28000);
    EXPECT_EQ(yaltro->GetModuleCount(), 0);
    EXPECT_FALSE(yaltro->OpenModule());
    EXPECT_EQ(CreateFamily(BuiltInFamilies().ClassOf("OEM - Nesbin"))->GetModuleCount(), 1);
}
