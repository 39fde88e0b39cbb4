#include "CConnDevDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "UiHooks.h"
#include "framework/ConnDev.h"

CConnDevDlg::CConnDevDlg(const std::vector<std::string>& suggestions, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Device IP"));

    auto* label = new QLabel(QStringLiteral("Device IP:"), this);
    m_box = new QComboBox(this);
    m_box->setEditable(true);
    m_box->setInsertPolicy(QComboBox::InsertAlphabetically);
    m_box->setMinimumWidth(200);
    for (const auto& s : conndev::SortedSuggestions(suggestions)) m_box->addItem(QString::fromStdString(s));
    if (m_box->count() > 0) m_box->setCurrentIndex(0);
    label->setBuddy(m_box);

    auto* buttons = new QDialogButtonBox(this);
    m_ok = buttons->addButton(QDialogButtonBox::Ok);
    m_cancel = buttons->addButton(QDialogButtonBox::Cancel);
    m_ok->setDefault(true);
    connect(m_ok, &QPushButton::clicked, this, &CConnDevDlg::OnOk);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(m_box, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
}

void CConnDevDlg::OnOk() {
    const conndev::Result r = conndev::Clean(m_box->currentText().toStdString());
    switch (r.verdict) {
    case conndev::Verdict::Empty:
        ui::ShowMessage(this, QString::fromUtf8(conndev::kEmptyMessage), ui::AppTitle());
        m_box->setFocus();
        return;
    case conndev::Verdict::Invalid:
        ui::ShowMessage(this, QString::fromUtf8(conndev::kInvalidMessage), QString::fromUtf8(conndev::kInvalidCaption));
        m_box->setFocus();
        return;
    case conndev::Verdict::Ok:
        m_address = r.address;
        accept();
        return;
    }
}
