#include "WindowRules.h"

#include <algorithm>
#include <cstdint>

namespace brevane {

QRect CorrectSizingRect(const QRect& proposed, Qt::Edges dragged, QSize minimum) {
    // Work with exclusive right/bottom coordinates to keep the arithmetic plain.
    int left = proposed.x();
    int top = proposed.y();
    int right = proposed.x() + proposed.width();
    int bottom = proposed.y() + proposed.height();

    if (right - left < minimum.width()) {
        if (dragged & Qt::LeftEdge)
            left = right - minimum.width();
        else
            right = left + minimum.width();
    }
    if (bottom - top < minimum.height()) {
        if (dragged & Qt::TopEdge)
            top = bottom - minimum.height();
        else
            bottom = top + minimum.height();
    }
    return QRect(left, top, right - left, bottom - top);
}

Qt::Edges DraggedEdges(const QRect& before, const QRect& after) {
    Qt::Edges edges;
    const int bRight = before.x() + before.width(), aRight = after.x() + after.width();
    const int bBottom = before.y() + before.height(), aBottom = after.y() + after.height();
    const bool leftMoved = before.x() != after.x(), rightMoved = bRight != aRight;
    const bool topMoved = before.y() != after.y(), bottomMoved = bBottom != aBottom;
    if (leftMoved && !rightMoved) edges |= Qt::LeftEdge;
    if (rightMoved && !leftMoved) edges |= Qt::RightEdge;
    if (topMoved && !bottomMoved) edges |= Qt::TopEdge;
    if (bottomMoved && !topMoved) edges |= Qt::BottomEdge;
    return edges;
}

MainLayout ComputeMainLayout(QSize client, int oldGridHeight, int oldLogBottom, const MainLayoutMetrics& m) {
    const int W = client.width();
    const int H = client.height();
    MainLayout out;
    out.line = QRect(0, 0, W, m.lineHeight);
    out.logo = QRect(W - m.logoInset - m.logoSize.width(), m.logoTop, m.logoSize.width(), m.logoSize.height());

    const int progressBottom = H - m.progressBottomGap;  // exclusive
    const int P = progressBottom - m.progressHeight;
    out.progress = QRect(m.margin, P, W - 2 * m.margin, m.progressHeight);

    const int T = m.moduleTop;
    const int A = std::max(0, P - T);
    const int O = oldLogBottom - T;
    int gridHeight;
    if (O > 0)
        gridHeight = static_cast<int>(static_cast<std::int64_t>(oldGridHeight) * A / O);
    else
        gridHeight = A * m.initialGridPercent / 100;
    gridHeight = std::clamp(gridHeight, 0, std::max(0, A - m.splitterHeight));

    const int paneWidth = W - 2 * m.margin;
    out.grid = QRect(m.margin, T, paneWidth, gridHeight);
    const int splitTop = T + gridHeight;
    out.splitter = QRect(m.margin, splitTop, paneWidth, m.splitterHeight);
    const int logTop = splitTop + m.splitterHeight;
    out.log = QRect(m.margin, logTop, paneWidth, std::max(0, P - logTop));
    return out;
}

}  // namespace brevane
