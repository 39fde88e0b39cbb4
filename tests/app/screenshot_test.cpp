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
#include "families/Registry.h"
#include "framework/Registry.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"

using ScreenshotTest = HookedTest;

// Runs inside the default simulated lab (see CMakeLists.txt): the search
// reaches the lab's instruments through the real USB code.
TEST_F(ScreenshotTest, MainWindowAfterSearch) {
    if (!InOwnNetworkNamespace()) GTEST_FAIL() << "searches network instruments: run it inside brevane-lab";
    BuildOrvelCatalogue();
    CBrevaneDlg dlg;
    dlg.SetSearchList({"Tesk - 100", "Tesk - 300", "Kalder - 8S33", "Pembrix - Evra", "Pembrix - Alda", "Pembrix - Brisa"});
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));

    dlg.OnDiscoverDevice();
    ASSERT_TRUE(WaitForJob(dlg, 120000));
    EXPECT_TRUE(messages.empty());
    const QString log = dlg.LogView()->LogText();
    EXPECT_TRUE(log.contains("Finding Tesk - 100 . . ."));

    // The default lab's instruments in registry order: the Kalder chassis, the
    // Tesk-100/200 instruments (the pipe device first, then the MPUSB devices
    // in instance order), the Tesk-300, the two Evra, the Alda (HID) and the
    // Brisa (MPUSB).
    const std::vector<std::pair<QString, QString>> rows = {
        {"Kalder - 8S33", "KL8S000633"},   {"Tesk - 100", "TKP0000789"},     {"Tesk - 100", "TK1A000123"},
        {"Tesk - 100", "TK2B000456"},      {"Tesk - 300", "TK3C000321"},     {"Pembrix - Evra", "EV1A000511"},
        {"Pembrix - Evra", "EV1B000522"},
        {"Pembrix - Alda", "PA1H000511"},  {"Pembrix - Brisa", "PB2L000622"}};
    ASSERT_EQ(dlg.Grid()->RowCount(), static_cast<int>(rows.size()));
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        EXPECT_EQ(dlg.Grid()->CellText(i, 0), rows[static_cast<std::size_t>(i)].first) << i;
        EXPECT_EQ(dlg.Grid()->CellText(i, 1), rows[static_cast<std::size_t>(i)].second) << i;
    }
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
