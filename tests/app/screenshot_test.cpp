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

TEST_F(ScreenshotTest, MainWindowAfterSearch) {
    InstallEventLoopWaitPump();
    FamilyRegistry::BuildOrvelCatalogue();
    CBrevaneDlg dlg;
    dlg.SetSearchList({"Tesk - 100"});
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));

    // The real search: without hardware it finds nothing and says so.
    dlg.OnDiscoverDevice();
    SetWaitPump({});
    EXPECT_TRUE(dlg.LogView()->LogText().contains("Finding Tesk - 100 . . ."));
    EXPECT_TRUE(messages.empty());

    // Modules as a search on a bench would list them.
    auto module = [](const char* model, const char* serial, int index) {
        IdentityImage image{};
        return CDeviceInfo(model, serial, index, image);
    };
    dlg.RefreshGrid({module("Tesk - 100", "TK1-20417", 0), module("Tesk - 100", "TK1-20418", 1),
                     module("Tesk - 200", "TK2-00931", 0)});
    dlg.AppendLog("Finding Tesk - 200 . . .", true);
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
