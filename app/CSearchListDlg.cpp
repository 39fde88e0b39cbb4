#include "CSearchListDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include "families/Registry.h"
#include "framework/Registry.h"

std::vector<std::string> CSearchListDlg::OfferedNames() {
    std::vector<std::string> names;
    for (const auto& row : BuiltInFamilies().Rows()) names.push_back(row.name);
    for (const auto& model : FamilyRegistry::OrvelCatalogue()) names.push_back(model);
    return names;
}

CSearchListDlg::CSearchListDlg(const std::vector<std::string>& checked, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Search List"));
    m_list = new QListWidget(this);
    for (const auto& name : OfferedNames()) {
        auto* item = new QListWidgetItem(QString::fromStdString(name), m_list);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        const bool on = std::find(checked.begin(), checked.end(), name) != checked.end();
        item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }

    auto* all = new QPushButton(QStringLiteral("Select &All"), this);
    auto* none = new QPushButton(QStringLiteral("&Clear All"), this);
    connect(all, &QPushButton::clicked, this, [this] { SetAllChecked(true); });
    connect(none, &QPushButton::clicked, this, [this] { SetAllChecked(false); });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* row = new QHBoxLayout;
    row->addWidget(all);
    row->addWidget(none);
    row->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addLayout(row);
    layout->addWidget(buttons);
    resize(300, 480);
}

std::vector<std::string> CSearchListDlg::Checked() const {
    std::vector<std::string> out;
    for (int i = 0; i < m_list->count(); ++i)
        if (m_list->item(i)->checkState() == Qt::Checked) out.push_back(m_list->item(i)->text().toStdString());
    return out;
}

void CSearchListDlg::SetAllChecked(bool checked) {
    for (int i = 0; i < m_list->count(); ++i) m_list->item(i)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}
