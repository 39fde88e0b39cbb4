#pragma once
#include <QFrame>

// The horizontal bar between the module grid and the log. Dragging it moves
// the boundary between the two panes; each pane keeps at least kMinPane pixels.
class CSplitterControl : public QFrame {
    Q_OBJECT
public:
    static constexpr int kMinPane = 30;
    static constexpr int kBarHeight = 6;

    struct Range {
        int minTop;
        int maxTop;
    };
    // Where the top of the bar may go when the upper pane starts at upperTop and
    // the lower pane ends at lowerBottom. When the space is too small for both
    // minimum panes the range collapses onto its lower limit.
    static Range DragRange(int upperTop, int lowerBottom, int barHeight = kBarHeight, int minPane = kMinPane);
    static int Clamp(int top, const Range& range);

    explicit CSplitterControl(QWidget* parent = nullptr);

    // The panes the bar lies between, in parent coordinates.
    void SetPaneLimits(int upperTop, int lowerBottom);
    Range CurrentRange() const { return DragRange(m_upperTop, m_lowerBottom, height()); }

    // Moves the bar as a drag to parent y would, clamped to the range; returns
    // the new top and emits moved() when it changed.
    int DragTo(int parentY);

signals:
    void moved(int newTop);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int m_upperTop = 0;
    int m_lowerBottom = 0;
    bool m_dragging = false;
    int m_grabOffset = 0;
};
