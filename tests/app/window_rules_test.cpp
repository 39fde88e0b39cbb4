// Geometry rules of the main window as pure functions.
#include <gtest/gtest.h>

#include "app/WindowRules.h"
#include "widgets/CSplitterControl.h"

using namespace brevane;

TEST(SizingRule, BottomLeftCornerDraggedInwardKeepsTopRight) {
    const QRect start(100, 50, 800, 600);
    // Drag the bottom-left corner 300 px right and 250 px up: 500 x 350.
    const QRect proposed(400, 50, 500, 350);
    const QRect fixed = CorrectSizingRect(proposed, Qt::LeftEdge | Qt::BottomEdge);
    EXPECT_EQ(fixed.size(), QSize(690, 500));
    EXPECT_EQ(fixed.x() + fixed.width(), start.x() + start.width());  // right edge kept
    EXPECT_EQ(fixed.y(), start.y());                                  // top kept
    EXPECT_EQ(fixed.topRight(), start.topRight());
}

TEST(SizingRule, TopRightCornerMovesTopAndRight) {
    const QRect proposed(100, 400, 300, 200);  // bottom at 600, left at 100
    const QRect fixed = CorrectSizingRect(proposed, Qt::TopEdge | Qt::RightEdge);
    EXPECT_EQ(fixed, QRect(100, 100, 690, 500));
}

TEST(SizingRule, LeftSideOnlyCorrectsWidthByLeftEdge) {
    const QRect proposed(500, 0, 400, 700);
    const QRect fixed = CorrectSizingRect(proposed, Qt::LeftEdge);
    EXPECT_EQ(fixed, QRect(210, 0, 690, 700));
}

TEST(SizingRule, NoEdgeInformationCorrectsRightAndBottom) {
    EXPECT_EQ(CorrectSizingRect(QRect(10, 20, 100, 100), {}), QRect(10, 20, 690, 500));
}

TEST(SizingRule, LargeEnoughRectUnchanged) {
    const QRect r(3, 4, 691, 800);
    EXPECT_EQ(CorrectSizingRect(r, Qt::LeftEdge | Qt::TopEdge), r);
}

TEST(SizingRule, DraggedEdgesFromTwoGeometries) {
    const QRect before(100, 100, 800, 600);
    EXPECT_EQ(DraggedEdges(before, QRect(300, 100, 600, 400)), Qt::LeftEdge | Qt::BottomEdge);
    EXPECT_EQ(DraggedEdges(before, QRect(100, 300, 500, 400)), Qt::TopEdge | Qt::RightEdge);
    EXPECT_EQ(DraggedEdges(before, QRect(150, 150, 800, 600)), Qt::Edges());  // a move
}

TEST(MainLayout, FixedPlacesFollowTheClientSize) {
    MainLayoutMetrics m;
    const auto L = ComputeMainLayout(QSize(700, 480), 0, 0, m);
    EXPECT_EQ(L.line, QRect(0, 0, 700, m.lineHeight));
    EXPECT_EQ(L.logo.x() + L.logo.width(), 700 - 5);
    EXPECT_EQ(L.progress.x(), 2);
    EXPECT_EQ(L.progress.width(), 700 - 4);
    EXPECT_EQ(L.progress.y() + L.progress.height(), 480 - 2);
    EXPECT_EQ(L.grid.y(), m.moduleTop);
    EXPECT_EQ(L.grid.x(), 2);
    EXPECT_EQ(L.log.width(), 700 - 4);
    // Panes are stacked without gaps and the log ends at the progress bar.
    EXPECT_EQ(L.splitter.y(), L.grid.y() + L.grid.height());
    EXPECT_EQ(L.log.y(), L.splitter.y() + L.splitter.height());
    EXPECT_EQ(L.log.y() + L.log.height(), L.progress.y());
}

TEST(MainLayout, GridHeightScalesWithThePanes) {
    MainLayoutMetrics m;
    // Old layout: panes from T=62 to 462 (O = 400), grid 150 high.
    const int T = m.moduleTop;
    const int oldLogBottom = T + 400;
    // New client height makes P - T = 600.
    const int H = T + 600 + m.progressHeight + m.progressBottomGap;
    const auto L = ComputeMainLayout(QSize(800, H), 150, oldLogBottom, m);
    EXPECT_EQ(L.grid.height(), 150 * 600 / 400);
    // Truncation, not rounding: 7 * 601 / 400 = 10.5175 -> 10.
    const auto L2 = ComputeMainLayout(QSize(800, H + 1), 7, oldLogBottom, m);
    EXPECT_EQ(L2.grid.height(), 10);
}

TEST(MainLayout, RepeatedLayoutAtSameSizeIsStable) {
    const auto first = ComputeMainLayout(QSize(690, 460), 0, 0);
    const auto again = ComputeMainLayout(QSize(690, 460), first.grid.height(), first.log.y() + first.log.height());
    EXPECT_EQ(again.grid, first.grid);
    EXPECT_EQ(again.log, first.log);
}

TEST(SplitterRange, PanesKeepThirtyPixels) {
    const auto r = CSplitterControl::DragRange(62, 400, 6);
    EXPECT_EQ(r.minTop, 92);
    EXPECT_EQ(r.maxTop, 400 - 30 - 6);
    EXPECT_EQ(CSplitterControl::Clamp(10, r), 92);
    EXPECT_EQ(CSplitterControl::Clamp(1000, r), 364);
    EXPECT_EQ(CSplitterControl::Clamp(200, r), 200);
    const auto tight = CSplitterControl::DragRange(62, 100, 6);
    EXPECT_EQ(tight.minTop, tight.maxTop);
}
