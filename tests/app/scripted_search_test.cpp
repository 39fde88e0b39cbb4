// The real search over rows of scripted families, shown by the main window:
// families wait through the event loop, ask for a target through the
// connection dialog, and their modules end up in the grid.
#include <QApplication>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>

#include "TestHooks.h"
#include "app/CBrevaneDlg.h"
#include "app/CConnDevDlg.h"
#include "app/GuiPrompt.h"
#include "framework/CCommBase.h"
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
    std::string chosenAddress;    // filled by ChooseTarget
    bool progressRanDuringChoice = true;
    CBrevaneDlg* dlg = nullptr;
};
Script g_script;

class ScriptedFamily : public CCommBase {
public:
    static const CRuntimeClass classScriptedFamily;
    static CObject* Create() { return new ScriptedFamily; }
    const CRuntimeClass* GetRuntimeClass() const override { return &classScriptedFamily; }

    BOOL ChooseTarget() override {
        if (g_script.dlg) g_script.progressRanDuringChoice = g_script.dlg->ProgressTimer().isActive();
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
        std::memset(buffer, 0, static_cast<std::size_t>(length));
        const std::string serial = "SCR-" + std::to_string(100 + m_index);
        std::memcpy(buffer + kSerialOffset, serial.data(), serial.size());
        return TRUE;
    }
    BOOL WriteEeprom(const std::uint8_t*, std::int32_t) override { return FALSE; }
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
        InstallEventLoopWaitPump();
        prompt.SetParent(&dlg);
        SetUserPrompt(&prompt);
        g_script.dlg = &dlg;
        dlg.SetSearchFunction([](const std::vector<std::string>& list, SearchSink& sink) {
            return RunDeviceSearch(kRows, list, sink);
        });
        dlg.show();
    }
    void TearDown() override {
        SetUserPrompt(nullptr);
        SetWaitPump({});
        dlg.hide();
        HookedTest::TearDown();
    }
    CBrevaneDlg dlg;
    CGuiPrompt prompt;
};

}  // namespace

TEST_F(ScriptedSearchTest, FoundModulesFillTheGrid) {
    g_script.modules = 3;
    g_script.waitMs = 250;
    int maxSeen = -1;
    QTimer::singleShot(100, &dlg, [&] { maxSeen = dlg.ProgressBar()->maximum(); });
    dlg.SetSearchList({"Scripted - A"});
    dlg.DiscoverButton()->click();

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
    ASSERT_EQ(dlg.Grid()->RowCount(), 1);
    EXPECT_EQ(dlg.LogView()->LogText(), "Finding Scripted - A . . .\r\nFinding Scripted - A . . .");
}

TEST_F(ScriptedSearchTest, NothingFoundIsLoggedOnTheSameLine) {
    g_script.connects = false;
    dlg.RefreshGrid({CDeviceInfo("old", "x", 0, IdentityImage{})});
    dlg.SetSearchList({"Scripted - A"});
    dlg.DiscoverButton()->click();
    EXPECT_EQ(dlg.LogView()->LogText(), "Finding Scripted - A . . . CANNOT FIND ACTIVE DEVICE!!!");
    EXPECT_EQ(dlg.Grid()->RowCount(), 0);
}

TEST_F(ScriptedSearchTest, TargetIsChosenInTheConnectionDialogWithProgressPaused) {
    g_script.modules = 1;
    QTimer::singleShot(50, &dlg, [] {
        auto* conn = qobject_cast<CConnDevDlg*>(QApplication::activeModalWidget());
        if (!conn) {
            ADD_FAILURE() << "no connection dialog";
            return;
        }
        EXPECT_EQ(conn->AddressBox()->currentText(), "10.0.0.2");
        conn->AddressBox()->setEditText("10.0.0.77");
        conn->OkButton()->click();
    });
    dlg.SetSearchList({"Scripted - Net"});
    dlg.DiscoverButton()->click();
    EXPECT_EQ(g_script.chosenAddress, "10.0.0.77");
    EXPECT_FALSE(g_script.progressRanDuringChoice);
    ASSERT_EQ(dlg.Grid()->RowCount(), 1);
    EXPECT_EQ(dlg.Grid()->CellText(0, 0), "Scripted - Net");
}

TEST_F(ScriptedSearchTest, CancelledTargetSkipsTheFamily) {
    g_script.modules = 2;
    QTimer::singleShot(50, &dlg, [] {
        if (auto* conn = qobject_cast<CConnDevDlg*>(QApplication::activeModalWidget())) conn->CancelButton()->click();
    });
    dlg.SetSearchList({"Scripted - Net"});
    dlg.DiscoverButton()->click();
    EXPECT_TRUE(dlg.LogView()->IsEmpty());
    EXPECT_EQ(dlg.Grid()->RowCount(), 0);
}
