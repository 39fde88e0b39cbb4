// The main window with message boxes and questions answered by the test.
#include <QAbstractItemModel>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

#include <atomic>

#include "TestHooks.h"
#include "app/CAboutDlg.h"
#include "app/CBrevaneDlg.h"
#include "app/WindowRules.h"
#include "framework/Wait.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"
#include "widgets/CLogoWidget.h"
#include "widgets/CSplitterControl.h"

namespace {

CDeviceInfo Module(const std::string& model, const std::string& serial, int index) {
    IdentityImage image{};
    for (std::size_t i = 0; i < serial.size(); ++i) image[kSerialOffset + i] = static_cast<std::uint8_t>(serial[i]);
    return CDeviceInfo(model, serial, index, image);
}

using MainWindowTest = HookedTest;

}  // namespace

TEST_F(MainWindowTest, TitleMenusAndInitialState) {
    CBrevaneDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), "Brevane");
    EXPECT_EQ(dlg.Grid()->HeadingText(0), "Module");
    EXPECT_EQ(dlg.Grid()->HeadingText(1), "S/N");
    EXPECT_EQ(dlg.Grid()->columnWidth(0), 100);
    EXPECT_EQ(dlg.Grid()->columnWidth(1), 130);
    EXPECT_EQ(dlg.Grid()->CornerText(), "No.");
    EXPECT_EQ(dlg.Grid()->RowCount(), 0);
    EXPECT_TRUE(dlg.LogView()->IsEmpty());
    EXPECT_FALSE(dlg.IsBusy());
}

TEST_F(MainWindowTest, DiscoverEnabledOnlyWhileSearchListNotEmpty) {
    CBrevaneDlg dlg;
    EXPECT_FALSE(dlg.DiscoverButton()->isEnabled());
    EXPECT_FALSE(dlg.DiscoverAction()->isEnabled());
    dlg.SetSearchList({"Tesk - 100"});
    EXPECT_TRUE(dlg.DiscoverButton()->isEnabled());
    EXPECT_TRUE(dlg.DiscoverAction()->isEnabled());
    dlg.SetSearchList({});
    EXPECT_FALSE(dlg.DiscoverButton()->isEnabled());
    EXPECT_FALSE(dlg.DiscoverAction()->isEnabled());
}

TEST_F(MainWindowTest, SearchFillsGridAndLogAndResetsProgress) {
    CBrevaneDlg dlg;
    dlg.SetSearchList({"Tesk - 100", "Tesk - 200"});
    std::vector<std::string> seenList;
    int progressSeen = -1;
    dlg.SetSearchFunction([&](const std::vector<std::string>& list, SearchSink& sink) {
        seenList = list;
        sink.ProgressStart(4);
        sink.Log("Finding Tesk - 100 . . .", true);
        WaitPumping(450);  // two ticks of the progress timer
        sink.Log("Finding Tesk - 200 . . .", true);
        sink.Log(kNotFoundText, false);
        sink.ProgressStop();
        return std::vector<CDeviceInfo>{Module("Tesk - 100", "T100-0001", 0), Module("Tesk - 100", "T100-0002", 1)};
    });
    QTimer::singleShot(430, &dlg, [&] { progressSeen = dlg.ProgressBar()->value(); });
    dlg.DiscoverButton()->click();
    // The search runs on the worker: the window is busy and the button is Stop.
    EXPECT_TRUE(dlg.IsBusy());
    EXPECT_EQ(dlg.DiscoverButton()->text(), "Stop");
    ASSERT_TRUE(WaitForJob(dlg));

    EXPECT_EQ(seenList, (std::vector<std::string>{"Tesk - 100", "Tesk - 200"}));
    EXPECT_GE(progressSeen, 1);
    EXPECT_FALSE(dlg.IsBusy());
    EXPECT_EQ(dlg.DiscoverButton()->text(), "Discover Device");
    EXPECT_EQ(dlg.LogView()->LogText(),
              "Finding Tesk - 100 . . .\r\nFinding Tesk - 200 . . . CANNOT FIND ACTIVE DEVICE!!!");
    ASSERT_EQ(dlg.Grid()->RowCount(), 2);
    EXPECT_EQ(dlg.Grid()->CellText(0, 0), "Tesk - 100");
    EXPECT_EQ(dlg.Grid()->CellText(1, 1), "T100-0002");
    EXPECT_EQ(dlg.Found().size(), 2u);
    EXPECT_FALSE(dlg.ProgressTimer().isActive());
    EXPECT_EQ(dlg.ProgressBar()->value(), 0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(MainWindowTest, SecondSearchSearchListAndWriteAreRefusedWhileOneRuns) {
    CBrevaneDlg dlg;
    dlg.show();
    dlg.SetSearchList({"Tesk - 100"});
    dlg.RefreshGrid({Module("Tesk - 100", "OLD", 0)});
    std::atomic<int> searches{0};
    QString logBeforeClick, logAfterClick;
    int rowsAfterClick = -1;
    dlg.SetSearchFunction([&](const std::vector<std::string>&, SearchSink& sink) {
        ++searches;
        sink.ProgressStart(2);
        sink.Log("Finding Tesk - 100 . . .", true);
        WaitPumping(400);
        sink.ProgressStop();
        return std::vector<CDeviceInfo>{};
    });
    // The user asks again while the family waits: the window answers at once.
    QTimer::singleShot(100, &dlg, [&] {
        logBeforeClick = dlg.LogView()->LogText();
        dlg.DiscoverAction()->trigger();
        dlg.OnSearchList();
        dlg.OnWriteImage();
        logAfterClick = dlg.LogView()->LogText();
        rowsAfterClick = dlg.Grid()->RowCount();
    });
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForJob(dlg));

    EXPECT_EQ(searches, 1);
    ASSERT_EQ(messages.size(), 3u);
    for (const auto& m : messages) {
        EXPECT_EQ(m.text, "Program is busy,please do it later.");
        EXPECT_EQ(m.caption, "Brevane");
    }
    EXPECT_EQ(logAfterClick, logBeforeClick);
    EXPECT_EQ(rowsAfterClick, 1);  // the refused commands did not touch the grid
    EXPECT_EQ(dlg.Grid()->RowCount(), 0);  // the finished search did
    dlg.hide();
}

TEST_F(MainWindowTest, SerialBytesAbove0x7FAreOneLatin1CharacterInTheGrid) {
    CBrevaneDlg dlg;
    dlg.RefreshGrid({Module("A", "EV\xE9\xFF" "1", 0)});
    // Each byte one character, as the command line's table and JSON show it.
    EXPECT_EQ(dlg.Grid()->CellText(0, 1), QString::fromUtf8("EV\u00e9\u00ff1"));
}

TEST_F(MainWindowTest, ShrinkingGridDeletesLastRows) {
    CBrevaneDlg dlg;
    dlg.RefreshGrid({Module("A", "1", 0), Module("B", "2", 1), Module("C", "3", 2)});
    ASSERT_EQ(dlg.Grid()->RowCount(), 3);
    int removed = 0, inserted = 0;
    QObject::connect(dlg.Grid()->model(), &QAbstractItemModel::rowsRemoved,
                     [&](const QModelIndex&, int first, int last) { removed += last - first + 1; });
    QObject::connect(dlg.Grid()->model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { inserted += last - first + 1; });
    dlg.RefreshGrid({Module("Z", "9", 4)});
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(inserted, 0);
    ASSERT_EQ(dlg.Grid()->RowCount(), 1);
    EXPECT_EQ(dlg.Grid()->CellText(0, 0), "Z");
    EXPECT_EQ(dlg.Grid()->CellText(0, 1), "9");
    EXPECT_EQ(dlg.Grid()->verticalHeaderItem(0)->text(), "1");
}

TEST_F(MainWindowTest, ProgressTimerTicksToTheEndAndStops) {
    CBrevaneDlg dlg;
    SearchSink& sink = dlg.Sink();
    sink.ProgressStart(2);
    EXPECT_EQ(dlg.ProgressBar()->maximum(), 2);
    EXPECT_EQ(dlg.ProgressBar()->value(), 0);
    EXPECT_TRUE(dlg.ProgressTimer().isActive());
    EXPECT_EQ(dlg.ProgressTimer().interval(), 200);
    // Two ticks reach the end and stop the timer; a loaded machine may be late
    // with them, never early.
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(dlg.ProgressBar()->value(), 2, 3000);
    EXPECT_GE(clock.elapsed(), 2 * 190);
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.ProgressTimer().isActive(), 3000);
    EXPECT_EQ(dlg.ProgressBar()->value(), 2);

    sink.ProgressStart(10);
    sink.ProgressPause();
    EXPECT_FALSE(dlg.ProgressTimer().isActive());
    QTest::qWait(300);
    EXPECT_EQ(dlg.ProgressBar()->value(), 0);
    sink.ProgressResume();
    EXPECT_TRUE(dlg.ProgressTimer().isActive());
    // One tick per 200 ms: the first comes no sooner than that, and when it has
    // come the bar has moved by exactly one step.
    clock.restart();
    QTRY_VERIFY_WITH_TIMEOUT(dlg.ProgressBar()->value() >= 1, 3000);
    EXPECT_GE(clock.elapsed(), 190);
    const int afterFirst = dlg.ProgressBar()->value();
    EXPECT_LE(afterFirst, 1 + static_cast<int>((clock.elapsed() - 190) / 190));
    sink.ProgressStop();
    EXPECT_FALSE(dlg.ProgressTimer().isActive());
    EXPECT_EQ(dlg.ProgressBar()->value(), 0);
}

TEST_F(MainWindowTest, ProgressOfZeroStopsOnFirstTick) {
    CBrevaneDlg dlg;
    dlg.Sink().ProgressStart(0);
    EXPECT_TRUE(dlg.ProgressTimer().isActive());
    QTest::qWait(300);
    EXPECT_FALSE(dlg.ProgressTimer().isActive());
}

TEST_F(MainWindowTest, ExitAnsweredNoKeepsEverything) {
    CBrevaneDlg dlg;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    dlg.AppendLog("Finding X . . .", true);
    const QString log = dlg.LogView()->LogText();
    answer = false;

    EXPECT_FALSE(dlg.close());
    dlg.ExitAction()->trigger();
    EXPECT_TRUE(dlg.isVisible());
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].text, "Are you sure to exit Brevane?");
    EXPECT_EQ(questions[0].caption, "Brevane");
    EXPECT_EQ(dlg.LogView()->LogText(), log);

    answer = true;
    EXPECT_TRUE(dlg.close());
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(MainWindowTest, EscapeAndEnterAskToExit) {
    CBrevaneDlg dlg;
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    answer = false;
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QTest::keyClick(&dlg, Qt::Key_Return);
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_TRUE(dlg.isVisible());
    answer = true;
    QTest::keyClick(&dlg, Qt::Key_Enter);
    EXPECT_EQ(questions.size(), 3u);
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(MainWindowTest, MinimumSizeAndInitialSize) {
    CBrevaneDlg dlg;
    EXPECT_EQ(dlg.minimumSize(), QSize(690, 500));
    EXPECT_EQ(dlg.size(), QSize(690, 500));
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    dlg.resize(300, 200);
    EXPECT_EQ(dlg.size(), QSize(690, 500));
}

TEST_F(MainWindowTest, LeftCornerDragBelowMinimumIsCorrectedByTheRule) {
    CBrevaneDlg dlg;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    dlg.setGeometry(QRect(100, 100, 800, 600));
    QTest::qWait(20);
    const QRect before = dlg.geometry();
    // The window system reports a bottom-left drag past the minimum.
    const QRect dragged(before.x() + 300, before.y(), before.width() - 300, before.height() - 250);
    EXPECT_EQ(brevane::DraggedEdges(before, dragged), Qt::LeftEdge | Qt::BottomEdge);
    const QRect fixed = brevane::CorrectSizingRect(dragged, brevane::DraggedEdges(before, dragged), dlg.minimumSize());
    EXPECT_EQ(fixed.size(), QSize(690, 500));
    EXPECT_EQ(fixed.topRight(), before.topRight());
    dlg.windowHandle()->setGeometry(dragged);
    QTest::qWait(50);
    EXPECT_EQ(dlg.size(), QSize(690, 500));
    EXPECT_EQ(dlg.geometry().topRight(), before.topRight());
}

TEST_F(MainWindowTest, ResizeKeepsGridShareAndFixedPlaces) {
    CBrevaneDlg dlg;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QWidget* client = dlg.ClientArea();
    const int T = brevane::MainLayoutMetrics{}.moduleTop;
    const int oldGrid = dlg.Grid()->height();
    const int oldLogBottom = dlg.LogView()->geometry().bottom() + 1;
    ASSERT_GT(oldGrid, 0);

    dlg.resize(900, 800);
    QTest::qWait(20);
    const int W = client->width(), H = client->height();
    const QRect bar = dlg.ProgressBar()->geometry();
    EXPECT_EQ(bar.x(), 2);
    EXPECT_EQ(bar.width(), W - 4);
    EXPECT_EQ(bar.bottom() + 1, H - 2);
    const int P = bar.y();
    EXPECT_EQ(dlg.Grid()->y(), T);
    EXPECT_EQ(dlg.Grid()->height(), oldGrid * (P - T) / (oldLogBottom - T));
    EXPECT_EQ(dlg.Splitter()->y(), T + dlg.Grid()->height());
    EXPECT_EQ(dlg.LogView()->y(), dlg.Splitter()->geometry().bottom() + 1);
    EXPECT_EQ(dlg.LogView()->geometry().bottom() + 1, P);
    EXPECT_EQ(dlg.LogView()->width(), W - 4);
    EXPECT_EQ(dlg.TopLine()->width(), W);
    EXPECT_EQ(dlg.Logo()->geometry().right() + 1, W - 5);
}

TEST_F(MainWindowTest, SplitterDragMovesBoundaryWithinRange) {
    CBrevaneDlg dlg;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    const int T = brevane::MainLayoutMetrics{}.moduleTop;
    const int logBottom = dlg.LogView()->geometry().bottom() + 1;
    dlg.Splitter()->DragTo(T + 100);
    EXPECT_EQ(dlg.Grid()->height(), 100);
    EXPECT_EQ(dlg.LogView()->y(), T + 100 + dlg.Splitter()->height());
    EXPECT_EQ(dlg.LogView()->geometry().bottom() + 1, logBottom);
    dlg.Splitter()->DragTo(0);
    EXPECT_EQ(dlg.Grid()->height(), CSplitterControl::kMinPane);
    dlg.Splitter()->DragTo(10000);
    EXPECT_EQ(dlg.LogView()->height(), CSplitterControl::kMinPane);
}

TEST_F(MainWindowTest, WebOpensTheMakersPage) {
    CBrevaneDlg dlg;
    std::vector<std::string> opened;
    dlg.SetUrlOpener([&](const std::string& url) { opened.push_back(url); });
    dlg.WebAction()->trigger();
    EXPECT_EQ(opened, std::vector<std::string>{"https://www.quenlor.example/"});
}

TEST(AboutBox, LinesCarryTheProgramVersion) {
    const QStringList lines = CAboutDlg::Lines();
    ASSERT_GE(lines.size(), 6);
    EXPECT_EQ(lines[0], QStringLiteral("Brevane Version " BREVANE_EXPECTED_VERSION));
    // The chassis-server library beside the program reports its own version.
    EXPECT_EQ(lines[1].toStdString(), "ZelAPI v2.4.1");
    EXPECT_EQ(lines[2], "HarloAPI v0.9b027");
    // The device library reports the version of the program that loaded it.
    EXPECT_EQ(lines[3], QStringLiteral("TavikAPI " BREVANE_EXPECTED_VERSION));
}

class WriteImageTest : public MainWindowTest {
protected:
    QString MakeImage(const QByteArray& bytes) {
        const QString path = dir.filePath("image.bin");
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path;
    }
    static QByteArray ImageWithSerial(const QByteArray& serial) {
        QByteArray b(256, '\0');
        b.replace(static_cast<int>(kSerialOffset), serial.size(), serial);
        return b;
    }
    QTemporaryDir dir;
};

TEST_F(WriteImageTest, WrongSizedFileIsRefusedBeforeAnyWrite) {
    CBrevaneDlg dlg;
    dlg.SetBackupDir(dir.filePath("backups").toStdString());
    EXPECT_FALSE(dlg.WriteImageFromFile("Tesk - 100", 0, MakeImage(QByteArray(10, 'x'))));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.startsWith("Cannot load the image file"));
    EXPECT_TRUE(dlg.LogView()->IsEmpty());
    EXPECT_FALSE(QDir(dir.filePath("backups")).exists());
}

TEST_F(WriteImageTest, SharedSerialIsAskedFirstAndNoStopsTheWrite) {
    CBrevaneDlg dlg;
    dlg.SetBackupDir(dir.filePath("backups").toStdString());
    dlg.SetSearchList({"Olvenna"});
    dlg.SetSearchFunction([&](const std::vector<std::string>&, SearchSink&) {
        return std::vector<CDeviceInfo>{Module("Olvenna", "SN-77", 0), Module("Olvenna", "SN-78", 1)};
    });
    dlg.OnDiscoverDevice();
    ASSERT_TRUE(WaitForJob(dlg));
    answer = false;
    // Writing SN-77 to module 1 would give two modules the same number.
    EXPECT_FALSE(dlg.WriteImageFromFile("Olvenna", 1, MakeImage(ImageWithSerial("SN-77"))));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_TRUE(questions[0].text.contains("SN-77"));
    EXPECT_TRUE(questions[0].text.contains("module index 0"));
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(dlg.LogView()->IsEmpty());
}

TEST_F(WriteImageTest, FailedStepIsReported) {
    CBrevaneDlg dlg;
    dlg.SetBackupDir(dir.filePath("backups").toStdString());
    // Olvenna is not part of this build: the write stops at the connect step.
    EXPECT_TRUE(dlg.WriteImageFromFile("Olvenna", 0, MakeImage(ImageWithSerial("SN-1"))));
    ASSERT_TRUE(WaitForJob(dlg));
    EXPECT_FALSE(dlg.LastWriteSucceeded());
    EXPECT_TRUE(questions.empty());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.contains("failed at step \"connect\"")) << messages[0].text.toStdString();
    EXPECT_EQ(dlg.LogView()->LogText(), "Writing image to Olvenna module index 0 . . . FAILED");
    EXPECT_FALSE(dlg.IsBusy());
}
