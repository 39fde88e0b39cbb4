// The real search over rows of scripted families, shown by the main window:
// families run on the worker thread, ask for a target through the connection
// dialog (shown on the window's thread), and their modules end up in the grid.
#include <QApplication>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <cstring>
#include <thread>

#include "TestHooks.h"
#include "app/CBrevaneDlg.h"
#include "app/CConnDevDlg.h"
#include "app/GuiPrompt.h"
#include "framework/CCommBase.h"
#include "framework/Job.h"
#include "framework/Prompt.h"
#include "framework/Registry.h"
#include "framework/Wait.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"

namespace {

// What a scripted family does; set by each test before the search.
struct Script {
    bool connects = true;
    int modules = 0;
    int waitMs = 0;               // how long Connect waits (pumping)
    int hangFrom = -1;            // reads of modules from this index wait until stopped
    std::string chosenAddress;    // filled by ChooseTarget
    std::thread::id familyThread; // where the family ran
    int disconnects = 0;
};
Script g_script;
std::atomic<bool> g_hanging{false};

// Runs the event loop until a family's read hangs on the worker.
bool WaitForHang() {
    for (int i = 0; i < 1000 && !g_hanging; ++i) QTest::qWait(5);
    return g_hanging.exchange(false);
}

class ScriptedFamily : public CCommBase {
public:
    static const CRuntimeClass classScriptedFamily;
    static CObject* Create() { return new ScriptedFamily; }
    const CRuntimeClass* GetRuntimeClass() const override { return &classScriptedFamily; }

    BOOL ChooseTarget() override {
        g_script.familyThread = std::this_thread::get_id();
        auto address = UserPrompt().ChooseAddress({"10.0.0.9", "10.0.0.2"});
        if (!address) return FALSE;
        g_script.chosenAddress = *address;
        return TRUE;
    }
    BOOL Connect() override {
        if (g_script.waitMs) WaitPumping(g_script.waitMs);
        return g_script.connects ? TRUE : FALSE;
    }
    std::int32_t GetModuleCount() override { return g_script.connects ? g_script.modules : 0; }
    void SetModuleIndex(std::int32_t index) override { m_index = index; }
    BOOL OpenModule() override { return TRUE; }
    void CloseModule() override {}
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override {
        if (g_script.hangFrom >= 0 && m_index >= g_script.hangFrom) {
            g_hanging = true;
            WaitPumping(60000);
            if (StopRequested()) return FALSE;
        }
        std::memset(buffer, 0, static_cast<std::size_t>(length));
        const std::string serial = "SCR-" + std::to_string(100 + m_index);
        std::memcpy(buffer + kSerialOffset, serial.data(), serial.size());
        return TRUE;
    }
    BOOL WriteEeprom(const std::uint8_t*, std::int32_t) override { return FALSE; }
    void Disconnect() override { ++g_script.disconnects; }
    std::string GetModuleText() override { return "Scripted"; }

private:
    std::int32_t m_index = 0;
};
const CRuntimeClass ScriptedFamily::classScriptedFamily = {"ScriptedFamily", &ScriptedFamily::Create,
                                                           &CCommBase::classCCommBase};

const std::vector<_DeviceInfo> kRows = {
    {"Scripted - A", &ScriptedFamily::classScriptedFamily, 2, 0},
    {"Scripted - Net", &ScriptedFamily::classScriptedFamily, 3, 1},
};

class ScriptedSearchTest : public HookedTest {
protected:
    void SetUp() override {
        HookedTest::SetUp();
        g_script = Script{};
        g_hanging = false;
        prompt.SetParent(&dlg);
        SetUserPrompt(&prompt);
        dlg.SetSearchFunction([](const std::vector<std::string>& list, SearchSink& sink) {
            return RunDeviceSearch(kRows, list, sink);
        });
        dlg.show();
    }
    void TearDown() override {
        SetUserPrompt(nullptr);
        dlg.hide();
        HookedTest::TearDown();
    }
    CBrevaneDlg dlg;
    CGuiPrompt prompt;
};

// Calls `answer` with the next modal dialog of type D once it is shown.
template <typename D, typename F>
void WhenShown(QObject* context, F answer) {
    auto* poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, answer]() mutable {
        if (auto* d = qobject_cast<D*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            answer(d);
        }
    });
    poll->start(10);
}

}  // namespace

TEST_F(ScriptedSearchTest, FoundModulesFillTheGrid) {
    g_script.modules = 3;
    g_script.waitMs = 250;
    int maxSeen = -1;
    QTimer::singleShot(100, &dlg, [&] { maxSeen = dlg.ProgressBar()->maximum(); });
    dlg.SetSearchList({"Scripted - A"});
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForJob(dlg));

    EXPECT_EQ(maxSeen, 2);  // the weight of the row, seen while the family waited
    EXPECT_EQ(dlg.LogView()->LogText(), "Finding Scripted - A . . .");
    ASSERT_EQ(dlg.Grid()->RowCount(), 3);
    EXPECT_EQ(dlg.Grid()->CellText(0, 0), "Scripted - A");
    EXPECT_EQ(dlg.Grid()->CellText(2, 1), "SCR-102");
    EXPECT_EQ(dlg.ProgressBar()->value(), 0);
    EXPECT_FALSE(dlg.ProgressTimer().isActive());

    // A later search that finds fewer modules shrinks the grid.
    g_script.modules = 1;
    g_script.waitMs = 0;
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForJob(dlg));
    ASSERT_EQ(dlg.Grid()->RowCount(), 1);
    EXPECT_EQ(dlg.LogView()->LogText(), "Finding Scripted - A . . .\r\nFinding Scripted - A . . .");
}

TEST_F(ScriptedSearchTest, NothingFoundIsLoggedOnTheSameLine) {
    g_script.connects = false;
    dlg.RefreshGrid({CDeviceInfo("old", "x", 0, IdentityImage{})});
    dlg.SetSearchList({"Scripted - A"});
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForJob(dlg));
    EXPECT_EQ(dlg.LogView()->LogText(), "Finding Scripted - A . . . CANNOT FIND ACTIVE DEVICE!!!");
    EXPECT_EQ(dlg.Grid()->RowCount(), 0);
}

TEST_F(ScriptedSearchTest, TargetIsChosenInTheConnectionDialogWithProgressPaused) {
    g_script.modules = 1;
    bool progressRanDuringChoice = true;
    bool dialogOnWindowThread = false;
    WhenShown<CConnDevDlg>(&dlg, [&](CConnDevDlg* conn) {
        progressRanDuringChoice = dlg.ProgressTimer().isActive();
        dialogOnWindowThread = conn->thread() == QThread::currentThread() && QThread::currentThread() == qApp->thread();
        EXPECT_EQ(conn->AddressBox()->currentText(), "10.0.0.2");
        conn->AddressBox()->setEditText("10.0.0.77");
        conn->OkButton()->click();
    });
    dlg.SetSearchList({"Scripted - Net"});
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForJob(dlg));
    // The family asked from the worker; the dialog ran on the window's thread.
    EXPECT_NE(g_script.familyThread, std::this_thread::get_id());
    EXPECT_TRUE(dialogOnWindowThread);
    EXPECT_EQ(g_script.chosenAddress, "10.0.0.77");
    EXPECT_FALSE(progressRanDuringChoice);
    EXPECT_TRUE(dlg.ProgressTimer().isActive() == false);
    ASSERT_EQ(dlg.Grid()->RowCount(), 1);
    EXPECT_EQ(dlg.Grid()->CellText(0, 0), "Scripted - Net");
}

TEST_F(ScriptedSearchTest, CancelledTargetSkipsTheFamily) {
    g_script.modules = 2;
    WhenShown<CConnDevDlg>(&dlg, [](CConnDevDlg* conn) { conn->CancelButton()->click(); });
    dlg.SetSearchList({"Scripted - Net"});
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForJob(dlg));
    EXPECT_TRUE(dlg.LogView()->IsEmpty());
    EXPECT_EQ(dlg.Grid()->RowCount(), 0);
}

TEST_F(ScriptedSearchTest, StopAndEscapeEndTheSearchKeepingEarlierModules) {
    // Modules 0 and 1 are read; the read of module 2 waits until stopped.
    g_script.modules = 5;
    g_script.hangFrom = 2;
    dlg.SetSearchList({"Scripted - A", "Scripted - Net"});
    dlg.DiscoverButton()->click();
    ASSERT_EQ(dlg.DiscoverButton()->text(), "Stop");
    ASSERT_TRUE(WaitForHang());
    QElapsedTimer stopped;
    stopped.start();
    dlg.DiscoverButton()->click();  // the button is Stop now
    ASSERT_TRUE(WaitForJob(dlg, 5000));
    EXPECT_LT(stopped.elapsed(), 2000);  // at the wait, not after its 60 s
    EXPECT_EQ(g_script.disconnects, 1);
    ASSERT_EQ(dlg.Grid()->RowCount(), 2);
    EXPECT_EQ(dlg.Grid()->CellText(1, 1), "SCR-101");
    EXPECT_EQ(dlg.LogView()->LogText(), "Finding Scripted - A . . .\r\nSearch stopped.");
    EXPECT_EQ(dlg.DiscoverButton()->text(), "Discover Device");
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(questions.empty());

    // Esc does the same, and asks nothing while a search runs.
    g_script.disconnects = 0;
    g_script.hangFrom = 0;
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForHang());
    QTest::keyClick(&dlg, Qt::Key_Escape);
    ASSERT_TRUE(WaitForJob(dlg, 5000));
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(g_script.disconnects, 1);
    EXPECT_EQ(dlg.Grid()->RowCount(), 0);
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(ScriptedSearchTest, ClosingDuringASearchAsksThenStopsAndCloses) {
    g_script.modules = 5;
    g_script.hangFrom = 1;
    dlg.SetSearchList({"Scripted - A"});
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForHang());

    answer = false;  // No: the search goes on
    EXPECT_FALSE(dlg.close());
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, "Are you sure to exit Brevane?");
    EXPECT_TRUE(dlg.IsBusy());
    EXPECT_TRUE(dlg.isVisible());

    answer = true;  // Yes: stopped, then closed
    EXPECT_FALSE(dlg.close());  // not yet: the search ends first
    ASSERT_TRUE(WaitForJob(dlg, 5000));
    QTest::qWait(20);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(questions.size(), 2u);  // asked once per close, not again when closing after the stop
    EXPECT_EQ(g_script.disconnects, 1);
    EXPECT_TRUE(dlg.LogView()->LogText().endsWith("Search stopped."));
    EXPECT_EQ(dlg.Grid()->RowCount(), 1);
}
