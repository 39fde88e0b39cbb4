// "Write Image..." to a chassis card chosen in the chassis's own dialogs, inside
// the default simulated lab: the connection dialog and the card dialog are
// answered as a user would, and the card's EEPROM in the lab changes.
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

    // Answer the modal dialogs as they come up.
    QStringList seen;
    QTimer user;
    user.setInterval(20);
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* conn = qobject_cast<CConnDevDlg*>(modal)) {
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
    ASSERT_TRUE(dlg.WriteImageFromFile("Gostel - 2160", moduleio::ModuleChoice{0, true}, file));
    // The write runs on the worker; its dialogs are answered here meanwhile.
    ASSERT_TRUE(WaitForJob(dlg, 120000));
    const bool written = dlg.LastWriteSucceeded();
    user.stop();
    SetUserPrompt(nullptr);

    ASSERT_TRUE(written) << (messages.empty() ? "" : messages.back().text.toStdString());
    // The default lab's only Gostel chassis, then its controller and two cards.
    ASSERT_GE(seen.size(), 2);
    EXPECT_EQ(seen[0], "address 198.18.0.30");
    EXPECT_EQ(seen[1], "Mervo Series Card Select 3");
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(messages.back().text.contains("read back correctly")) << messages.back().text.toStdString();

    QFile card(QString::fromUtf8(state) + "/gostel-a-slot1.bin");
    ASSERT_TRUE(card.open(QIODevice::ReadOnly));
    EXPECT_EQ(card.readAll(), image);
    QDir(work).removeRecursively();
}
