// The log and the module grid on their own.
#include <QHeaderView>
#include <QTextBlock>
#include <QTextCursor>
#include <gtest/gtest.h>

#include "widgets/CDevShowGrid.h"
#include "widgets/CEditEx.h"

TEST(EditEx, FirstLineHasNoLeadingBreak) {
    CEditEx log;
    EXPECT_TRUE(log.IsEmpty());
    log.Log("Finding Tesk - 100 . . .", true);
    EXPECT_EQ(log.LogText(), "Finding Tesk - 100 . . .");
    EXPECT_FALSE(log.IsEmpty());
}

TEST(EditEx, NewLineAddsBreakSameLineAppendsUnchanged) {
    CEditEx log;
    log.Log("Finding X . . .", true);
    log.Log(" CANNOT FIND ACTIVE DEVICE!!!", false);
    log.Log("Finding Y . . .", true);
    EXPECT_EQ(log.LogText(), "Finding X . . . CANNOT FIND ACTIVE DEVICE!!!\r\nFinding Y . . .");
    EXPECT_EQ(log.document()->blockCount(), 2);
}

TEST(EditEx, SameLineOnEmptyLogStartsTheFirstLine) {
    CEditEx log;
    log.Log("abc", false);
    log.Log("def", false);
    EXPECT_EQ(log.LogText(), "abcdef");
}

TEST(EditEx, EmptyTextOnNewLineOfEmptyLogAddsNothing) {
    CEditEx log;
    log.Log("", true);
    log.Log("first", true);
    EXPECT_EQ(log.LogText(), "first");
}

TEST(EditEx, CaretMovesToEndAndTextIsReadOnlyAndColoured) {
    CEditEx log;
    log.Log("one", true);
    // A caret placed elsewhere by the user does not split the log.
    QTextCursor c(log.document());
    c.setPosition(1);
    log.setTextCursor(c);
    log.Log("two", false, Qt::red);
    EXPECT_EQ(log.LogText(), "onetwo");
    EXPECT_EQ(log.textCursor().position(), log.document()->characterCount() - 1);
    EXPECT_TRUE(log.isReadOnly());
    const QTextBlock block = log.document()->firstBlock();
    QTextCursor at(block);
    at.setPosition(block.position() + 4);  // inside "two"
    EXPECT_EQ(at.charFormat().foreground().color(), QColor(Qt::red));
    EXPECT_EQ(log.palette().color(QPalette::Base), QColor(Qt::white));
}

TEST(EditEx, EmbeddedLineBreaksStartLines) {
    CEditEx log;
    log.Log("a\r\nb", true);
    EXPECT_EQ(log.LogText(), "a\r\nb");
    EXPECT_EQ(log.document()->blockCount(), 2);
}

TEST(DevShowGrid, HeadingsRowsAndCells) {
    CDevShowGrid grid;
    grid.SetColumnCount(2);
    grid.SetHeadingText(0, "Module");
    grid.SetHeadingText(1, "S/N");
    grid.SetColumnWidth(0, 100);
    grid.SetColumnWidth(1, 130);
    EXPECT_EQ(grid.CornerText(), "No.");
    EXPECT_EQ(grid.HeadingText(1), "S/N");
    EXPECT_EQ(grid.columnWidth(0), 100);
    EXPECT_EQ(grid.columnWidth(1), 130);

    EXPECT_EQ(grid.AppendRow(), 0);
    EXPECT_EQ(grid.AppendRow(), 1);
    EXPECT_EQ(grid.AppendRow(), 2);
    EXPECT_EQ(grid.RowCount(), 3);
    EXPECT_EQ(grid.verticalHeaderItem(0)->text(), "1");
    EXPECT_EQ(grid.verticalHeaderItem(2)->text(), "3");

    grid.SetCellText(2, 1, "SN-3");
    EXPECT_EQ(grid.CellText(2, 1), "SN-3");
    // Out of range writes are ignored rather than growing the grid.
    grid.SetCellText(5, 0, "x");
    grid.SetCellText(0, 7, "x");
    EXPECT_EQ(grid.RowCount(), 3);
    EXPECT_EQ(grid.ColumnCount(), 2);

    EXPECT_TRUE(grid.DeleteLastRow());
    EXPECT_EQ(grid.RowCount(), 2);
    EXPECT_EQ(grid.CellText(1, 1), "");
    EXPECT_TRUE(grid.DeleteLastRow());
    EXPECT_TRUE(grid.DeleteLastRow());
    EXPECT_FALSE(grid.DeleteLastRow());
    // Numbering restarts correctly after rows were deleted.
    grid.AppendRow();
    EXPECT_EQ(grid.verticalHeaderItem(0)->text(), "1");
}

TEST(DevShowGrid, CellsAreNotEditable) {
    CDevShowGrid grid;
    grid.SetColumnCount(1);
    grid.AppendRow();
    grid.SetCellText(0, 0, "x");
    EXPECT_FALSE(grid.item(0, 0)->flags() & Qt::ItemIsEditable);
}
