// The traffic-generator families over a recording stand-in for the device
// library: which exports are called, with which types, offsets and sizes, and
// where the data goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "families/api/CComm_TavikDevice.h"
#include "families/Registry.h"
#include "framework/Registry.h"

namespace {

struct Call {
    std::string what;
    std::uint32_t a = 0, b = 0;
};

struct Library {
    std::vector<Call> calls;
    std::array<std::uint8_t, 512> eeprom{};
    int failAtCall = -1;  // the EEPROM call (0-based) that fails
    int eepromCalls = 0;
    std::uint16_t detected = 1;
} g_lib;

bool Failing() { return g_lib.eepromCalls++ == g_lib.failAtCall; }

const TavikCalls kRecording{
    [](std::int32_t t) -> std::uint16_t { g_lib.calls.push_back({"type", std::uint32_t(t)}); return 1; },
    [](std::int32_t t) -> std::uint16_t { g_lib.calls.push_back({"detect", std::uint32_t(t)}); return g_lib.detected; },
    []() -> std::int32_t { g_lib.calls.push_back({"number"}); return 2; },
    [](std::int32_t i) -> std::uint16_t { g_lib.calls.push_back({"select", std::uint32_t(i)}); return 1; },
    []() -> std::uint16_t { g_lib.calls.push_back({"connect"}); return 1; },
    []() -> std::int32_t { g_lib.calls.push_back({"terminate"}); return 1; },
    [](std::uint32_t offset, std::uint32_t length, std::uint8_t* chunk) -> std::uint16_t {
        g_lib.calls.push_back({"get", offset, length});
        if (Failing()) return 0;
        std::memset(chunk, 0xEE, 64);  // bytes outside the data area must not be taken
        std::memcpy(chunk + 4, g_lib.eeprom.data() + offset, length);
        return 1;
    },
    [](std::uint32_t offset, std::uint32_t length, const std::uint8_t* chunk) -> std::uint16_t {
        g_lib.calls.push_back({"set", offset, length});
        if (Failing()) return 0;
        std::memcpy(g_lib.eeprom.data() + offset, chunk + 2, length);
        return 1;
    },
};

std::unique_ptr<CComm_TavikDevice> Make(const char* name) {
    const auto* row = BuiltInFamilies().Find(name);
    EXPECT_NE(row, nullptr) << name;
    auto object = CreateFamily(row->family);
    EXPECT_NE(object, nullptr) << name;
    std::unique_ptr<CComm_TavikDevice> family(dynamic_cast<CComm_TavikDevice*>(object.release()));
    EXPECT_NE(family, nullptr) << name;
    family->SetCalls(kRecording);
    return family;
}

class TavikFamilyTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_lib = Library{};
        for (std::size_t i = 0; i < g_lib.eeprom.size(); ++i) g_lib.eeprom[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
};

TEST_F(TavikFamilyTest, EachRowPassesItsTypeAndName) {
    const struct { const char* row; std::uint32_t type; } rows[] = {
        {"Pembrix - Alda", 1}, {"Pembrix - Alda+", 4}, {"Pembrix - Brisa", 2}, {"Pembrix - Cygna", 3}};
    for (const auto& r : rows) {
        g_lib.calls.clear();
        auto family = Make(r.row);
        EXPECT_EQ(family->GetModuleText(), r.row);
        EXPECT_TRUE(family->Connect());
        ASSERT_EQ(g_lib.calls.size(), 2u);
        EXPECT_EQ(g_lib.calls[0].what, "type");
        EXPECT_EQ(g_lib.calls[0].a, r.type);
        EXPECT_EQ(g_lib.calls[1].what, "detect");
        EXPECT_EQ(g_lib.calls[1].a, r.type);
        EXPECT_EQ(family->GetReadTime(), 200);
        EXPECT_EQ(family->GetWriteTime(), 400);
    }
    g_lib.detected = 0;
    EXPECT_FALSE(Make("Pembrix - Brisa")->Connect());
}

TEST_F(TavikFamilyTest, ImageReadInFiveChunks) {
    auto family = Make("Pembrix - Alda");
    std::array<std::uint8_t, 256> image{};
    ASSERT_TRUE(family->ReadEeprom(image.data(), 256));
    ASSERT_EQ(g_lib.calls.size(), 5u);
    const std::uint32_t offsets[] = {0, 58, 116, 174, 232}, sizes[] = {58, 58, 58, 58, 24};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(g_lib.calls[i].what, "get");
        EXPECT_EQ(g_lib.calls[i].a, offsets[i]);
        EXPECT_EQ(g_lib.calls[i].b, sizes[i]);
    }
    EXPECT_EQ(0, std::memcmp(image.data(), g_lib.eeprom.data(), 256));
}

TEST_F(TavikFamilyTest, WriteTakesTheDataFromTheCallersBufferOnly) {
    auto family = Make("Pembrix - Cygna");
    std::array<std::uint8_t, 116> data{};
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    const auto before = g_lib.eeprom;
    ASSERT_TRUE(family->WriteEeprom(data.data(), 116));
    ASSERT_EQ(g_lib.calls.size(), 2u);  // two full chunks, no empty third one
    EXPECT_EQ(0, std::memcmp(g_lib.eeprom.data(), data.data(), 116));
    EXPECT_EQ(0, std::memcmp(g_lib.eeprom.data() + 116, before.data() + 116, before.size() - 116));
}

TEST_F(TavikFamilyTest, EmptyTransfersCallNothing) {
    auto family = Make("Pembrix - Alda+");
    std::uint8_t byte = 0x5A;
    EXPECT_TRUE(family->ReadEeprom(&byte, 0));
    EXPECT_TRUE(family->WriteEeprom(&byte, 0));
    EXPECT_TRUE(family->ReadEeprom(&byte, -3));
    EXPECT_TRUE(g_lib.calls.empty());
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(TavikFamilyTest, FailedChunkStopsTheTransfer) {
    auto family = Make("Pembrix - Brisa");
    std::array<std::uint8_t, 256> image{};
    g_lib.failAtCall = 2;
    EXPECT_FALSE(family->ReadEeprom(image.data(), 256));
    EXPECT_EQ(g_lib.calls.size(), 3u);
    EXPECT_EQ(0, std::memcmp(image.data(), g_lib.eeprom.data(), 116));  // the chunks read so far
    EXPECT_TRUE(std::all_of(image.begin() + 116, image.end(), [](std::uint8_t b) { return b == 0; }));

    g_lib.calls.clear();
    g_lib.eepromCalls = 0;
    g_lib.failAtCall = 0;
    EXPECT_FALSE(family->WriteEeprom(image.data(), 256));
    EXPECT_EQ(g_lib.calls.size(), 1u);
}

}  // namespace
