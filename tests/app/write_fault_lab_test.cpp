// "Write Image..." inside a lab whose instruments fail half-way through a
// write or leave (so the indexes shift): every failure is reported with its
// step, chunk, backup file and restore command, the backup holds the old
// image, and a module that is not the grid row's is never written.
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>

#include "TestHooks.h"
#include "app/CBrevaneDlg.h"
#include "app/CWriteImageDlg.h"
#include "app/GuiPrompt.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"

using WriteFaultInLab = HookedTest;

namespace {

QByteArray ReadAll(const QString& file) {
    QFile in(file);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

QByteArray ImageBytes(const IdentityImage& image) {
    return QByteArray(reinterpret_cast<const char*>(image.data()), static_cast<int>(image.size()));
}

// The backup file named in a failure message ("the previous image is in FILE;").
QString BackupIn(const QString& text) {
    const int at = text.indexOf(QStringLiteral("the previous image is in "));
    if (at < 0) return {};
    const int from = at + 25;
    return text.mid(from, text.indexOf(';', from) - from);
}

// Chooses grid row `row`, opens "Write Image..." and presses OK with `file`.
void WriteThroughDialog(CBrevaneDlg& dlg, int row, const QString& file) {
    dlg.Grid()->setCurrentCell(row, 0);
    QTimer user;
    user.setInterval(20);
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (auto* write = qobject_cast<CWriteImageDlg*>(QApplication::activeModalWidget())) {
            write->FileEdit()->setText(file);
            write->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        }
    });
    user.start();
    dlg.OnWriteImage();
    user.stop();
    ASSERT_TRUE(WaitForJob(dlg));
}

}  // namespace

TEST_F(WriteFaultInLab, FailedWritesAndShiftedIndexes) {
    const char* state = std::getenv("BREVANE_TEST_LAB_STATE");
    ASSERT_NE(state, nullptr) << "runs inside the lab (see CMakeLists.txt)";
    CBrevaneDlg dlg;
    const QString work = QDir::temp().filePath(QStringLiteral("brevane-write-fault-%1").arg(QCoreApplication::applicationPid()));
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    const QString backups = work + "/backups";
    dlg.SetBackupDir(backups.toStdString());
    QByteArray image(256, '\0');
    for (int i = 0; i < 256; ++i) image[i] = static_cast<char>(i < 76 ? 'a' + i % 26 : 0xA0 + i % 16);
    image.replace(76, 11, QByteArray("NEWSERIAL9\0", 11));
    const QString file = work + "/new.bin";
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(image);
    }

    dlg.SetSearchList({"Tesk - 100"});
    dlg.OnDiscoverDevice();
    ASSERT_TRUE(WaitForJob(dlg));
    const auto found = dlg.Found();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].m_serial, "WFV0000001");
    EXPECT_EQ(found[1].m_serial, "WFO0000002");
    EXPECT_EQ(found[2].m_serial, "WFG0000003");

    // 1. The first module leaves at write chunk 2.
    WriteThroughDialog(dlg, 0, file);
    ASSERT_FALSE(messages.empty());
    QString text = messages.back().text;
    EXPECT_TRUE(text.contains("failed at step \"write\"")) << text.toStdString();
    EXPECT_TRUE(text.contains("write: chunk 2 of 5 not acknowledged")) << text.toStdString();
    // The restore goes only to a module with the old or the new serial number.
    EXPECT_TRUE(text.contains("write --family 'Tesk - 100' --module 0 --expect-serial 'WFV0000001' --expect-serial '"))
        << text.toStdString();
    EXPECT_EQ(ReadAll(BackupIn(text)), ImageBytes(found[0].m_image)) << text.toStdString();
    EXPECT_TRUE(dlg.LogView()->LogText().endsWith("(Tesk - 100 module 0, S/N WFV0000001) FAILED"))
        << dlg.LogView()->LogText().toStdString();

    // 2. The grid's second row (WFO0000002, index 1): index 1 is now the
    // third module. Refused, nothing written, no backup made.
    const int backupsBefore = static_cast<int>(QDir(backups).entryList(QDir::Files).size());
    WriteThroughDialog(dlg, 1, file);
    text = messages.back().text;
    EXPECT_TRUE(text.contains("failed at step \"confirm module\"")) << text.toStdString();
    EXPECT_TRUE(text.contains("has serial number \"WFG0000003\", not \"WFO0000002\"")) << text.toStdString();
    EXPECT_TRUE(text.contains("nothing written")) << text.toStdString();
    EXPECT_EQ(static_cast<int>(QDir(backups).entryList(QDir::Files).size()), backupsBefore);
    EXPECT_EQ(ReadAll(QString::fromUtf8(state) + "/wf-garble.bin"), ImageBytes(found[2].m_image));
    EXPECT_EQ(ReadAll(QString::fromUtf8(state) + "/wf-other.bin"), ImageBytes(found[1].m_image));

    // 3. The third module where it is now, confirmed by its serial: it keeps
    // a wrong byte from chunk 1 on, which the comparison finds.
    // The write starts (true) and is reported failed when it ends.
    EXPECT_TRUE(dlg.WriteImageFromFile("Tesk - 100", moduleio::ModuleChoice{1, false}, file, "WFG0000003"));
    ASSERT_TRUE(WaitForJob(dlg));
    EXPECT_FALSE(dlg.LastWriteSucceeded());
    text = messages.back().text;
    EXPECT_TRUE(text.contains("failed at step \"compare\"")) << text.toStdString();
    EXPECT_TRUE(text.contains("differs at byte 60")) << text.toStdString();
    EXPECT_EQ(ReadAll(BackupIn(text)), ImageBytes(found[2].m_image));
    // Nothing was ever reported as done.
    EXPECT_FALSE(dlg.LogView()->LogText().contains("DONE"));
    for (const auto& m : messages) EXPECT_FALSE(m.text.contains("read back correctly"));
    QDir(work).removeRecursively();
}
