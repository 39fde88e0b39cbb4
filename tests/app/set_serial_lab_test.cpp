// "Set Serial Number..." and "Show Image..." on a module found by a real
// search inside the default simulated lab: the dialog is answered as a user
// would, the module's EEPROM in the lab changes in its serial bytes only, and
// the grid row shows the number read back.
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>

#include "TestHooks.h"
#include "app/CBrevaneDlg.h"
#include "app/CSetSerialDlg.h"
#include "app/GuiPrompt.h"
#include "framework/Wait.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"

namespace {

QByteArray ReadAll(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

using SetSerialInLab = HookedTest;

TEST_F(SetSerialInLab, TeskRowGetsItsNewSerialFromTheDialog) {
    const char* state = std::getenv("BREVANE_TEST_LAB_STATE");
    ASSERT_NE(state, nullptr) << "runs inside the lab (see CMakeLists.txt)";
    InstallEventLoopWaitPump();
    CBrevaneDlg dlg;
    const QString work = QDir::temp().filePath(QStringLiteral("brevane-set-serial-%1").arg(QCoreApplication::applicationPid()));
    QDir(work).removeRecursively();
    dlg.SetBackupDir((work + "/backups").toStdString());
    dlg.SetSearchList({"Tesk - 100"});
    dlg.OnDiscoverDevice();
    // The pipe device first, then the MPUSB devices: row 1 is tesk100-a.
    ASSERT_GE(dlg.Grid()->RowCount(), 2) << dlg.LogView()->LogText().toStdString();
    const QString stateFile = QString::fromUtf8(state) + "/tesk100-a.bin";
    const QByteArray old = ReadAll(stateFile);
    ASSERT_EQ(old.size(), 256);
    EXPECT_EQ(dlg.Grid()->CellText(1, 1).toLatin1(), old.mid(76, old.indexOf('\0', 76) - 76));
    EXPECT_FALSE(dlg.SetSerialAction()->isEnabled());
    dlg.Grid()->selectRow(1);
    EXPECT_TRUE(dlg.SetSerialAction()->isEnabled());

    // A serial of this run only, so an image left by an earlier run cannot pass.
    const QString serial = "TK-GUI-" + QString::number(QDateTime::currentMSecsSinceEpoch() % 100000000);
    QStringList seen;
    QTimer user;
    user.setInterval(20);
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (auto* set = qobject_cast<CSetSerialDlg*>(QApplication::activeModalWidget())) {
            set->SerialEdit()->setText(QStringLiteral("BAD\tSERIAL"));
            seen << (set->OkButton()->isEnabled() ? "enabled" : "disabled");
            set->SerialEdit()->setText(serial);
            set->OkButton()->click();
        } else if (auto* view = qobject_cast<CImageViewDlg*>(QApplication::activeModalWidget())) {
            seen << view->ViewText();
            view->reject();
        }
    });
    user.start();
    emit dlg.Grid()->cellDoubleClicked(1, 1);  // a double-click on the S/N cell
    dlg.ShowImageAction()->trigger();
    user.stop();
    SetWaitPump({});

    ASSERT_EQ(seen.size(), 2) << seen.join('\n').toStdString();
    EXPECT_EQ(seen[0], "disabled");
    ASSERT_FALSE(messages.empty());
    const QString told = messages.back().text;
    EXPECT_TRUE(told.contains("read back correctly")) << told.toStdString();
    EXPECT_TRUE(told.contains(work + "/backups/")) << told.toStdString();
    EXPECT_TRUE(told.contains("write --family 'Tesk - 100' --module 1 --expect-serial '" + serial + "' --backup-dir"))
        << told.toStdString();
    EXPECT_EQ(dlg.Grid()->CellText(1, 1), serial);
    EXPECT_TRUE(seen[1].startsWith("S/N: " + serial + "\n0000  ")) << seen[1].toStdString();

    const QByteArray now = ReadAll(stateFile);
    ASSERT_EQ(now.size(), 256);
    const int end = 76 + static_cast<int>(serial.size());
    EXPECT_EQ(now.left(76), old.left(76));
    EXPECT_EQ(now.mid(76, serial.size() + 1), serial.toLatin1() + '\0');
    EXPECT_EQ(now.mid(end + 1), old.mid(end + 1));
    const QStringList backups = QDir(work + "/backups").entryList(QDir::Files);
    ASSERT_EQ(backups.size(), 1);
    EXPECT_EQ(ReadAll(work + "/backups/" + backups[0]), old);
    QDir(work).removeRecursively();
}
