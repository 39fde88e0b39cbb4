#include "CSplitterControl.h"

#include <QMouseEvent>

#include <algorithm>

CSplitterControl::Range CSplitterControl::DragRange(int upperTop, int lowerBottom, int barHeight, int minPane) {
    Range r{upperTop + minPane, lowerBottom - minPane - barHeight};
    if (r.maxTop < r.minTop) r.maxTop = r.minTop;
    return r;
}

int CSplitterControl::Clamp(int top, const Range& range) { return std::clamp(top, range.minTop, range.maxTop); }

CSplitterControl::CSplitterControl(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Raised);
    setLineWidth(1);
    setCursor(Qt::SplitVCursor);
    setFixedHeight(kBarHeight);
}

void CSplitterControl::SetPaneLimits(int upperTop, int lowerBottom) {
    m_upperTop = upperTop;
    m_lowerBottom = lowerBottom;
}

int CSplitterControl::DragTo(int parentY) {
    const int top = Clamp(parentY, CurrentRange());
    if (top != y()) {
        move(x(), top);
        emit moved(top);
    }
    return top;
}

void CSplitterControl::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QFrame::mousePressEvent(event);
    m_dragging = true;
    m_grabOffset = event->position().toPoint().y();
    event->accept();
}

void CSplitterControl::mouseMoveEvent(QMouseEvent* event) {
    if (!m_dragging) return QFrame::mouseMoveEvent(event);
    DragTo(mapToParent(event->position().toPoint()).y() - m_grabOffset);
    event->accept();
}

void CSplitterControl::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_dragging) return QFrame::mouseReleaseEvent(event);
    m_dragging = false;
    DragTo(mapToParent(event->position().toPoint()).y() - m_grabOffset);
    event->accept();
}
