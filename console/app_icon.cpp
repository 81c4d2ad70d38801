#include "console/app_icon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <array>

namespace kivo {
namespace {

using Kind = IconShape::Kind;

// A ticket printer: a white ticket standing out of the slot of a dark blue body,
// and a green lamp for the network link.
const std::array<IconShape, 7> kShapes{{
    {Kind::Rect, QRectF(4, 0.5, 8, 8), Qt::white, QColor(60, 60, 60), 0.5},
    {Kind::Line, QRectF(QPointF(5.5, 2.5), QPointF(10.5, 2.5)), {}, QColor(20, 20, 120), 0.6},
    {Kind::Line, QRectF(QPointF(5.5, 4.5), QPointF(10.5, 4.5)), {}, QColor(20, 20, 120), 0.6},
    {Kind::Line, QRectF(QPointF(5.5, 6.5), QPointF(10.5, 6.5)), {}, QColor(20, 20, 120), 0.6},
    {Kind::RoundedRect, QRectF(0.5, 6.5, 15, 9), QColor(40, 60, 160), {}, 0, 1.5},
    {Kind::Rect, QRectF(3, 8, 10, 1.2), QColor(192, 192, 255), {}},
    {Kind::Ellipse, QRectF(11.5, 12, 2.2, 2.2), QColor(40, 220, 60), {}},
}};

QString Number(qreal value) { return QString::number(value, 'g', 6); }

}  // namespace

std::span<const IconShape> IconShapes() { return kShapes; }

void PaintIcon(QPainter& p, int size) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing, size >= 32);
    const qreal u = qreal(size) / kIconGrid;
    for (const IconShape& shape : IconShapes()) {
        // Qt's default pen: square caps and bevel joins, as the SVG says too.
        p.setPen(shape.stroke.isValid() ? QPen(shape.stroke, std::max<qreal>(1.0, shape.strokeWidth * u))
                                        : QPen(Qt::NoPen));
        p.setBrush(shape.fill.isValid() ? QBrush(shape.fill) : QBrush(Qt::NoBrush));
        const QRectF box(shape.box.x() * u, shape.box.y() * u, shape.box.width() * u, shape.box.height() * u);
        switch (shape.kind) {
        case Kind::Rect: p.drawRect(box); break;
        case Kind::RoundedRect: p.drawRoundedRect(box, shape.radius * u, shape.radius * u); break;
        case Kind::Ellipse: p.drawEllipse(box); break;
        case Kind::Line: p.drawLine(box.topLeft(), box.bottomRight()); break;
        }
    }
    p.restore();
}

QImage IconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    PaintIcon(p, size);
    return image;
}

QString IconSvg() {
    QString svg = QStringLiteral(
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" viewBox=\"0 0 %1 %1\">\n")
                      .arg(kIconGrid);
    for (const IconShape& shape : IconShapes()) {
        const QRectF& b = shape.box;
        QString element;
        switch (shape.kind) {
        case Kind::Rect:
        case Kind::RoundedRect:
            element = QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\"")
                          .arg(Number(b.x()), Number(b.y()), Number(b.width()), Number(b.height()));
            if (shape.kind == Kind::RoundedRect)
                element += QStringLiteral(" rx=\"%1\" ry=\"%1\"").arg(Number(shape.radius));
            break;
        case Kind::Ellipse:
            element =
                QStringLiteral("<ellipse cx=\"%1\" cy=\"%2\" rx=\"%3\" ry=\"%4\"")
                    .arg(Number(b.center().x()), Number(b.center().y()), Number(b.width() / 2), Number(b.height() / 2));
            break;
        case Kind::Line:
            element = QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\"")
                          .arg(Number(b.left()), Number(b.top()), Number(b.right()), Number(b.bottom()));
            break;
        }
        element +=
            QStringLiteral(" fill=\"%1\"").arg(shape.fill.isValid() ? shape.fill.name() : QStringLiteral("none"));
        if (shape.stroke.isValid())
            element += QStringLiteral(
                           " stroke=\"%1\" stroke-width=\"%2\" stroke-linecap=\"square\" "
                           "stroke-linejoin=\"bevel\"")
                           .arg(shape.stroke.name(), Number(shape.strokeWidth));
        svg += QStringLiteral("  ") + element + QStringLiteral("/>\n");
    }
    return svg + QStringLiteral("</svg>\n");
}

namespace {

// Draws the icon at the size asked for, when it is asked for: a window that
// never shows its icon (offscreen, or before the first paint) draws none.
class DrawnIconEngine : public QIconEngine {
public:
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        painter->save();
        painter->translate(rect.topLeft());
        const int size = std::min(rect.width(), rect.height());
        painter->drawImage(0, 0, IconImage(size));
        painter->restore();
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return side > 0 ? QPixmap::fromImage(IconImage(side)) : QPixmap();
    }
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return QSize(side, side);
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {{16, 16}, {32, 32}, {48, 48}}; }
    QIconEngine* clone() const override { return new DrawnIconEngine; }
    QString key() const override { return QStringLiteral("kivo-drawn"); }
};

}  // namespace

QIcon AppIcon() { return QIcon(new DrawnIconEngine); }

}  // namespace kivo
