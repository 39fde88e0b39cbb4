#pragma once
#include <QRect>
#include <QSize>
#include <Qt>

// Geometry rules of the main window, as pure functions of rectangles so that
// they can be checked without a window system.
namespace brevane {

inline constexpr QSize kMinimumWindowSize{690, 500};

// A window rectangle proposed while the user drags some of its edges,
// corrected so that it is never smaller than `minimum`: a width that is too
// small is fixed by moving the dragged edge, the left one when the left edge
// is dragged (left side or a left corner), else the right one; the height
// likewise with the top edge, else the bottom one. The opposite edges stay.
QRect CorrectSizingRect(const QRect& proposed, Qt::Edges dragged, QSize minimum = kMinimumWindowSize);

// Which edges moved between two geometries of a window; an edge that moved
// together with its opposite edge (a plain move) does not count.
Qt::Edges DraggedEdges(const QRect& before, const QRect& after);

// Fixed measures of the client area.
struct MainLayoutMetrics {
    int margin = 2;            // left/right margin of the panes and the progress bar
    int moduleTop = 62;        // top of the module grid (T), fixed
    int lineHeight = 2;        // the etched line at the very top
    int logoInset = 5;         // right edge of the logo, inside the client area
    int logoTop = 8;
    QSize logoSize{150, 44};
    int progressHeight = 18;
    int progressBottomGap = 2; // between the progress bar and the client bottom
    int splitterHeight = 6;
    int initialGridPercent = 45;  // share of the panes the grid gets first
};

struct MainLayout {
    QRect line;
    QRect logo;
    QRect grid;
    QRect splitter;
    QRect log;
    QRect progress;
};

// Places the children for a client area of `client` size. The panes lie
// between T and the progress bar top P; the grid keeps its share of them: its
// new height is oldGridHeight * (P - T) / (oldLogBottom - T), truncated. When
// there is no previous layout (oldLogBottom <= T) the grid gets
// initialGridPercent of the panes. oldLogBottom is exclusive (top + height).
MainLayout ComputeMainLayout(QSize client, int oldGridHeight, int oldLogBottom,
                             const MainLayoutMetrics& m = MainLayoutMetrics{});

}  // namespace brevane
