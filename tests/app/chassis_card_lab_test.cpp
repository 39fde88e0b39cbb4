// "Write Image..." to an Orvel card and a Jessor card chosen in their
// dialogs, inside the default simulated lab, through our outside-library
// stand-ins: the connection and card dialogs are answered as a user would.
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
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
#include "app/GuiPrompt.h"
#include "framework/Prompt.h"

using CardWriteInLab = HookedTest;

namespace {

struct Pick {
    QString address;  // empty: the dialog's own choice
    int row;
    bool modify;
};

// Writes a fresh image to the card picked as `pick` says; returns what the
// dialogs showed, in order.
QStringList WriteCard(CardWriteInLab* test, const char* family, const Pick& pick, const QString& stateFile,
                      std::vector<Shown>& messages) {
    CBrevaneDlg dlg;
    CGuiPrompt prompt(&dlg);
    SetUserPrompt(&prompt);
    const QString work = QDir::temp().filePath(
        QStringLiteral("brevane-chassis-card-%1").arg(QCoreApplication::applicationPid()));
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    dlg.SetBackupDir((work + "/backups").toStdString());
    const QByteArray serial = "CH" + QByteArray::number(QDateTime::currentMSecsSinceEpoch() % 100000000);
    QByteArray image(256, '\0');
    for (int i = 0; i < 76; ++i) image[i] = static_cast<char>('a' + i % 26);
    image.replace(76, serial.size(), serial);
    const QString file = work + "/card.bin";
    {
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        out.write(image);
    }
    QStringList seen;
    QTimer user;
    user.setInterval(20);
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* conn = qobject_cast<CConnDevDlg*>(modal)) {
            QStringList offered;
            for (int i = 0; i < conn->AddressBox()->count(); ++i) offered << conn->AddressBox()->itemText(i);
            seen << "offered " + offered.join(",");
            if (!pick.address.isEmpty()) conn->AddressBox()->setCurrentText(pick.address);
            conn->OkButton()->click();
        } else if (auto* cards = qobject_cast<CCardSelView*>(modal)) {
            seen << cards->windowTitle() + " " + QString::number(cards->List()->topLevelItemCount());
            cards->List()->setCurrentItem(cards->List()->topLevelItem(pick.row));
            seen << cards->List()->topLevelItem(pick.row)->text(2);
            if (pick.modify) cards->ModifyButton()->setChecked(true);
            cards->OkButton()->click();
        }
    });
    user.start();
    // The write runs on the worker; its dialogs are answered here meanwhile.
    const bool started = dlg.WriteImageFromFile(family, moduleio::ModuleChoice{pick.row, true}, file);
    EXPECT_TRUE(started) << family;
    EXPECT_TRUE(WaitForJob(dlg, 120000)) << family;
    const bool written = started && dlg.LastWriteSucceeded();
    user.stop();
    SetUserPrompt(nullptr);
    EXPECT_TRUE(written) << family << ": " << (messages.empty() ? "" : messages.back().text.toStdString());
    if (written) {
        const QString told = messages.back().text;
        EXPECT_TRUE(told.contains("read back correctly")) << told.toStdString();
        // The restore command reaches the same card the same way: its row,
        // and the mode picked where the dialog offers one.
        EXPECT_TRUE(told.contains(QStringLiteral("--card %1 ").arg(pick.row + 1))) << told.toStdString();
        EXPECT_TRUE(told.contains(QStringLiteral(" --expect-serial '%1'").arg(QString::fromLatin1(serial))))
            << told.toStdString();
        if (pick.modify) {
            EXPECT_TRUE(told.contains("--mode modify")) << told.toStdString();
        }
    }
    QFile card(stateFile);
    EXPECT_TRUE(card.open(QIODevice::ReadOnly)) << stateFile.toStdString();
    EXPECT_EQ(card.readAll(), image) << family;
    QDir(work).removeRecursively();
    (void)test;
    return seen;
}

}  // namespace

TEST_F(CardWriteInLab, OrvelAndJessorCardsChosenInTheirDialogs) {
    if (!InOwnNetworkNamespace()) GTEST_FAIL() << "searches network instruments: run it inside brevane-lab";
    const char* state = std::getenv("BREVANE_TEST_LAB_STATE");
    ASSERT_NE(state, nullptr) << "runs inside the lab (see CMakeLists.txt)";
    const QString dir = QString::fromUtf8(state);

    // Orvel: the discovered server beside the local one (the dialog sorts them),
    // the chassis's first card.
    const auto orvel = WriteCard(this, "Orvel Series Card", {"198.18.0.80", 0, false},
                                 dir + "/orvel-a-slot1512.bin", messages);
    ASSERT_EQ(orvel.size(), 3);
    EXPECT_EQ(orvel[0].toStdString(), "offered 127.0.0.1,198.18.0.80");
    EXPECT_EQ(orvel[1].toStdString(), "Orvel Series Card Select 6");
    EXPECT_EQ(orvel[2].toStdString(), "Orvel - GX49 Card");

    // Jessor: the chassis found, the card in slot 1 in Modify mode.
    const auto jessor = WriteCard(this, "Ilvane - Jessor", {"", 1, true}, dir + "/jessor-a-slot1.bin", messages);
    ASSERT_EQ(jessor.size(), 3);
    EXPECT_EQ(jessor[0].toStdString(), "offered 198.18.0.50");
    EXPECT_EQ(jessor[1].toStdString(), "Ilvane-Jessor Card Select 3");
    EXPECT_EQ(jessor[2].toStdString(), "Jessor PoE-8 Card");
}
