#include "CWriteImageDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "UiHooks.h"
#include "families/Registry.h"
#include "framework/Registry.h"

CWriteImageDlg::CWriteImageDlg(const std::string& family, std::int32_t index, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Write Image"));
    m_family = new QComboBox(this);
    for (const auto& row : BuiltInFamilies().Rows()) m_family->addItem(QString::fromStdString(row.name));
    const int at = m_family->findText(QString::fromStdString(family));
    if (at >= 0) m_family->setCurrentIndex(at);

    m_index = new QSpinBox(this);
    m_index->setRange(0, 255);
    m_index->setValue(index);

    // Only the families that choose a target first (the chassis) have a card dialog.
    m_viaCard = new QCheckBox(QStringLiteral("Pick the card in the chassis's card dialog"), this);
    connect(m_family, &QComboBox::currentIndexChanged, this, &CWriteImageDlg::OnFamilyChanged);
    connect(m_viaCard, &QCheckBox::toggled, m_index, [this](bool on) { m_index->setEnabled(!on); });
    OnFamilyChanged();

    m_file = new QLineEdit(this);
    m_file->setMinimumWidth(260);
    auto* browse = new QPushButton(QStringLiteral("&Browse..."), this);
    connect(browse, &QPushButton::clicked, this, &CWriteImageDlg::OnBrowse);
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(m_file, 1);
    fileRow->addWidget(browse);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Family:"), m_family);
    form->addRow(QStringLiteral("Module index (0 = first):"), m_index);
    form->addRow(QString(), m_viaCard);
    form->addRow(QStringLiteral("Image file (256 bytes):"), fileRow);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CWriteImageDlg::OnOk);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

std::string CWriteImageDlg::Family() const { return m_family->currentText().toStdString(); }
std::int32_t CWriteImageDlg::ModuleIndex() const { return m_index->value(); }
QString CWriteImageDlg::File() const { return m_file->text().trimmed(); }
bool CWriteImageDlg::ViaCardSelection() const { return m_viaCard->isEnabled() && m_viaCard->isChecked(); }

void CWriteImageDlg::OnFamilyChanged() {
    const auto* row = BuiltInFamilies().Find(Family());
    const bool chassis = row && row->needsTarget == 1;
    m_viaCard->setEnabled(chassis);
    if (!chassis) m_viaCard->setChecked(false);
}

void CWriteImageDlg::OnBrowse() {
    const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Image File"), m_file->text(),
                                                      QStringLiteral("Image files (*.bin *.img);;All files (*)"));
    if (!file.isEmpty()) m_file->setText(file);
}

void CWriteImageDlg::OnOk() {
    if (File().isEmpty()) {
        ui::ShowMessage(this, QStringLiteral("Please choose an image file!"));
        return;
    }
    accept();
}
