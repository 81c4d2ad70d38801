#include "console/log_view.h"

#include "console/log_model.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <climits>

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
    scrollBarsTimer_.setSingleShot(true);
    scrollBarsTimer_.setInterval(0);
    connect(&scrollBarsTimer_, &QTimer::timeout, this, &LogView::UpdateScrollBars);
    connect(model_, &QAbstractItemModel::rowsInserted, this, &LogView::ScheduleScrollBars);
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        current_ = -1;
        firstRow_ = 0;
        widest_ = 0;
        ScheduleScrollBars();
    });
    UpdateScrollBars();
}

void LogView::ScheduleScrollBars() {
    if (!scrollBarsTimer_.isActive()) scrollBarsTimer_.start();
    viewport()->update();
}

int LogView::Rows() const { return static_cast<int>(std::min<qsizetype>(model_->Count(), INT_MAX)); }

int LogView::RowsInSight() const { return std::max(1, viewport()->height() / rowHeight_); }

void LogView::UpdateScrollBars() {
    scrollBarsTimer_.stop();
    const int inSight = RowsInSight();
    const QSignalBlocker block(verticalScrollBar());
    verticalScrollBar()->setRange(0, std::max(0, Rows() - inSight));
    verticalScrollBar()->setPageStep(inSight);
    verticalScrollBar()->setSingleStep(1);
    firstRow_ = std::clamp(firstRow_, 0, verticalScrollBar()->maximum());
    verticalScrollBar()->setValue(firstRow_);
    horizontalScrollBar()->setRange(0, std::max(0, widest_ + 2 * kMargin - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(fontMetrics().averageCharWidth() * 4);
}

void LogView::SetCurrentRow(int row) {
    current_ = row < 0 || row >= Rows() ? -1 : row;
    if (current_ >= 0) {
        const int inSight = RowsInSight();
        if (current_ < firstRow_)
            firstRow_ = current_;
        else if (current_ >= firstRow_ + inSight)
            firstRow_ = current_ - inSight + 1;
    }
    ScheduleScrollBars();
}

bool LogView::IsRowVisible(int row) const {
    return row >= firstRow_ && row < firstRow_ + RowsInSight() && row < Rows();
}

void LogView::scrollContentsBy(int, int) {
    firstRow_ = verticalScrollBar()->value();
    viewport()->update();
}

void LogView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const int first = std::clamp(firstRow_, 0, std::max(0, Rows() - 1));
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
    const int row = firstRow_ + static_cast<int>(event->position().y()) / rowHeight_;
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
        ScheduleScrollBars();
    }
}

}  // namespace kivo
