// "Program Serial Numbers..." inside a lab of three Tesk-100 instruments: the
// preview plans a serial per row (skipping one a module holds), refuses a
// start text without digits, Start writes row after row on the dialog's
// worker while the window stays live, the grid shows each new serial, the
// report and the lab's EEPROMs hold what was said; Stop ends after the
// module being written.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>

#include "TestHooks.h"
#include "app/CBrevaneDlg.h"
#include "app/CProgramSerialDlg.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"

namespace {

QByteArray SerialIn(const QString& stateFile) {
    QFile f(stateFile);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray image = f.readAll();
    return image.size() == 256 ? image.mid(76, image.indexOf('\0', 76) - 76) : QByteArray();
}

QStringList Column(const QTableWidget* t, int column) {
    QStringList out;
    for (int r = 0; r < t->rowCount(); ++r) out << t->item(r, column)->text();
    return out;
}

}  // namespace

using ProgramSerialsInLab = HookedTest;

TEST_F(ProgramSerialsInLab, PreviewStartResultsPerRowAndStopAfterTheCurrentModule) {
    const char* state = std::getenv("BREVANE_TEST_LAB_STATE");
    ASSERT_NE(state, nullptr) << "runs inside the lab (see CMakeLists.txt)";
    const QString work = QDir::temp().filePath(QStringLiteral("brevane-program-serials-%1").arg(QCoreApplication::applicationPid()));
    QDir(work).removeRecursively();
    setenv("XDG_DATA_HOME", (work + "/data").toLocal8Bit().constData(), 1);  // the sequences
    CBrevaneDlg dlg;
    dlg.SetBackupDir((work + "/backups").toStdString());
    dlg.SetSearchList({"Tesk - 100"});
    dlg.OnDiscoverDevice();
    ASSERT_TRUE(WaitForJob(dlg));
    ASSERT_EQ(dlg.Grid()->RowCount(), 3) << dlg.LogView()->LogText().toStdString();
    EXPECT_FALSE(dlg.ProgramSerialsAction()->isEnabled());
    dlg.Grid()->selectRow(1);
    ASSERT_TRUE(dlg.ProgramSerialsAction()->isEnabled());

    const QString report = work + "/report.csv";
    QStringList refused, planned, results;
    int liveTicks = 0;  // timer ticks of the window's loop while writes ran
    bool stopRun = false;
    QTimer user;
    user.setInterval(20);
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* p = qobject_cast<CProgramSerialDlg*>(QApplication::activeModalWidget());
        if (!p) return;
        if (p->Running()) {
            ++liveTicks;
            // The second run is stopped once its first module is under way.
            if (stopRun && p->StopButton()->isEnabled() && QDir(work + "/backups").count() > 2 + 3)
                p->StopButton()->click();
            return;
        }
        if (p->Finished()) {
            results = Column(p->Table(), 3);
            planned << Column(p->Table(), 2).join(' ');
            p->reject();
            return;
        }
        p->StartEdit()->setText(QStringLiteral("PG"));
        refused << (p->StartButton()->isEnabled() ? "enabled" : "disabled") << p->Status()->text();
        p->StartEdit()->setText(stopRun ? QString() : QStringLiteral("PG0100"));
        p->SequenceEdit()->setText(QStringLiteral("gui-batch"));
        p->ReportEdit()->setText(report);
        planned << Column(p->Table(), 2).join(' ');
        p->StartButton()->click();
    });
    user.start();
    dlg.ProgramSerialsAction()->trigger();  // returns when the dialog is closed

    ASSERT_EQ(refused.size(), 2);
    EXPECT_EQ(refused[0], "disabled");
    EXPECT_TRUE(refused[1].contains("does not end in decimal digits")) << refused[1].toStdString();
    ASSERT_EQ(planned.size(), 2);
    EXPECT_EQ(planned[0], "PG0100 PG0102 PG0103");  // PG0101 is held by the second module
    EXPECT_EQ(planned[1], "PG0100 PG0102 PG0103");
    EXPECT_EQ(results, (QStringList{"programmed", "programmed", "programmed"}));
    EXPECT_GT(liveTicks, 0);
    EXPECT_EQ(dlg.Grid()->CellText(0, 1), "PG0100");
    EXPECT_EQ(dlg.Grid()->CellText(1, 1), "PG0102");
    EXPECT_EQ(dlg.Grid()->CellText(2, 1), "PG0103");
    EXPECT_EQ(SerialIn(QString::fromUtf8(state) + "/ps-a.bin"), "PG0100");
    EXPECT_EQ(SerialIn(QString::fromUtf8(state) + "/ps-b.bin"), "PG0102");
    EXPECT_EQ(SerialIn(QString::fromUtf8(state) + "/ps-c.bin"), "PG0103");
    QFile r(report);
    ASSERT_TRUE(r.open(QIODevice::ReadOnly));
    EXPECT_EQ(r.readAll().count('\n'), 4);

    // The sequence goes on; Stop ends the run after the module under way.
    stopRun = true;
    planned.clear();
    refused.clear();
    dlg.ProgramSerialsAction()->trigger();
    user.stop();
    ASSERT_EQ(planned.size(), 2);
    EXPECT_EQ(planned[0], "PG0104 PG0105 PG0106");
    ASSERT_EQ(results.size(), 3);
    const int done = static_cast<int>(results.count("programmed"));
    EXPECT_GE(done, 1);
    EXPECT_LT(done, 3) << results.join('|').toStdString();
    for (int i = done; i < 3; ++i) EXPECT_EQ(results[i], "") << i;  // never started
    EXPECT_EQ(SerialIn(QString::fromUtf8(state) + "/ps-a.bin"), "PG0104");
    QDir(work).removeRecursively();
}
