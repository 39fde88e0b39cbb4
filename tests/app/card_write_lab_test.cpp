// "Write Image..." to a chassis card chosen in the chassis's own dialogs, inside
// the default simulated lab: the connection dialog and the card dialog are
// answered as a user would, and the card's EEPROM in the lab changes. The
// messages, the backup and the restore command name the card picked there.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <cstdlib>

#include "TestHooks.h"
#include "app/CBrevaneDlg.h"
#include "app/CCardSelView.h"
#include "app/CConnDevDlg.h"
#include "app/CWriteImageDlg.h"
#include "app/GuiPrompt.h"
#include "framework/Prompt.h"
#include "widgets/CEditEx.h"

using CardWriteInLab = HookedTest;

TEST_F(CardWriteInLab, GostelCardChosenInItsDialogs) {
    if (!InOwnNetworkNamespace()) GTEST_FAIL() << "searches network instruments: run it inside brevane-lab";
    const char* state = std::getenv("BREVANE_TEST_LAB_STATE");
    ASSERT_NE(state, nullptr) << "runs inside the lab (see CMakeLists.txt)";
    CBrevaneDlg dlg;
    CGuiPrompt prompt(&dlg);  // as the application installs it
    SetUserPrompt(&prompt);
    const QString work = QDir::temp().filePath(QStringLiteral("brevane-card-write-%1").arg(QCoreApplication::applicationPid()));
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    dlg.SetBackupDir((work + "/backups").toStdString());

    // A serial of this run only, so an image left by an earlier run cannot pass.
    const QByteArray serial = "GSCARD" + QByteArray::number(QDateTime::currentMSecsSinceEpoch() % 100000000);
    QByteArray image(256, '\0');
    for (int i = 0; i < 76; ++i) image[i] = static_cast<char>('A' + i % 26);
    image.replace(76, serial.size(), serial);
    for (int i = 77 + static_cast<int>(serial.size()); i < 256; ++i) image[i] = static_cast<char>(i);
    const QString file = work + "/card.bin";
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(image);
    }

    QFile cardFile(QString::fromUtf8(state) + "/gostel-a-slot1.bin");
    QByteArray before;
    if (cardFile.open(QIODevice::ReadOnly)) before = cardFile.readAll();
    cardFile.close();

    // Answer the modal dialogs as they come up: "Write Image..." with the card
    // dialog (its module index stays at 0, the first row), then the chassis's
    // own dialogs, where the second row is picked.
    QStringList seen;
    QTimer user;
    user.setInterval(20);
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* write = qobject_cast<CWriteImageDlg*>(modal)) {
            write->FamilyBox()->setCurrentText(QStringLiteral("Gostel - 2160"));
            write->CardSelectionBox()->setChecked(true);
            write->FileEdit()->setText(file);
            seen << "write index " + QString::number(write->ModuleIndex());
            write->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        } else if (auto* conn = qobject_cast<CConnDevDlg*>(modal)) {
            seen << "address " + conn->AddressBox()->currentText();
            conn->OkButton()->click();
        } else if (auto* cards = qobject_cast<CCardSelView*>(modal)) {
            seen << cards->windowTitle() + " " + QString::number(cards->List()->topLevelItemCount());
            cards->List()->setCurrentItem(cards->List()->topLevelItem(1));  // slot 1, "Slot ID" 3
            cards->ModifyButton()->setChecked(true);
            cards->OkButton()->click();
        }
    });
    user.start();
    QAction* writeImage = nullptr;
    for (QAction* a : dlg.findChildren<QAction*>())
        if (a->text() == QStringLiteral("&Write Image...")) writeImage = a;
    ASSERT_NE(writeImage, nullptr);
    writeImage->trigger();
    // The write runs on the worker; its dialogs are answered here meanwhile.
    ASSERT_TRUE(WaitForJob(dlg, 120000));
    const bool written = dlg.LastWriteSucceeded();
    user.stop();
    SetUserPrompt(nullptr);

    ASSERT_TRUE(written) << (messages.empty() ? "" : messages.back().text.toStdString());
    // The default lab's only Gostel chassis, then its controller and two cards.
    ASSERT_GE(seen.size(), 3);
    EXPECT_EQ(seen[0], "write index 0");
    EXPECT_EQ(seen[1], "address 198.18.0.30");
    EXPECT_EQ(seen[2], "Mervo Series Card Select 3");
    ASSERT_FALSE(messages.empty());
    const QString told = messages.back().text;
    EXPECT_TRUE(told.contains("read back correctly")) << told.toStdString();

    ASSERT_TRUE(cardFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(cardFile.readAll(), image);
    cardFile.close();

    // Everything names the card picked in the dialog (row 2, slot 1 whose
    // Slot ID reads 3), never the first row the index box held.
    EXPECT_TRUE(told.contains("Gostel - 2160 card 2 (")) << told.toStdString();
    EXPECT_TRUE(told.contains("(Slot 3)")) << told.toStdString();
    EXPECT_FALSE(told.contains("card 1")) << told.toStdString();
    EXPECT_TRUE(dlg.LogView()->LogText().contains("Gostel - 2160 card 2 (")) << dlg.LogView()->LogText().toStdString();
    const QStringList backups = QDir(work + "/backups").entryList(QDir::Files);
    ASSERT_EQ(backups.size(), 1);
    EXPECT_TRUE(backups[0].startsWith("Gostel_-_2160-card2-")) << backups[0].toStdString();
    const QString restore = told.mid(told.indexOf("To put it back:\n") + 16).section('\n', 0, 0);
    EXPECT_TRUE(restore.contains("--card 2 --mode modify")) << restore.toStdString();
    EXPECT_TRUE(restore.contains("--expect-serial '" + QString::fromLatin1(serial) + "'")) << restore.toStdString();

    // The restore command, as shown, puts the old image back into that card.
    ASSERT_FALSE(before.isEmpty());  // the lab makes each card's state file as it starts
    {
        QProcess sh;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", QStringLiteral(BREVANE_BIN_DIR ":") + env.value("PATH"));
        sh.setProcessEnvironment(env);
        sh.start("/bin/sh", {"-c", restore});
        ASSERT_TRUE(sh.waitForFinished(120000));
        EXPECT_EQ(sh.exitCode(), 0) << sh.readAllStandardError().toStdString();
        ASSERT_TRUE(cardFile.open(QIODevice::ReadOnly));
        EXPECT_EQ(cardFile.readAll(), before);
    }
    QDir(work).removeRecursively();
}
