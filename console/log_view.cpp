#include "console/log_view.h"

#include "console/log_model.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace kivo {
namespace {
constexpr int kMargin = 2;
}

LogView::LogView(LogModel* model, QWidget* parent) : QAbstractScrollArea(parent), model_(model) {
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    rowHeight_ = fontMetrics().height() + 1;
    auto grown = [this] {
        UpdateScrollBars();
        viewport()->update();
    };
    connect(model_, &QAbstractItemModel::rowsInserted, this, grown);
    connect(model_, &QAbstractItemModel::modelReset, this, [this, grown] {
        current_ = -1;
        widest_ = 0;
        grown();
    });
    UpdateScrollBars();
}

int LogView::Rows() const { return static_cast<int>(std::min<qsizetype>(model_->Count(), INT_MAX)); }

int LogView::RowsInSight() const { return std::max(1, viewport()->height() / rowHeight_); }

void LogView::UpdateScrollBars() {
    const int inSight = RowsInSight();
    verticalScrollBar()->setRange(0, std::max(0, Rows() - inSight));
    verticalScrollBar()->setPageStep(inSight);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setRange(0, std::max(0, widest_ + 2 * kMargin - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(fontMetrics().averageCharWidth() * 4);
}

void LogView::SetCurrentRow(int row) {
    current_ = row < 0 || row >= Rows() ? -1 : row;
    if (current_ >= 0) {
        QScrollBar* bar = verticalScrollBar();
        const int inSight = RowsInSight();
        if (current_ < bar->value())
            bar->setValue(current_);
        else if (current_ >= bar->value() + inSight)
            bar->setValue(current_ - inSight + 1);
    }
    viewport()->update();
}

bool LogView::IsRowVisible(int row) const {
    const int first = verticalScrollBar()->value();
    return row >= first && row < first + RowsInSight() && row < Rows();
}

void LogView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const int first = verticalScrollBar()->value();
    const int last = std::min(Rows(), first + RowsInSight() + 1);
    const int left = kMargin - horizontalScrollBar()->value();
    const QFontMetrics metrics = fontMetrics();
    int widest = widest_;
    for (int row = first; row < last; ++row) {
        const QRect rect(0, (row - first) * rowHeight_, viewport()->width(), rowHeight_);
        const QString text = model_->Line(row);
        if (row == current_) {
            painter.fillRect(rect, palette().brush(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            painter.setPen(palette().color(QPalette::Text));
        }
        painter.drawText(rect.adjusted(left, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
        widest = std::max(widest, metrics.horizontalAdvance(text));
    }
    if (widest != widest_) {
        // Widen the horizontal range once a wider row has come into sight.
        widest_ = widest;
        horizontalScrollBar()->setRange(0, std::max(0, widest_ + 2 * kMargin - viewport()->width()));
    }
}

void LogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void LogView::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    const int row = verticalScrollBar()->value() + static_cast<int>(event->position().y()) / rowHeight_;
    if (row < Rows()) SetCurrentRow(row);
}

void LogView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        if (current_ >= 0) QGuiApplication::clipboard()->setText(model_->Line(current_));
        return;
    }
    const int inSight = RowsInSight();
    int row = current_;
    switch (event->key()) {
    case Qt::Key_Up: row = std::max(0, current_ - 1); break;
    case Qt::Key_Down: row = current_ + 1; break;
    case Qt::Key_PageUp: row = std::max(0, current_ - inSight); break;
    case Qt::Key_PageDown: row = std::min(Rows() - 1, current_ + inSight); break;
    case Qt::Key_Home: row = 0; break;
    case Qt::Key_End: row = Rows() - 1; break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    if (row >= 0 && row < Rows()) SetCurrentRow(row);
}

void LogView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        rowHeight_ = fontMetrics().height() + 1;
        widest_ = 0;
        UpdateScrollBars();
        viewport()->update();
    }
}

}  // namespace kivo
