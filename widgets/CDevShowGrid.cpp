#include "CDevShowGrid.h"

#include <QAbstractButton>
#include <QEvent>
#include <QHeaderView>
#include <QPainter>
#include <QStyleOptionHeader>

CDevShowGrid::CDevShowGrid(QWidget* parent) : QTableWidget(parent) {
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setCornerButtonEnabled(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    verticalHeader()->setHighlightSections(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultAlignment(Qt::AlignCenter);
    verticalHeader()->setMinimumWidth(36);
    // The corner button of a table paints no text of its own; draw the title
    // over it like a header section.
    m_corner = findChild<QAbstractButton*>();
    if (m_corner) m_corner->installEventFilter(this);
    SetCornerText(QStringLiteral("No."));
}

void CDevShowGrid::SetColumnCount(int count) {
    const int old = columnCount();
    setColumnCount(count < 0 ? 0 : count);
    for (int c = old; c < columnCount(); ++c) setHorizontalHeaderItem(c, new QTableWidgetItem(QString()));
}

void CDevShowGrid::SetHeadingText(int column, const QString& text) {
    if (column < 0 || column >= columnCount()) return;
    setHorizontalHeaderItem(column, new QTableWidgetItem(text));
}

QString CDevShowGrid::HeadingText(int column) const {
    const QTableWidgetItem* it = horizontalHeaderItem(column);
    return it ? it->text() : QString();
}

void CDevShowGrid::SetCellText(int row, int column, const QString& text) {
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) return;
    QTableWidgetItem* it = item(row, column);
    if (!it) {
        it = new QTableWidgetItem;
        it->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        setItem(row, column, it);
    }
    it->setText(text);
}

QString CDevShowGrid::CellText(int row, int column) const {
    const QTableWidgetItem* it = item(row, column);
    return it ? it->text() : QString();
}

void CDevShowGrid::SetColumnWidth(int column, int width) { setColumnWidth(column, width); }

int CDevShowGrid::AppendRow() {
    const int row = rowCount();
    insertRow(row);
    NumberRows(row);
    return row;
}

bool CDevShowGrid::DeleteLastRow() {
    if (rowCount() == 0) return false;
    removeRow(rowCount() - 1);
    return true;
}

void CDevShowGrid::Redraw() { viewport()->update(); }

void CDevShowGrid::SetCornerText(const QString& text) {
    m_cornerText = text;
    if (m_corner) m_corner->update();
}

void CDevShowGrid::NumberRows(int from) {
    for (int r = from; r < rowCount(); ++r) setVerticalHeaderItem(r, new QTableWidgetItem(QString::number(r + 1)));
}

bool CDevShowGrid::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_corner && event->type() == QEvent::Paint) {
        QPainter painter(m_corner);
        QStyleOptionHeader opt;
        opt.initFrom(m_corner);
        // The corner only titles the row numbers; draw it as an enabled header.
        opt.state |= QStyle::State_Enabled;
        opt.palette.setCurrentColorGroup(QPalette::Active);
        opt.rect = m_corner->rect();
        opt.text = m_cornerText;
        opt.textAlignment = Qt::AlignCenter;
        opt.position = QStyleOptionHeader::OnlyOneSection;
        opt.orientation = Qt::Horizontal;
        style()->drawControl(QStyle::CE_Header, &opt, &painter, m_corner);
        return true;
    }
    return QTableWidget::eventFilter(watched, event);
}
