// The window inside the simulated lab (live-window-lab.ini) while the search
// meets silent instruments: the real Tesk and Alda families run on the worker,
// the window keeps answering, and Stop ends the search at the family's next
// wait or transfer boundary. Calls reach the real families through thin
// recording subclasses.
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "TestHooks.h"
#include "app/CBrevaneDlg.h"
#include "app/GuiPrompt.h"
#include "families/api/CComm_TavikDevice.h"
#include "families/usb/CComm_Tesk.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"

namespace {

struct Calls {
    std::atomic<int> opens{0};
    std::atomic<int> disconnects{0};
};
Calls g_tesk, g_alda;

class RecordingTesk : public CComm_Tesk100 {
public:
    static const CRuntimeClass classRecordingTesk;
    static CObject* Create() { return new RecordingTesk; }
    const CRuntimeClass* GetRuntimeClass() const override { return &classRecordingTesk; }
    BOOL OpenModule() override { return ++g_tesk.opens, CComm_Tesk100::OpenModule(); }
    void Disconnect() override {
        ++g_tesk.disconnects;
        CComm_Tesk100::Disconnect();
    }
};
const CRuntimeClass RecordingTesk::classRecordingTesk = {"RecordingTesk", &RecordingTesk::Create,
                                                         &CComm_Tesk100::classCComm_Tesk100};

class RecordingAlda : public CComm_Alda {
public:
    static const CRuntimeClass classRecordingAlda;
    static CObject* Create() { return new RecordingAlda; }
    const CRuntimeClass* GetRuntimeClass() const override { return &classRecordingAlda; }
    BOOL OpenModule() override { return ++g_alda.opens, CComm_Alda::OpenModule(); }
    void Disconnect() override {
        ++g_alda.disconnects;
        CComm_Alda::Disconnect();
    }
};
const CRuntimeClass RecordingAlda::classRecordingAlda = {"RecordingAlda", &RecordingAlda::Create,
                                                         &CComm_Alda::classCComm_Alda};

// The registry's rows with the recording classes in place of the real ones.
std::vector<_DeviceInfo> RecordingRows() {
    std::vector<_DeviceInfo> rows = BuiltInFamilies().Rows();
    for (auto& row : rows) {
        if (row.name == "Tesk - 100") row.family = &RecordingTesk::classRecordingTesk;
        if (row.name == "Pembrix - Alda") row.family = &RecordingAlda::classRecordingAlda;
    }
    return rows;
}

// Gaps between the ticks of a 10 ms timer of the window's thread.
class TickGaps {
public:
    TickGaps() {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.elapsed();
            if (m_last >= 0) m_max = std::max(m_max, now - m_last);
            m_last = now;
            ++m_ticks;
        });
        m_clock.start();
        m_timer.start(10);
    }
    int Ticks() const { return m_ticks; }
    qint64 MaxGapMs() const { return m_max; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = -1;
    qint64 m_max = 0;
    int m_ticks = 0;
};

QString StateDir() {
    const char* state = std::getenv("BREVANE_TEST_LAB_STATE");
    return state ? QString::fromUtf8(state) : QString();
}

// The serial in a device's identity image in the lab's state.
QString SerialInState(const QString& device) {
    QFile f(StateDir() + "/" + device + ".bin");
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray image = f.readAll();
    if (image.size() != 256) return {};
    return QString::fromLatin1(image.mid(76).constData());
}

class LiveWindowInLab : public HookedTest {
protected:
    void SetUp() override {
        HookedTest::SetUp();
        ASSERT_FALSE(StateDir().isEmpty()) << "runs inside the lab (see CMakeLists.txt)";
        g_tesk.opens = g_tesk.disconnects = 0;
        g_alda.opens = g_alda.disconnects = 0;
        SetUserPrompt(&prompt);
        dlg.SetSearchFunction([rows = RecordingRows()](const std::vector<std::string>& list, SearchSink& sink) {
            return RunDeviceSearch(rows, list, sink);
        });
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    }
    void TearDown() override {
        SetUserPrompt(nullptr);
        HookedTest::TearDown();
    }
    CBrevaneDlg dlg;
    CGuiPrompt prompt{&dlg};
};

}  // namespace

TEST_F(LiveWindowInLab, SilentTeskLeavesTheWindowAnsweringAndStopEndsIt) {
    dlg.SetSearchList({"Tesk - 100", "Pembrix - Alda"});
    TickGaps gaps;
    dlg.DiscoverButton()->click();
    // The pipe Tesk is read; the silent one keeps its first chunk waiting for
    // 80 replies of up to a second each.
    QTest::qWait(3000);
    ASSERT_TRUE(dlg.IsBusy());
    EXPECT_EQ(g_tesk.opens, 2);
    // Never blocked for a transfer's second: the timer kept ticking.
    EXPECT_GT(gaps.Ticks(), 100);
    EXPECT_LT(gaps.MaxGapMs(), 500);

    QElapsedTimer stop;
    stop.start();
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForJob(dlg, 60000));
    // At the next transfer boundary, not after the remaining attempts.
    EXPECT_LT(stop.elapsed(), 5000);
    EXPECT_EQ(g_tesk.disconnects, 1);
    EXPECT_EQ(g_alda.opens, 0);  // no later family
    ASSERT_EQ(dlg.Grid()->RowCount(), 1);
    EXPECT_EQ(dlg.Grid()->CellText(0, 0), "Tesk - 100");
    EXPECT_EQ(dlg.Grid()->CellText(0, 1), SerialInState("tesk-pipe"));
    EXPECT_EQ(dlg.LogView()->LogText(), "Finding Tesk - 100 . . .\r\nSearch stopped.");
    EXPECT_LT(gaps.MaxGapMs(), 500);
    EXPECT_TRUE(messages.empty());
}

TEST_F(LiveWindowInLab, SilentAldaStopsWhenTheRunningExportReturns) {
    dlg.SetSearchList({"Pembrix - Alda"});
    TickGaps gaps;
    dlg.DiscoverButton()->click();
    for (int i = 0; i < 1000 && g_alda.opens == 0; ++i) QTest::qWait(5);
    ASSERT_EQ(g_alda.opens, 1);
    QTest::qWait(500);  // inside the first chunk's two-second export

    QElapsedTimer stop;
    stop.start();
    dlg.DiscoverButton()->click();
    ASSERT_TRUE(WaitForJob(dlg, 30000));
    EXPECT_LT(stop.elapsed(), 4000);
    // The second silent Alda would have taken its own two seconds.
    EXPECT_EQ(g_alda.opens, 1);
    EXPECT_EQ(g_alda.disconnects, 1);
    EXPECT_EQ(dlg.Grid()->RowCount(), 0);
    EXPECT_EQ(dlg.LogView()->LogText(), "Finding Pembrix - Alda . . .\r\nSearch stopped.");
    EXPECT_LT(gaps.MaxGapMs(), 500);
}

TEST_F(LiveWindowInLab, AWriteRunsToItsEndAndClosingWaitsForIt) {
    const QString work = QDir::temp().filePath(QStringLiteral("brevane-live-write-%1").arg(QCoreApplication::applicationPid()));
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    dlg.SetBackupDir((work + "/backups").toStdString());
    const QByteArray serial = "LWNEW" + QByteArray::number(QDateTime::currentMSecsSinceEpoch() % 100000);
    QByteArray image(256, '\0');
    for (int i = 0; i < 76; ++i) image[i] = static_cast<char>('a' + i % 26);
    image.replace(76, serial.size(), serial);
    const QString file = work + "/image.bin";
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(image);
    }

    ASSERT_TRUE(dlg.WriteImageFromFile("Tesk - 100", 0, file));  // the pipe Tesk, answering late
    QTest::qWait(300);
    ASSERT_TRUE(dlg.IsBusy());
    dlg.DiscoverButton()->click();  // Stop: refused, said in the log
    EXPECT_TRUE(dlg.IsBusy());
    answer = true;
    EXPECT_FALSE(dlg.close());  // Yes: the write is finished first
    EXPECT_TRUE(dlg.isVisible());
    ASSERT_TRUE(WaitForJob(dlg, 60000));
    QTest::qWait(20);

    EXPECT_TRUE(dlg.LastWriteSucceeded());
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(messages.back().text.contains("read back correctly")) << messages.back().text.toStdString();
    // The module the write confirmed is noted on the current line when the
    // worker reaches it, before or after the Stop note.
    const QString log = dlg.LogView()->LogText();
    EXPECT_TRUE(log.startsWith("Writing image to Tesk - 100 module index 0 . . .")) << log.toStdString();
    EXPECT_TRUE(log.contains("\r\nA write is never stopped half-way; waiting for it to end . . .")) << log.toStdString();
    EXPECT_TRUE(log.contains(" (Tesk - 100 module 0, S/N ")) << log.toStdString();
    EXPECT_TRUE(log.endsWith(" DONE")) << log.toStdString();
    EXPECT_EQ(log.count("\r\n"), 1) << log.toStdString();
    EXPECT_FALSE(dlg.isVisible());  // closed once the outcome was shown
    QFile written(StateDir() + "/tesk-pipe.bin");
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), image);
    QDir(work).removeRecursively();
}
