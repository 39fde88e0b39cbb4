// The window's write flows: "Write Image...", "Set Serial Number..." and
// "Program Serial Numbers...". Each runs the one module write path (module
// check, backup, write, read back, compare) as a write job on the worker and
// tells the outcome: which step failed, the backup and the restore command.
#include <QFileInfo>
#include <QMessageBox>

#include "CBrevaneDlg.h"
#include "CProgramSerialDlg.h"
#include "CSetSerialDlg.h"
#include "CWriteImageDlg.h"
#include "UiHooks.h"
#include "UiThread.h"
#include "framework/ImageText.h"
#include "framework/ModuleIo.h"
#include "families/Registry.h"
#include "framework/Registry.h"
#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"

void CBrevaneDlg::OnWriteImage() {
    if (m_busy) {
        ui::ShowMessage(this, QString::fromUtf8(kBusyMessage), ui::AppTitle());
        return;
    }
    std::string family = m_searchList.empty() ? std::string() : RegistryNameOf(m_searchList.front());
    std::int32_t index = 0;
    const int row = m_grid->currentRow();
    if (row >= 0 && row < static_cast<int>(m_found.size())) {
        family = RegistryNameOf(m_found[row].m_model);
        index = m_found[row].m_moduleIndex;
    }
    CWriteImageDlg dlg(family, index, this);
    if (dlg.exec() != QDialog::Accepted) return;
    if (dlg.ViaCardSelection())
        WriteImageFromFile(dlg.Family(), moduleio::ModuleChoice{dlg.ModuleIndex(), true}, dlg.File());
    else
        WriteImageFromFile(dlg.Family(), dlg.ModuleIndex(), dlg.File());
}

std::optional<std::string> CBrevaneDlg::RowSerial(const std::string& family, std::int32_t index) const {
    for (const auto& info : m_found)
        if (info.m_moduleIndex == index && RegistryNameOf(info.m_model) == family) return info.m_serial;
    return std::nullopt;
}

bool CBrevaneDlg::WriteImageFromFile(const std::string& family, std::int32_t index, const QString& file) {
    return WriteImageFromFile(family, moduleio::ModuleChoice{index, false}, file, RowSerial(family, index));
}

bool CBrevaneDlg::WriteImageFromFile(const std::string& family, const moduleio::ModuleChoice& choice,
                                     const QString& file, std::optional<std::string> expectSerial) {
    const std::int32_t index = choice.index;
    if (m_busy) {
        ui::ShowMessage(this, QString::fromUtf8(kBusyMessage), ui::AppTitle());
        return false;
    }
    std::string error;
    const auto image = moduleio::LoadImageFile(file.toStdString(), error);
    if (!image) {
        ui::ShowMessage(this, QStringLiteral("Cannot load the image file:\n%1").arg(QString::fromStdString(error)));
        return false;
    }

    const auto same = moduleio::SameSerialAs(*image, m_found, family, index);
    if (!same.empty()) {
        QStringList owners;
        for (const auto& d : same)
            owners << QStringLiteral("%1, module index %2").arg(QString::fromStdString(d.m_model)).arg(d.m_moduleIndex);
        const QString question = QStringLiteral("The serial number \"%1\" of this image is already used by:\n%2\n\n"
                                                "Write the image anyway?")
                                     .arg(QString::fromLatin1(SerialNumberOf(*image).c_str()), owners.join('\n'));
        if (!ui::AskYesNo(this, question)) return false;
    }

    m_writeTarget = choice.viaCardSelection
                        ? QStringLiteral("%1 (the card chosen in its card dialog)").arg(QString::fromStdString(family))
                        : QStringLiteral("%1 module index %2").arg(QString::fromStdString(family)).arg(index);
    m_lastWriteOk = false;
    AppendLog(QStringLiteral("Writing image to %1 . . .").arg(m_writeTarget), true);
    moduleio::WriteOptions options;
    if (expectSerial) options.expectSerial.push_back(std::move(*expectSerial));
    // Called on the job's thread: the log line is appended on this one.
    options.aboutToWrite = [this](const std::string& module) {
        QMetaObject::invokeMethod(
            this, [this, text = QString::fromStdString(module)] { AppendLog(QStringLiteral(" (%1)").arg(text), false); },
            Qt::QueuedConnection);
    };
    StartJob(JobKind::Write, [this, family, choice, image = *image, options,
                              dir = m_backupDir.empty() ? moduleio::DefaultBackupDir() : m_backupDir] {
        m_writeResult = moduleio::WriteImage(BuiltInFamilies(), family, choice, image, dir, options);
    });
    return true;
}

void CBrevaneDlg::ShowWriteOutcome() {
    const moduleio::WriteResult result = std::move(m_writeResult);
    m_writeResult = {};
    if (m_serialWriteOf) {
        const CDeviceInfo info = *m_serialWriteOf;
        m_serialWriteOf.reset();
        m_lastWriteOk = ShowSerialOutcome(info, result);
        return;
    }
    m_lastWriteOk = result.ok;
    // A card is named as its dialog picked it.
    if (!result.module.empty()) m_writeTarget = QString::fromStdString(result.module);
    if (!result.ok) {
        AppendLog(QStringLiteral(" FAILED"), false);
        ui::ShowMessage(this, QStringLiteral("Writing the image to %1 failed at step \"%2\":\n%3\n%4")
                                  .arg(m_writeTarget, QString::fromUtf8(moduleio::WriteStepName(result.failedStep)),
                                       QString::fromStdString(result.error), BackupText(result)));
        return;
    }
    if (!result.keptDiffering.empty()) {
        // Not the whole image: the module kept bytes that differ from it.
        AppendLog(QStringLiteral(" DONE, but %1 kept").arg(QString::fromStdString(result.keptDiffering)), false);
        ui::ShowMessage(this, QStringLiteral("The image was written to %1, but not all of it: the instrument kept %2 "
                                             "unchanged although the image differs there. The bytes it writes "
                                             "read back correctly.\n%3")
                                  .arg(m_writeTarget, QString::fromStdString(result.keptDiffering), BackupText(result)));
        return;
    }
    AppendLog(QStringLiteral(" DONE"), false);
    QString kept;
    if (!result.keptBytes.empty())
        kept = QStringLiteral("The instrument keeps %1 of its image as they are: they were not written "
                              "and not compared.\n")
                   .arg(QString::fromStdString(result.keptBytes));
    ui::ShowMessage(this, QStringLiteral("The image was written to %1 and read back correctly.\n%3%2")
                              .arg(m_writeTarget, BackupText(result), kept));
}

// Where the previous image went and the command that puts it back.
QString CBrevaneDlg::BackupText(const moduleio::WriteResult& result) const {
    if (result.backupFile.empty()) return QString();
    return QStringLiteral("The previous image was saved to:\n%1\n\nTo put it back:\n%2")
        .arg(QString::fromStdString(result.backupFile.string()), QString::fromStdString(result.restoreCommand));
}

void CBrevaneDlg::OnSetSerial() {
    if (m_busy) {
        ui::ShowMessage(this, QString::fromUtf8(kBusyMessage), ui::AppTitle());
        return;
    }
    const int row = SelectedRowOrSay();
    if (row < 0) return;
    const CDeviceInfo& info = m_found[static_cast<std::size_t>(row)];
    CSetSerialDlg dlg(QStringLiteral("%1, module index %2").arg(QString::fromStdString(info.m_model)).arg(info.m_moduleIndex),
                      info.m_serial, this);
    if (dlg.exec() != QDialog::Accepted) return;
    SetSerialNumber(row, dlg.Serial());
}

// The modules of the selected row's family, in grid order, get the serials of
// a start text or sequence; the grid shows each new serial as it is verified.
void CBrevaneDlg::OnProgramSerials() {
    if (m_busy) {
        ui::ShowMessage(this, QString::fromUtf8(kBusyMessage), ui::AppTitle());
        return;
    }
    const int row = SelectedRowOrSay();
    if (row < 0) return;
    const std::string family = RegistryNameOf(m_found[static_cast<std::size_t>(row)].m_model);
    std::vector<CProgramSerialDlg::Row> rows;
    std::vector<std::string> inUse;
    for (std::size_t i = 0; i < m_found.size(); ++i) {
        inUse.push_back(m_found[i].m_serial);
        if (RegistryNameOf(m_found[i].m_model) == family) rows.push_back({static_cast<int>(i), m_found[i]});
    }
    CProgramSerialDlg dlg(family, std::move(rows), std::move(inUse),
                          m_backupDir.empty() ? moduleio::DefaultBackupDir() : m_backupDir, this);
    dlg.onProgrammed = [this](int gridRow, const moduleio::WriteResult& result) {
        if (gridRow < 0 || gridRow >= static_cast<int>(m_found.size())) return;
        CDeviceInfo& f = m_found[static_cast<std::size_t>(gridRow)];
        f.m_serial = SerialNumberOf(result.written);
        f.m_image = result.written;
        m_grid->SetCellText(gridRow, 1, QString::fromLatin1(f.m_serial.c_str()));
        AppendLog(QStringLiteral("%1 module index %2: serial number %3 set and verified")
                      .arg(QString::fromStdString(f.m_model))
                      .arg(f.m_moduleIndex)
                      .arg(QString::fromLatin1(f.m_serial.c_str())),
                  true);
    };
    dlg.exec();
}

moduleio::WriteResult CBrevaneDlg::RunSerialWrite(const std::string& family, std::int32_t index,
                                                  const std::string& serial, const std::string& expectSerial) const {
    return moduleio::WriteSerialNumber(BuiltInFamilies(), family, moduleio::ModuleChoice{index, false}, serial,
                                       m_backupDir.empty() ? moduleio::DefaultBackupDir() : m_backupDir,
                                       moduleio::WriteOptions{{expectSerial}, std::nullopt, {}});
}

bool CBrevaneDlg::SetSerialNumber(int row, const std::string& serial) {
    if (m_busy) {
        ui::ShowMessage(this, QString::fromUtf8(kBusyMessage), ui::AppTitle());
        return false;
    }
    if (row < 0 || row >= static_cast<int>(m_found.size())) return false;
    if (const std::string problem = SerialNumberProblem(serial); !problem.empty()) {
        ui::ShowMessage(this, QStringLiteral("Cannot use this serial number: %1.").arg(QString::fromStdString(problem)));
        return false;
    }
    const CDeviceInfo info = m_found[static_cast<std::size_t>(row)];
    const std::string family = RegistryNameOf(info.m_model);
    const QString newSerial = QString::fromLatin1(serial.c_str());
    const auto same = moduleio::SameSerialAs(serial, m_found, family, info.m_moduleIndex);
    if (!same.empty()) {
        QStringList owners;
        for (const auto& d : same)
            owners << QStringLiteral("%1, module index %2").arg(QString::fromStdString(d.m_model)).arg(d.m_moduleIndex);
        if (!ui::AskYesNo(this, QStringLiteral("The serial number \"%1\" is already used by:\n%2\n\n"
                                               "Set it anyway?")
                                    .arg(newSerial, owners.join('\n'))))
            return false;
    }

    m_writeTarget =
        QStringLiteral("%1 module index %2").arg(QString::fromStdString(info.m_model)).arg(info.m_moduleIndex);
    m_serialWriteOf = info;
    m_lastWriteOk = false;
    AppendLog(QStringLiteral("Setting serial number of %1 to %2 . . .").arg(m_writeTarget, newSerial), true);
    // The write runs on the job's thread; its outcome is shown when it ends.
    StartJob(JobKind::Write, [this, family, index = info.m_moduleIndex, serial, expect = info.m_serial] {
        m_writeResult = RunSerialWrite(family, index, serial, expect);
    });
    return true;
}

bool CBrevaneDlg::ShowSerialOutcome(const CDeviceInfo& info, const moduleio::WriteResult& result) {
    const QString target =
        QStringLiteral("%1 module index %2").arg(QString::fromStdString(info.m_model)).arg(info.m_moduleIndex);
    if (!result.ok) {
        AppendLog(QStringLiteral(" FAILED"), false);
        ui::ShowMessage(this, QStringLiteral("Setting the serial number of %1 failed at step \"%2\":\n%3\n%4")
                                  .arg(target, QString::fromUtf8(moduleio::WriteStepName(result.failedStep)),
                                       QString::fromStdString(result.error), BackupText(result)));
        return false;
    }
    // The list may have changed while the write ran; the row is found again.
    for (std::size_t i = 0; i < m_found.size(); ++i) {
        CDeviceInfo& f = m_found[i];
        if (f.m_model == info.m_model && f.m_moduleIndex == info.m_moduleIndex && f.m_serial == info.m_serial) {
            f.m_serial = SerialNumberOf(result.written);
            f.m_image = result.written;
            m_grid->SetCellText(static_cast<int>(i), 1, QString::fromLatin1(f.m_serial.c_str()));
            break;
        }
    }
    m_grid->Redraw();
    AppendLog(QStringLiteral(" DONE"), false);
    ui::ShowMessage(this, QStringLiteral("The serial number of %1 is now \"%2\" (was \"%3\"), read back correctly.\n%4")
                              .arg(target, QString::fromLatin1(SerialNumberOf(result.written).c_str()),
                                   QString::fromLatin1(info.m_serial.c_str()),
                                   BackupText(result)));
    return true;
}
