#include "CCardSelView.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "UiHooks.h"

CCardSelView::CCardSelView(ICardSelection& model, QWidget* parent) : QDialog(parent), m_model(model) {
    setWindowTitle(QString::fromStdString(model.Title()));

    m_list = new QTreeWidget(this);
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setAllColumnsShowFocus(true);
    m_list->setStyleSheet(QStringLiteral("QTreeWidget::item { border-bottom: 1px solid palette(mid); "
                                         "border-right: 1px solid palette(mid); }"));
    const auto columns = model.Columns();
    const auto widths = model.ColumnWidths();
    QStringList headers;
    for (const auto& c : columns) headers << QString::fromStdString(c);
    m_list->setHeaderLabels(headers);
    m_list->header()->setStretchLastSection(false);
    for (int c = 0; c < static_cast<int>(widths.size()) && c < static_cast<int>(columns.size()); ++c)
        m_list->setColumnWidth(c, widths[static_cast<std::size_t>(c)]);
    if (!columns.empty()) m_list->headerItem()->setTextAlignment(0, Qt::AlignCenter);
    for (int r = 0; r < model.RowCount(); ++r) {
        auto* item = new QTreeWidgetItem(m_list);
        const auto cells = model.Row(r);
        for (int c = 0; c < static_cast<int>(cells.size()); ++c)
            item->setText(c, QString::fromStdString(cells[static_cast<std::size_t>(c)]));
        item->setTextAlignment(0, Qt::AlignCenter);
    }

    m_modeGroup = new QGroupBox(QStringLiteral("Operation Mode"), this);
    m_initialize = new QRadioButton(QStringLiteral("Initialize"), m_modeGroup);
    m_modify = new QRadioButton(QStringLiteral("Modify"), m_modeGroup);
    auto* modes = new QButtonGroup(this);
    modes->addButton(m_initialize, 0);
    modes->addButton(m_modify, 1);
    (model.InitialMode() == 1 ? m_modify : m_initialize)->setChecked(true);
    m_note = new QLabel(QString::fromStdString(model.ModeNote()), m_modeGroup);
    m_note->setWordWrap(true);
    auto* modeLayout = new QVBoxLayout(m_modeGroup);
    modeLayout->addWidget(m_initialize);
    modeLayout->addWidget(m_modify);
    modeLayout->addWidget(m_note);
    // Hidden controls take no room, so the rest moves up.
    m_modeGroup->setVisible(model.ShowsModeControls());

    auto* buttons = new QDialogButtonBox(this);
    m_ok = buttons->addButton(QDialogButtonBox::Ok);
    m_cancel = buttons->addButton(QDialogButtonBox::Cancel);
    m_ok->setDefault(true);
    connect(m_ok, &QPushButton::clicked, this, &CCardSelView::OnOk);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addWidget(m_modeGroup);
    layout->addWidget(buttons);
    resize(320, model.ShowsModeControls() ? 360 : 260);
}

int CCardSelView::exec() {
    if (m_model.RowCount() <= 0) {
        setResult(QDialog::Rejected);
        return QDialog::Rejected;
    }
    return QDialog::exec();
}

void CCardSelView::OnOk() {
    auto* item = m_list->currentItem();
    const int row = (item && item->isSelected()) ? m_list->indexOfTopLevelItem(item) : -1;
    const int mode = m_model.ShowsModeControls() ? (m_modify->isChecked() ? 1 : 0) : m_model.InitialMode();
    const auto refusal = m_model.Accept(row, mode);
    if (!refusal.empty()) {
        ui::ShowMessage(this, QString::fromStdString(refusal));
        return;
    }
    accept();
}
