#include "CLogoWidget.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

CLogoWidget::CLogoWidget(QWidget* parent) : QWidget(parent) { setFixedSize(sizeHint()); }

void CLogoWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect().adjusted(1, 1, -1, -1);

    // A blue badge with a white signal trace running through it.
    const QRectF badge(r.left(), r.top(), r.height(), r.height());
    QLinearGradient grad(badge.topLeft(), badge.bottomRight());
    grad.setColorAt(0, QColor(0x1f, 0x5f, 0xbf));
    grad.setColorAt(1, QColor(0x0b, 0x2f, 0x6f));
    p.setPen(Qt::NoPen);
    p.setBrush(grad);
    p.drawRoundedRect(badge, 6, 6);

    QPainterPath trace;
    const double midY = badge.center().y();
    const double step = badge.width() / 6.0;
    trace.moveTo(badge.left() + 3, midY);
    trace.lineTo(badge.left() + step * 1.5, midY);
    trace.lineTo(badge.left() + step * 2.2, badge.top() + 7);
    trace.lineTo(badge.left() + step * 3.2, badge.bottom() - 7);
    trace.lineTo(badge.left() + step * 4.0, midY);
    trace.lineTo(badge.right() - 3, midY);
    p.setPen(QPen(Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(trace);

    // The maker's name beside the badge.
    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(static_cast<int>(r.height() * 0.42));
    p.setFont(font);
    p.setPen(QColor(0x0b, 0x2f, 0x6f));
    const QRectF textRect(badge.right() + 6, r.top(), r.right() - badge.right() - 6, r.height());
    p.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("QUENLOR"));
}
