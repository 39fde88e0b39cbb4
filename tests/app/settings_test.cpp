// The desktop program keeps its search list and window geometry across a
// restart, and saves its log from the File menu.
#include <QAction>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>

#include "TestHooks.h"
#include "app/AppSettings.h"
#include "app/CBrevaneDlg.h"
#include "framework/Wait.h"
#include "widgets/CEditEx.h"

namespace {

class SettingsTest : public HookedTest {
protected:
    void SetUp() override {
        HookedTest::SetUp();
        ASSERT_TRUE(home.isValid());
        oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    }
    void TearDown() override {
        if (oldConfig.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", oldConfig);
        HookedTest::TearDown();
    }
    QTemporaryDir home;
    QByteArray oldConfig;
};

}  // namespace

TEST_F(SettingsTest, SearchListAndGeometryComeBackAfterARestart) {
    const QString file = CAppSettings::DefaultFile();
    EXPECT_EQ(file, home.path() + "/brevane/brevane.conf");
    const std::vector<std::string> chosen = {"Tesk - 300", "Pembrix - Alda+", "Gostel - 2160"};
    QRect placed;
    {
        CBrevaneDlg first;
        first.UseSettings(file);
        // First run: nothing stored, nothing chosen.
        EXPECT_TRUE(first.SearchList().empty());
        EXPECT_FALSE(first.DiscoverButton()->isEnabled());
        first.show();
        first.SetSearchList(chosen);
        first.setGeometry(QRect(40, 50, 900, 640));
        placed = first.geometry();
        answer = true;  // "Are you sure to exit Brevane?" - yes
        EXPECT_TRUE(first.close());
    }
    ASSERT_TRUE(QFile::exists(file));
    {
        CBrevaneDlg second;
        second.UseSettings(file);
        EXPECT_EQ(second.SearchList(), chosen);
        EXPECT_TRUE(second.DiscoverButton()->isEnabled());
        EXPECT_EQ(second.geometry().size(), placed.size());
        // An emptied list is stored too.
        second.SetSearchList({});
    }
    {
        CBrevaneDlg third;
        third.UseSettings(file);
        EXPECT_TRUE(third.SearchList().empty());
    }
    // Original timing is off until chosen; once chosen it holds for the
    // families and the traffic-generator library, and after a restart.
    {
        CBrevaneDlg fifth;
        fifth.UseSettings(file);
        ASSERT_NE(fifth.OriginalTimingAction(), nullptr);
        EXPECT_TRUE(fifth.OriginalTimingAction()->isCheckable());
        EXPECT_FALSE(fifth.OriginalTimingAction()->isChecked());
        EXPECT_FALSE(OriginalTiming());
        fifth.OriginalTimingAction()->trigger();
        EXPECT_TRUE(OriginalTiming());
        EXPECT_STREQ(std::getenv("TAVIKAPI_ORIGINAL_TIMING"), "1");
    }
    SetOriginalTiming(false);
    {
        CBrevaneDlg sixth;
        sixth.UseSettings(file);
        EXPECT_TRUE(sixth.OriginalTimingAction()->isChecked());
        EXPECT_TRUE(OriginalTiming());
        sixth.OriginalTimingAction()->trigger();
        EXPECT_FALSE(OriginalTiming());
        EXPECT_STREQ(std::getenv("TAVIKAPI_ORIGINAL_TIMING"), "0");
    }
    EXPECT_FALSE(CAppSettings(file).OriginalTiming());
    // A stored name this build no longer offers is dropped, the rest kept in order.
    CAppSettings(file).SetSearchList({"No Such Family", "Tesk - 100", "Kalder - 8S33"});
    CBrevaneDlg fourth;
    fourth.UseSettings(file);
    EXPECT_EQ(fourth.SearchList(), (std::vector<std::string>{"Tesk - 100", "Kalder - 8S33"}));
}

TEST_F(SettingsTest, TheLogIsSavedToAFileFromTheFileMenu) {
    CBrevaneDlg dlg;
    ASSERT_NE(dlg.SaveLogAction(), nullptr);
    EXPECT_EQ(dlg.SaveLogAction()->text(), QStringLiteral("Save &Log..."));
    dlg.AppendLog(QStringLiteral("Finding Tesk - 100 . . ."), true);
    dlg.AppendLog(QStringLiteral(" CANNOT FIND ACTIVE DEVICE!!!"), false);
    dlg.AppendLog(QStringLiteral("Finding Tesk - 200 . . ."), true);
    const QString file = home.path() + "/log.txt";
    ASSERT_TRUE(dlg.SaveLog(file));
    QFile in(file);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    EXPECT_EQ(in.readAll(),
              QByteArray("Finding Tesk - 100 . . . CANNOT FIND ACTIVE DEVICE!!!\r\nFinding Tesk - 200 . . .\r\n"));
    EXPECT_TRUE(messages.empty());
    // A place that cannot be written is told, not ignored.
    EXPECT_FALSE(dlg.SaveLog(home.path() + "/no/such/dir/log.txt"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.startsWith(QStringLiteral("Cannot save the log to")));
}
