// The program's icon, a ticket printer, kept as one list of shapes on a 16 by 16
// grid. The window paints it; the build writes the same shapes out as the
// installed PNG icons and the scalable SVG (kivo-icon-render).
#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QRectF>
#include <QString>

#include <span>

class QPainter;

namespace kivo {

inline constexpr int kIconGrid = 16;

struct IconShape {
    enum class Kind { Rect, RoundedRect, Ellipse, Line };
    Kind kind;
    QRectF box;             // in grid units; a line runs from its top left to its bottom right
    QColor fill;            // invalid: not filled
    QColor stroke;          // invalid: no outline
    qreal strokeWidth = 0;  // grid units; painted at least one pixel wide
    qreal radius = 0;       // corners of a RoundedRect, grid units
};

// The shapes, back to front.
[[nodiscard]] std::span<const IconShape> IconShapes();

// Paints the shapes into a square of size pixels at the painter's origin.
void PaintIcon(QPainter& painter, int size);
[[nodiscard]] QImage IconImage(int size);
// The shapes as an SVG document with a 16 by 16 view box.
[[nodiscard]] QString IconSvg();

// The window's icon, in 16, 32 and 48 pixel sizes.
[[nodiscard]] QIcon AppIcon();

}  // namespace kivo
