// Renders the main window offscreen after a search and saves the picture
// used in the documentation.
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPixmap>
#include <QTest>
#include <gtest/gtest.h>

#include "TestHooks.h"
#include "app/CBrevaneDlg.h"
#include "app/GuiPrompt.h"
#include "framework/Registry.h"
#include "framework/Wait.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"

using ScreenshotTest = HookedTest;

// Runs inside the default simulated lab (see CMakeLists.txt): the search
// reaches the lab's instruments through the real USB code.
TEST_F(ScreenshotTest, MainWindowAfterSearch) {
    InstallEventLoopWaitPump();
    FamilyRegistry::BuildOrvelCatalogue();
    CBrevaneDlg dlg;
    dlg.SetSearchList({"Tesk - 100", "Tesk - 300"});
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));

    dlg.OnDiscoverDevice();
    SetWaitPump({});
    EXPECT_TRUE(messages.empty());
    const QString log = dlg.LogView()->LogText();
    EXPECT_TRUE(log.contains("Finding Tesk - 100 . . ."));

    // The default lab's Tesk-100/200 instruments: the pipe device first, then
    // the MPUSB devices in instance order.
    ASSERT_EQ(dlg.Grid()->RowCount(), 3);
    EXPECT_EQ(dlg.Grid()->CellText(0, 1), "TKP0000789");
    EXPECT_EQ(dlg.Grid()->CellText(1, 1), "TK1A000123");
    EXPECT_EQ(dlg.Grid()->CellText(2, 1), "TK2B000456");
    EXPECT_EQ(dlg.Grid()->CellText(2, 0), "Tesk - 100");
    QTest::qWait(50);

    const QPixmap shot = dlg.grab();
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size(), dlg.size());
    const QString path = QStringLiteral(BREVANE_SCREENSHOT_PATH);
    QFile::remove(path);
    ASSERT_TRUE(shot.save(path, "PNG"));
    ASSERT_TRUE(QFileInfo::exists(path));
    const QImage back(path);
    EXPECT_EQ(back.size(), dlg.size());
}
