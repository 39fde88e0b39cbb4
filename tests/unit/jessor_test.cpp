// The Jessor family against a scripted Vorn-API: the library's call-backs
// come from a thread of their own, as the real library's do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "CountingPrompt.h"
#include "families/net/CComm_Jessor.h"
#include "framework/Prompt.h"
#include "framework/Wait.h"

namespace {

// What the scripted library saw and how it answers.
struct Script {
    VORN_CALLBACK cb = nullptr;
    std::vector<std::uint32_t> presence = std::vector<std::uint32_t>(16, 0);
    std::vector<std::uint16_t> types = std::vector<std::uint16_t>(16, 0xE001);
    std::size_t slotTableLength = 1132;
    bool shortSlotTableFirst = false;
    std::vector<int> lockPhases;
    std::vector<int> initializeFlags;
    VORN_LOCATION lastWhere{};
    std::size_t replyExtra = 0;       // bytes beyond the data asked for
    std::ptrdiff_t replyShortBy = 0;  // bytes missing from the data
    int replyDelayMs = 0;             // EEPROM replies come this late
    bool reply = true;                // false: EEPROM requests go unanswered
    int strayCode = 0;                // non-zero: a reply with this code comes first, at once
    std::vector<std::thread> threads;
};
Script* g_s = nullptr;

void Later(std::vector<std::uint8_t> m, int delayMs = 0) {
    g_s->threads.emplace_back([m, delayMs, cb = g_s->cb] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        cb(m.data(), static_cast<std::uint32_t>(m.size()));
    });
}

std::vector<std::uint8_t> SlotTable(std::size_t length) {
    std::vector<std::uint8_t> m(length, 0);
    m[0] = 0x80;
    m[1] = 0xC1;
    for (int i = 0; i < 6 && 24 + i < static_cast<int>(length); ++i) m[24 + i] = static_cast<std::uint8_t>(0x10 + i);
    for (std::size_t i = 0; i < 16; ++i) {
        const std::size_t e = 108 + 64 * i;
        if (e + 60 > length) break;
        m[e] = static_cast<std::uint8_t>(g_s->types[i] >> 8);
        m[e + 1] = static_cast<std::uint8_t>(g_s->types[i]);
        std::memcpy(&m[e + 56], &g_s->presence[i], 4);
    }
    return m;
}

void Reply(std::uint8_t code, std::size_t count) {
    if (g_s->strayCode) Later({0x80, static_cast<std::uint8_t>(g_s->strayCode)}, 20);
    if (!g_s->reply) return;
    const std::size_t n = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(36 + count + g_s->replyExtra) - g_s->replyShortBy);
    std::vector<std::uint8_t> m(n, 0);
    m[0] = 0x80;
    m[1] = code;
    for (std::size_t i = 36; i < n; ++i) m[i] = static_cast<std::uint8_t>(i - 36);
    Later(m, g_s->replyDelayMs);
}

const VornEntries kScripted = {
    [](uint32_t* list) -> int32_t { list[0] = 0xC6120032; list[1] = 0xC6120032; list[2] = 0xC6120033; list[3] = 0; return 1; },
    [](VORN_CALLBACK cb, int32_t, int32_t) -> int32_t { g_s->cb = cb; return 1; },
    [](uint32_t) -> int32_t {
        if (g_s->shortSlotTableFirst) Later(SlotTable(1131));
        Later(SlotTable(g_s->slotTableLength));
        return 1;
    },
    [](VORN_LOCATION w) -> int32_t { g_s->lastWhere = w; Reply(0xC2, w.count); return 1; },
    [](VORN_LOCATION_DATA b) -> int32_t { g_s->lastWhere = b.where; Reply(0xC3, 0); return 1; },
    [](const VORN_PORT*, uint32_t, int32_t, int32_t phase) -> int32_t { g_s->lockPhases.push_back(phase); return 1; },
    [](const VORN_PORT*, uint32_t, int32_t, VORN_LOCATION w, int32_t init) -> int32_t {
        g_s->lastWhere = w;
        g_s->initializeFlags.push_back(init);
        Reply(0xE0, w.count);
        return 1;
    },
    [](const VORN_PORT*, uint32_t, int32_t, VORN_LOCATION_DATA b, int32_t init) -> int32_t {
        g_s->lastWhere = b.where;
        g_s->initializeFlags.push_back(init);
        Reply(0xE1, 0);
        return 1;
    },
    []() {},
};

// Picks one row with one mode.
class Pick : public DefaultPrompt {
public:
    Pick(int row, int mode) : m_row(row), m_mode(mode) {}
    bool ChooseCard(ICardSelection& s) override { return s.Accept(m_row, m_mode).empty(); }
    int m_row, m_mode;
};

class JessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_s = &script;
        SetVornEntries(&kScripted);
    }
    void TearDown() override {
        for (auto& t : script.threads) t.join();
        SetVornEntries(nullptr);
        SetUserPrompt(nullptr);
        g_s = nullptr;
    }
    Script script;
};

}  // namespace

TEST_F(JessorTest, SlotTableGivesControllerAndPresentCardsOnly) {
    {
        CComm_Jessor empty;
        empty.SetAddress("198.18.0.50");
        ASSERT_TRUE(empty.Connect());  // no card present: the controller alone
        ASSERT_EQ(empty.GetModuleCount(), 1);
        EXPECT_EQ(empty.Ports()[0].slot, 0xFF);
        EXPECT_EQ(+empty.Ports()[0].cardType, 0x1A0E);  // a copy: the entry is packed
        EXPECT_EQ(empty.Ports()[0].station[5], 0x15);
    }
    script.presence[2] = 1;
    script.presence[5] = 9;
    script.presence[7] = 2;
    script.presence[9] = 0x01000000;  // 1 in the other byte order is not present
    script.types[5] = 0x1234;
    script.shortSlotTableFirst = true;  // 1131 bytes: dropped without a read past its end
    CComm_Jessor j;
    j.SetAddress("198.18.0.50");
    ASSERT_TRUE(j.Connect());
    const auto ports = j.Ports();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[1].slot, 2);
    EXPECT_EQ(ports[2].slot, 5);
    EXPECT_EQ(+ports[2].cardType, 0x1234);
    j.SetModuleIndex(1);
    ASSERT_TRUE(j.OpenModule());
    EXPECT_EQ(j.GetModuleText(), "Jessor PoE-8 Card (Slot 4)");
    j.SetModuleIndex(0);
    ASSERT_TRUE(j.OpenModule());
    EXPECT_EQ(j.GetModuleText(), "Jessor Controller ");
    j.SetModuleIndex(3);
    EXPECT_FALSE(j.OpenModule());
}

TEST_F(JessorTest, ReadsAreCappedAndCheckedAgainstWhatArrived) {
    script.presence[0] = 1;
    CComm_Jessor j;
    j.SetAddress("198.18.0.50");
    ASSERT_TRUE(j.Connect());
    j.SetModuleIndex(1);
    ASSERT_TRUE(j.OpenModule());
    // Initialize mode (nothing chose another): no lock calls.
    std::vector<std::uint8_t> big(1100, 0xEE);
    script.replyExtra = 4000;  // a reply far longer than the buffer keeps only what fits
    ASSERT_TRUE(j.ReadEeprom(big.data(), 1100));
    EXPECT_EQ(script.lastWhere.count, 1024);
    EXPECT_EQ(script.lastWhere.one, 1);
    EXPECT_EQ(big[1023], static_cast<std::uint8_t>(1023 - 0));
    EXPECT_EQ(big[1024], 0xEE);
    EXPECT_TRUE(script.lockPhases.empty());
    EXPECT_EQ(script.initializeFlags, (std::vector<int>{1}));
    // A reply shorter than the data asked for fails and leaves the buffer alone.
    script.replyExtra = 0;
    script.replyShortBy = 1;
    std::vector<std::uint8_t> image(256, 0xEE);
    EXPECT_FALSE(j.ReadEeprom(image.data(), 256));
    EXPECT_EQ(image, std::vector<std::uint8_t>(256, 0xEE));
}

TEST_F(JessorTest, ModifyLocksAroundCardTransfersAndThePickOutlivesTheDialog) {
    script.presence[0] = 1;
    script.presence[3] = 9;
    Pick pick(2, 1);  // slot 3 in Modify
    SetUserPrompt(&pick);
    CComm_Jessor j;
    ASSERT_TRUE(j.SelectCardWithTarget());
    EXPECT_EQ(j.GetAddress(), "198.18.0.50");  // the first server found
    EXPECT_EQ(j.GetModuleCount(), 0);         // the dialog path disconnects
    EXPECT_EQ(j.OperationMode(), 1u);
    ASSERT_TRUE(j.OpenModule());
    const std::uint8_t data[256] = {1, 2, 3};
    ASSERT_TRUE(j.WriteEeprom(data, 256));
    EXPECT_EQ(script.lockPhases, (std::vector<int>{0, 1}));
    EXPECT_EQ(script.initializeFlags, (std::vector<int>{0}));
    EXPECT_EQ(j.GetModuleText(), "Jessor PoE-8 Card (Slot 5)");
}

TEST_F(JessorTest, AStopDuringChassisDiscoveryAsksTheUserNothingMore) {
    VornEntries stopping = kScripted;
    stopping.GetServer = [](uint32_t* list) -> int32_t {
        RequestStop();  // the user stops the search while chassis are sought
        return kScripted.GetServer(list);
    };
    SetVornEntries(&stopping);
    CountingPrompt prompt;
    SetUserPrompt(&prompt);
    CComm_Jessor j;
    const BOOL chosen = j.ChooseTarget();
    const BOOL picked = j.SelectCardWithTarget();
    ClearStopRequest();
    SetVornEntries(&kScripted);  // no stop this time
    const BOOL unstopped = j.ChooseTarget();
    EXPECT_FALSE(chosen);
    EXPECT_FALSE(picked);
    EXPECT_TRUE(unstopped);
    EXPECT_EQ(prompt.asked, 1);  // only the dialog of the run that was not stopped
}

TEST_F(JessorTest, CallBackAfterTheObjectIsGoneReachesNothing) {
    auto j = std::make_unique<CComm_Jessor>();
    j->SetAddress("198.18.0.50");
    ASSERT_TRUE(j->Connect());
    j.reset();
    // The library still holds the call-back; a late message must be harmless.
    const auto m = SlotTable(1132);
    std::thread late([&] { CComm_Jessor::OnMessage(m.data(), static_cast<std::uint32_t>(m.size())); });
    late.join();
    CComm_Jessor::OnMessage(nullptr, 0);
    const std::uint8_t tiny[1] = {0x80};
    CComm_Jessor::OnMessage(tiny, 1);
    CComm_Jessor fresh;
    EXPECT_EQ(fresh.GetModuleCount(), 0);
}

namespace {
// Both timings: paced (false) and original (true).
class JessorPacing : public JessorTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        JessorTest::SetUp();
        SetOriginalTiming(GetParam());
    }
    void TearDown() override {
        SetOriginalTiming(false);
        JessorTest::TearDown();
    }
};
}  // namespace

// Paced timing ends each wait when the call-back has raised its flag;
// original timing sits the fixed waits out. Both take a reply just inside the
// limit, let no other reply end the wait, and give up only after the full limit.
TEST_P(JessorPacing, CallBackWaitsEndOnTheirAnswerWithinTheSameLimits) {
    using std::chrono::milliseconds;
    using Clock = std::chrono::steady_clock;
    const bool original = GetParam();
    script.presence[0] = 1;
    CComm_Jessor j;
    j.SetAddress("198.18.0.50");
    std::vector<std::uint8_t> image(256, 0xEE);
    // Slot table, read and write answered at once.
    auto start = Clock::now();
    ASSERT_TRUE(j.Connect());
    j.SetModuleIndex(1);
    ASSERT_TRUE(j.OpenModule());
    ASSERT_TRUE(j.ReadEeprom(image.data(), 256));
    ASSERT_TRUE(j.WriteEeprom(image.data(), 256));
    const auto quick = Clock::now() - start;
    // Original: the extra second after the read in every case (a 100 or
    // 200 ms step is sat out only when the answer was not in before it).
    if (original) EXPECT_GE(quick, milliseconds(1000));
    else EXPECT_LT(quick, milliseconds(750));

    // Another reply first (the acknowledgement of no write) does not end the wait.
    script.strayCode = 0xE1;
    script.replyDelayMs = 300;
    std::fill(image.begin(), image.end(), 0xEE);
    start = Clock::now();
    ASSERT_TRUE(j.ReadEeprom(image.data(), 256));
    EXPECT_EQ(image[255], 255);
    EXPECT_GE(Clock::now() - start, milliseconds(300));
    script.strayCode = 0;

    // Just inside the 10 s of polls and the extra second.
    script.replyDelayMs = 10700;
    start = Clock::now();
    ASSERT_TRUE(j.ReadEeprom(image.data(), 256));
    EXPECT_GE(Clock::now() - start, milliseconds(10700));

    // Silence: the read after 11 s, the write after 10 s.
    script.reply = false;
    start = Clock::now();
    EXPECT_FALSE(j.ReadEeprom(image.data(), 256));
    auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(11000));
    EXPECT_LT(took, milliseconds(16000));
    start = Clock::now();
    EXPECT_FALSE(j.WriteEeprom(image.data(), 256));
    took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(10000));
    EXPECT_LT(took, milliseconds(15000));
}

INSTANTIATE_TEST_SUITE_P(Timing, JessorPacing, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Original" : "Paced"; });
