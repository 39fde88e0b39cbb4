#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "framework/DeviceSearch.h"
#include "framework/Job.h"
#include "framework/Registry.h"
#include "framework/Wait.h"

namespace {

// What the scripted families do, and what was done to them.
struct Script {
    std::vector<std::string> journal;
    BOOL connect = TRUE;
    BOOL chooseTarget = TRUE;
    std::int32_t modules = 2;
    std::set<int> openFails, readFails;
    int alive = 0;
    // The read of this module of family A waits (as a silent device makes it
    // wait) until the search is stopped.
    int hangingRead = -1;
    std::atomic<bool> hanging{false};
    bool stopInChooseTarget = false;
    std::string problem;  // what SearchProblem says after a failed Connect
};
Script g;

class Scripted : public CCommBase {
public:
    explicit Scripted(std::string tag) : m_tag(std::move(tag)) {
        ++g.alive;
        Note("create");
    }
    ~Scripted() override {
        --g.alive;
        Note("destroy");
    }
    BOOL ChooseTarget() override {
        Note("ChooseTarget");
        // The user stops while the family looks for targets: it gives up.
        if (g.stopInChooseTarget) return StopCurrentJob(), FALSE;
        return g.chooseTarget;
    }
    BOOL Connect() override { return Note("Connect"), g.connect; }
    std::int32_t GetModuleCount() override { return Note("GetModuleCount"), g.connect ? g.modules : 0; }
    void SetModuleIndex(std::int32_t i) override { m_index = i, Note("SetModuleIndex " + std::to_string(i)); }
    BOOL OpenModule() override { return Note("OpenModule"), g.openFails.count(m_index) ? FALSE : TRUE; }
    void CloseModule() override { Note("CloseModule"); }
    BOOL ReadEeprom(std::uint8_t* buf, std::int32_t len) override {
        Note("ReadEeprom " + std::to_string(len));
        if (g.readFails.count(m_index)) return FALSE;
        if (m_tag == "A" && m_index == g.hangingRead) {
            g.hanging = true;
            WaitPumping(60000);
            if (StopRequested()) return FALSE;
        }
        std::string serial = m_tag + "-" + std::to_string(m_index);
        std::copy(serial.begin(), serial.end(), buf + 76);
        return TRUE;
    }
    BOOL WriteEeprom(const std::uint8_t*, std::int32_t) override { return FALSE; }
    void Disconnect() override { Note("Disconnect"); }
    std::string GetModuleText() override { return m_tag; }
    std::string SearchProblem() const override { return g.connect ? std::string() : g.problem; }

private:
    void Note(const std::string& what) { g.journal.push_back(m_tag + ":" + what); }
    std::string m_tag;
    std::int32_t m_index = -1;
};

CObject* MakeA() { return new Scripted("A"); }
CObject* MakeB() { return new Scripted("B"); }
CObject* MakeOrvel() { return new Scripted("O"); }
const CRuntimeClass classA = {"A", &MakeA, &CCommBase::classCCommBase};
const CRuntimeClass classB = {"B", &MakeB, &CCommBase::classCCommBase};
const CRuntimeClass classO = {"O", &MakeOrvel, &CCommBase::classCCommBase};
const CRuntimeClass classNone = {"None", nullptr, &CCommBase::classCCommBase};

const std::vector<_DeviceInfo> kRows = {
    {"Gostel - 2160", &classA, 10, 1},
    {"Broken", &classNone, 3, 0},
    {"Hevra - 5160", &classB, 10, 1},
    {"Orvel Series Card", &classO, 50, 1},
};

class Sink : public SearchSink {
public:
    void Log(const std::string& text, bool newLine) override {
        if (newLine && !log.empty()) log += "\r\n";
        log += text;
    }
    void ProgressStart(std::int32_t t) override { events.push_back("start " + std::to_string(t)); }
    void ProgressPause() override { events.push_back("pause"); }
    void ProgressResume() override { events.push_back("resume"); }
    void ProgressStop() override { events.push_back("stop"); }
    void FamilyProblem(const std::string& family, const std::string& reason) override {
        events.push_back("problem " + family + ": " + reason);
    }
    std::string log;
    std::vector<std::string> events;
};

class Search : public ::testing::Test {
protected:
    void SetUp() override {
        g.journal.clear();
        g.connect = TRUE;
        g.chooseTarget = TRUE;
        g.modules = 2;
        g.openFails.clear();
        g.readFails.clear();
        g.alive = 0;
        g.hangingRead = -1;
        g.hanging = false;
        g.stopInChooseTarget = false;
        g.problem.clear();
        FamilyRegistry::SetOrvelCatalogue({"OV-1", "OV-2"});
    }
    void TearDown() override { FamilyRegistry::SetOrvelCatalogue({}); }
    // The search runs on a worker thread, as the desktop program runs it.
    std::vector<CDeviceInfo> Run(const std::vector<std::string>& list) {
        Start(list);
        worker.Join();
        return found;
    }
    void Start(const std::vector<std::string>& list) {
        ASSERT_TRUE(worker.Start(JobKind::Search, [this, list] { found = RunDeviceSearch(kRows, list, sink); }));
    }
    Sink sink;
    JobThread worker;
    std::vector<CDeviceInfo> found;
};

}  // namespace

TEST_F(Search, UnknownNamesVisitNothing) {
    auto found = Run({"Nothing", "Else"});
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(g.journal.empty());
    EXPECT_EQ(sink.log, "");
    EXPECT_EQ(sink.events, (std::vector<std::string>{"start 0", "stop"}));
}

TEST_F(Search, VisitsRowsInRegistryOrderAndReadsEveryModule) {
    auto found = Run({"Hevra - 5160", "Gostel - 2160"});
    EXPECT_EQ(sink.events.front(), "start 20");
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].m_model, "Gostel - 2160");
    EXPECT_EQ(found[0].m_serial, "A-0");
    EXPECT_EQ(found[3].m_serial, "B-1");
    EXPECT_EQ(found[3].m_moduleIndex, 1);
    EXPECT_EQ(sink.log, "Finding Gostel - 2160 . . .\r\nFinding Hevra - 5160 . . .");
    // Each family lives only for its own row; the timer pauses for the target.
    EXPECT_EQ(g.alive, 0);
    EXPECT_EQ(sink.events, (std::vector<std::string>{"start 20", "pause", "resume", "pause", "resume", "stop"}));
    auto firstB = std::find(g.journal.begin(), g.journal.end(), "B:create");
    auto lastA = std::find(g.journal.begin(), g.journal.end(), "A:destroy");
    EXPECT_LT(lastA, firstB);
}

TEST_F(Search, OrvelRowIsVisitedOnceForItsCatalogueNames) {
    EXPECT_EQ(TotalSearchWeight(kRows, {"OV-1"}), 50);
    EXPECT_EQ(TotalSearchWeight(kRows, {"Orvel Series Card"}), 100);
    auto found = Run({"OV-2", "OV-1"});
    EXPECT_EQ(std::count(g.journal.begin(), g.journal.end(), "O:Connect"), 1);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].m_model, "OV-2");
}

TEST_F(Search, FailedConnectStillDisconnects) {
    g.connect = FALSE;
    auto found = Run({"Gostel - 2160"});
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(sink.log, "Finding Gostel - 2160 . . . CANNOT FIND ACTIVE DEVICE!!!");
    EXPECT_EQ(g.journal, (std::vector<std::string>{"A:create", "A:ChooseTarget", "A:Connect", "A:GetModuleCount",
                                                   "A:Disconnect", "A:destroy"}));
}

// A family that could not look at all says why on a line of its own, in
// every search, and the sink hears it as that family's problem.
TEST_F(Search, AFamilyThatCouldNotLookSaysWhyInEverySearch) {
    g.connect = FALSE;
    g.problem = "no permission";
    for (int search = 0; search < 2; ++search) {
        sink = Sink();
        Run({"Gostel - 2160", "Hevra - 5160"});
        EXPECT_EQ(sink.log,
                  "Finding Gostel - 2160 . . . CANNOT FIND ACTIVE DEVICE!!!\r\nno permission\r\n"
                  "Finding Hevra - 5160 . . . CANNOT FIND ACTIVE DEVICE!!!\r\nno permission");
        EXPECT_EQ(std::count(sink.events.begin(), sink.events.end(), "problem Gostel - 2160: no permission"), 1);
        EXPECT_EQ(std::count(sink.events.begin(), sink.events.end(), "problem Hevra - 5160: no permission"), 1);
    }
}

TEST_F(Search, UnopenableAndUnreadableModulesAreSkipped) {
    g.modules = 3;
    g.openFails = {0};
    g.readFails = {1};
    auto found = Run({"Gostel - 2160"});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].m_moduleIndex, 2);
    // The count is asked before every index; a failed read still closes.
    EXPECT_EQ(std::count(g.journal.begin(), g.journal.end(), "A:GetModuleCount"), 4);
    EXPECT_EQ(std::count(g.journal.begin(), g.journal.end(), "A:CloseModule"), 2);
    EXPECT_EQ(std::count(g.journal.begin(), g.journal.end(), "A:ReadEeprom 256"), 2);
}

TEST_F(Search, CancelledTargetAndMissingFactorySkipSilently) {
    g.chooseTarget = FALSE;
    auto found = Run({"Gostel - 2160", "Broken"});
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(sink.log, "");
    EXPECT_EQ(g.journal, (std::vector<std::string>{"A:create", "A:ChooseTarget", "A:destroy"}));
    EXPECT_EQ(sink.events.front(), "start 13");
}

TEST_F(Search, StopEndsTheSearchAtItsNextWaitKeepingWhatWasFound) {
    g.modules = 3;
    g.hangingRead = 1;
    const auto t0 = std::chrono::steady_clock::now();
    Start({"Gostel - 2160", "Hevra - 5160"});
    while (!g.hanging) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(CurrentJob(), JobKind::Search);
    EXPECT_EQ(StopCurrentJob(), StopOutcome::Stopping);
    worker.Join();
    // Ended by the stop, not by the 60 s wait.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(CurrentJob(), JobKind::None);

    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].m_serial, "A-0");
    // The family it was in is closed and disconnected; no later family is visited.
    const std::vector<std::string> tail(g.journal.end() - 4, g.journal.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"A:ReadEeprom 256", "A:CloseModule", "A:Disconnect", "A:destroy"}));
    EXPECT_EQ(std::count(g.journal.begin(), g.journal.end(), "B:create"), 0);
    EXPECT_EQ(g.alive, 0);
    EXPECT_EQ(sink.log, "Finding Gostel - 2160 . . .\r\nSearch stopped.");
    EXPECT_EQ(sink.events.back(), "stop");

    // The next search starts afresh: the stop was meant for the last one only.
    g.hangingRead = -1;
    sink = Sink{};
    EXPECT_EQ(Run({"Hevra - 5160"}).size(), 3u);
    EXPECT_EQ(sink.log, "Finding Hevra - 5160 . . .");
}

TEST_F(Search, StopDuringTheTargetChoiceStillDisconnects) {
    g.stopInChooseTarget = true;
    EXPECT_TRUE(Run({"Gostel - 2160", "Hevra - 5160"}).empty());
    EXPECT_EQ(g.journal, (std::vector<std::string>{"A:create", "A:ChooseTarget", "A:Disconnect", "A:destroy"}));
    EXPECT_EQ(sink.log, "Search stopped.");
}

TEST(Job, AWriteIsNeverStoppedAndWaitsSleepUntilStopped) {
    // A write: the stop request is refused and its waits run their full time.
    JobThread writer;
    bool stoppedDuringWrite = true;
    std::atomic<bool> waiting{false};
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(writer.Start(JobKind::Write, [&] {
        waiting = true;
        WaitPumping(300);
        stoppedDuringWrite = StopRequested();
    }));
    EXPECT_FALSE(writer.Start(JobKind::Search, [] {}));  // one job at a time
    while (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(StopCurrentJob(), StopOutcome::WriteRunsToEnd);
    writer.Join();
    EXPECT_FALSE(stoppedDuringWrite);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_EQ(StopCurrentJob(), StopOutcome::Idle);

    // A search: the wait ends at once on stop, and sleeps meanwhile (a spinning
    // wait would burn the whole second of CPU).
    JobThread search;
    waiting = false;
    std::chrono::steady_clock::duration waited{};
    ASSERT_TRUE(search.Start(JobKind::Search, [&] {
        waiting = true;
        const auto w0 = std::chrono::steady_clock::now();
        WaitPumping(60000);
        waited = std::chrono::steady_clock::now() - w0;
    }));
    while (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::clock_t cpu0 = std::clock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
    EXPECT_EQ(StopCurrentJob(), StopOutcome::Stopping);
    search.Join();
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    EXPECT_LT(waited, std::chrono::seconds(30));
    EXPECT_LT(cpuMs, 300.0);
}
