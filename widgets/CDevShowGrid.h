#pragma once
#include <QString>
#include <QTableWidget>

class QAbstractButton;

// The module grid: a table with a numbered row heading ("1", "2", ...) and a
// corner cell titled "No.". Cells are read-only text.
class CDevShowGrid : public QTableWidget {
    Q_OBJECT
public:
    explicit CDevShowGrid(QWidget* parent = nullptr);

    void SetColumnCount(int count);
    int ColumnCount() const { return columnCount(); }
    void SetHeadingText(int column, const QString& text);
    QString HeadingText(int column) const;
    void SetCellText(int row, int column, const QString& text);
    QString CellText(int row, int column) const;
    void SetColumnWidth(int column, int width);
    // Appends an empty row and returns its index.
    int AppendRow();
    // Removes the last row; false when there is none.
    bool DeleteLastRow();
    int RowCount() const { return rowCount(); }
    void Redraw();

    void SetCornerText(const QString& text);
    QString CornerText() const { return m_cornerText; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void NumberRows(int from);

    QString m_cornerText;
    QAbstractButton* m_corner = nullptr;
};
