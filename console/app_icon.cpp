#include "console/app_icon.h"

#include <QPainter>
#include <QPixmap>

namespace kivo {
namespace {

// A ticket printer: a dark blue body with a white ticket coming out of its slot,
// and a green lamp for the network link.
QPixmap DrawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, size >= 32);
    const qreal u = size / 16.0;
    // The ticket, standing out of the top of the printer.
    p.setPen(QPen(QColor(60, 60, 60), std::max<qreal>(1.0, u * 0.5)));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4 * u, 0.5 * u, 8 * u, 8 * u));
    p.setPen(QPen(QColor(20, 20, 120), std::max<qreal>(1.0, u * 0.6)));
    for (int line = 0; line < 3; ++line) p.drawLine(QPointF(5.5 * u, (2.5 + 2 * line) * u), QPointF(10.5 * u, (2.5 + 2 * line) * u));
    // The printer body.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 60, 160));
    p.drawRoundedRect(QRectF(0.5 * u, 6.5 * u, 15 * u, 9 * u), 1.5 * u, 1.5 * u);
    p.setBrush(QColor(192, 192, 255));
    p.drawRect(QRectF(3 * u, 8 * u, 10 * u, 1.2 * u));
    p.setBrush(QColor(40, 220, 60));
    p.drawEllipse(QRectF(11.5 * u, 12 * u, 2.2 * u, 2.2 * u));
    return pixmap;
}

}  // namespace

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) icon.addPixmap(DrawIcon(size));
    return icon;
}

}  // namespace kivo
