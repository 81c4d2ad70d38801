#include "console/log_view.h"

#include "console/log_accessible.h"
#include "console/log_model.h"

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>

#include <algorithm>
#include <climits>

namespace kivo {
namespace {

constexpr int kStripe = 3;  // the severity stripe at the left edge, in pixels
constexpr int kMargin = kStripe + 3;

// Readable on white, and told apart from each other by more than their hue.
const QColor kFaultText(0xC0, 0x00, 0x00);
const QColor kWarningText(0x9A, 0x5B, 0x00);
const QColor kFaultStripe(0xE0, 0x1B, 0x1B);
const QColor kWarningStripe(0xF5, 0xA6, 0x00);

QString ChooseWithDialog(QWidget* parent, const QString& suggestedPath) {
    return QFileDialog::getSaveFileName(parent, QStringLiteral("Save Log As"), suggestedPath,
                                        QStringLiteral("Text files (*.txt);;All files (*)"));
}

}  // namespace

LogView::LogView(LogModel* model, QWidget* parent)
    : QAbstractScrollArea(parent), model_(model), chooser_(ChooseWithDialog) {
    InstallLogAccessibility();
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    rowHeight_ = fontMetrics().height() + 1;

    AddMenuAction(QStringLiteral("Copy"), QKeySequence::Copy, &LogView::Copy);
    AddMenuAction(QStringLiteral("Select All"), QKeySequence::SelectAll, &LogView::SelectAll);
    AddMenuAction(QStringLiteral("Save As..."), QKeySequence::SaveAs, &LogView::SaveAs);
    AddMenuAction(QStringLiteral("Clear This Log"), {}, &LogView::ClearLog);
    showTimesAction_ = new QAction(QStringLiteral("Show Times"), this);
    showTimesAction_->setCheckable(true);
    addAction(showTimesAction_);
    connect(showTimesAction_, &QAction::toggled, this, [this](bool show) {
        SetShowTimes(show);
        emit showTimesToggled(show);
    });

    scrollBarsTimer_.setSingleShot(true);
    scrollBarsTimer_.setInterval(0);
    connect(&scrollBarsTimer_, &QTimer::timeout, this, &LogView::UpdateScrollBars);
    // Dragging, paging or the wheel away from the newest line stops the view
    // from following it; back at the bottom it follows again.
    connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, [this] {
        const QScrollBar* bar = verticalScrollBar();
        following_ = bar->sliderPosition() >= bar->maximum() && (selection_.IsEmpty() || selection_.IsOnly(Rows() - 1));
    });
    connect(model_, &QAbstractItemModel::rowsInserted, this, &LogView::ScheduleScrollBars);
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        selection_.Clear();
        current_ = anchor_ = -1;
        firstRow_ = 0;
        widest_ = 0;
        following_ = true;
        ScheduleScrollBars();
    });
    UpdateScrollBars();
}

QAction* LogView::AddMenuAction(const QString& text, const QKeySequence& keys, void (LogView::*slot)()) {
    auto* action = new QAction(text, this);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WidgetShortcut);
    connect(action, &QAction::triggered, this, slot);
    addAction(action);
    return action;
}

void LogView::ScheduleScrollBars() {
    if (!scrollBarsTimer_.isActive()) scrollBarsTimer_.start();
    viewport()->update();
}

int LogView::Rows() const { return static_cast<int>(std::min<qsizetype>(model_->Count(), INT_MAX)); }

int LogView::RowsInSight() const { return std::max(1, viewport()->height() / rowHeight_); }

int LogView::RowAt(int y) const { return firstRow_ + (y >= 0 ? y / rowHeight_ : -1); }

int LogView::TimeColumnWidth() const {
    return fontMetrics().horizontalAdvance(QStringLiteral("00:00:00.000")) + 2 * fontMetrics().averageCharWidth();
}

void LogView::UpdateScrollBars() {
    scrollBarsTimer_.stop();
    // Showing or hiding a bar resizes the viewport, which asks for this again:
    // the outer call then goes round once more with the new size.
    if (updatingBars_) {
        barsChanged_ = true;
        return;
    }
    updatingBars_ = true;
    const int wanted = firstRow_;
    do {
        barsChanged_ = false;
        const int inSight = RowsInSight();
        QScrollBar* bar = verticalScrollBar();
        bar->setPageStep(inSight);
        bar->setSingleStep(1);
        bar->setRange(0, std::max(0, Rows() - inSight));
        firstRow_ = std::clamp(wanted, 0, bar->maximum());
        bar->setValue(firstRow_);
        const int wide = widest_ + (showTimes_ ? TimeColumnWidth() : 0) + 2 * kMargin;
        horizontalScrollBar()->setPageStep(viewport()->width());
        horizontalScrollBar()->setSingleStep(fontMetrics().averageCharWidth() * 4);
        horizontalScrollBar()->setRange(0, std::max(0, wide - viewport()->width()));
    } while (barsChanged_);
    updatingBars_ = false;
}

void LogView::ScrollTo(int row) {
    const int inSight = RowsInSight();
    if (row < firstRow_)
        firstRow_ = row;
    else if (row >= firstRow_ + inSight)
        firstRow_ = row - inSight + 1;
    ScheduleScrollBars();
}

void LogView::UpdateFollowing() {
    const int last = Rows() - 1;
    following_ = (selection_.IsEmpty() || selection_.IsOnly(last)) && (last < 0 || IsRowVisible(last));
}

void LogView::SetCurrentRow(int row) {
    if (row >= 0 && row < Rows()) {
        MoveTo(row, Qt::NoModifier);
    } else {
        selection_.Clear();
        current_ = anchor_ = -1;
        UpdateFollowing();
    }
    viewport()->update();
}

void LogView::FollowNewest() {
    // Called once a line for a flood of lines: the append has already asked
    // for a repaint and for the scroll bars, so this only moves the selection
    // and the top row.
    if (!following_ || Rows() == 0) return;
    const int last = Rows() - 1;
    if (!selection_.IsOnly(last)) selection_.SelectOnly(last);
    current_ = anchor_ = last;
    firstRow_ = std::clamp(firstRow_, last - RowsInSight() + 1, last);
    TellSelection();
}

void LogView::TellSelection() {
    if (!QAccessible::isActive() || current_ < 0) return;
    QAccessibleEvent event(this, QAccessible::Selection);
    event.setChild(current_);
    QAccessible::updateAccessibility(&event);
}

void LogView::MoveTo(int row, Qt::KeyboardModifiers modifiers) {
    if (Rows() == 0) return;
    row = std::clamp(row, 0, Rows() - 1);
    if ((modifiers & Qt::ShiftModifier) && anchor_ >= 0) {
        if (modifiers & Qt::ControlModifier)
            selection_.Add(anchor_, row);
        else
            selection_.SelectOnly(anchor_, row);
    } else if (modifiers & Qt::ControlModifier) {
        selection_.Toggle(row);
        anchor_ = row;
    } else {
        selection_.SelectOnly(row);
        anchor_ = row;
    }
    current_ = row;
    ScrollTo(row);
    UpdateFollowing();
    TellSelection();
}

bool LogView::IsRowVisible(int row) const {
    return row >= firstRow_ && row < firstRow_ + RowsInSight() && row < Rows();
}

void LogView::SelectAll() {
    if (Rows() == 0) return;
    selection_.SelectOnly(0, Rows() - 1);
    if (current_ < 0) current_ = anchor_ = Rows() - 1;
    UpdateFollowing();
    viewport()->update();
}

void LogView::Copy() {
    if (!selection_.IsEmpty()) QGuiApplication::clipboard()->setText(CopyText(*model_, selection_, showTimes_));
}

void LogView::SaveAs() {
    LogFileHeader header = header_ ? header_() : LogFileHeader{};
    if (!header.saved.isValid()) header.saved = QDateTime::currentDateTime();
    const QString stem = header.logName.section(QLatin1Char(' '), 0, 0).toLower();
    const QString suggested = QDir::home().filePath(QStringLiteral("kivo-%1-log-%2.txt")
                                                        .arg(stem.isEmpty() ? QStringLiteral("message") : stem,
                                                             header.saved.toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    const QString path = chooser_(this, suggested);
    if (path.isEmpty()) return;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const QString error = SaveLog(*model_, path, header);
    QGuiApplication::restoreOverrideCursor();
    if (!error.isEmpty()) emit saveFailed(QStringLiteral("Cannot save the log to %1: %2").arg(path, error));
}

void LogView::ClearLog() { model_->Clear(); }

void LogView::SetShowTimes(bool show) {
    if (show == showTimes_) return;
    showTimes_ = show;
    const QSignalBlocker quiet(showTimesAction_);
    showTimesAction_->setChecked(show);
    ScheduleScrollBars();
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
    const int timeWidth = showTimes_ ? TimeColumnWidth() : 0;
    const QFontMetrics metrics = fontMetrics();
    const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
    TimeText times;
    int widest = widest_;
    for (int row = first; row < last; ++row) {
        const QRect rect(0, (row - first) * rowHeight_, viewport()->width(), rowHeight_);
        const QString text = model_->Line(row);
        const bool selected = selection_.Contains(row);
        const Severity severity = model_->LineSeverity(row);
        QColor color = palette().color(QPalette::Text);
        if (selected) {
            painter.fillRect(rect, palette().brush(QPalette::Highlight));
            color = palette().color(QPalette::HighlightedText);
        } else if (severity != Severity::None) {
            color = severity == Severity::Fault ? kFaultText : kWarningText;
        }
        // The stripe stays on a selected line, so its severity still shows.
        if (severity != Severity::None)
            painter.fillRect(QRect(0, rect.top(), kStripe, rowHeight_),
                             severity == Severity::Fault ? kFaultStripe : kWarningStripe);
        if (showTimes_) {
            painter.setPen(selected ? color : palette().color(QPalette::PlaceholderText));
            painter.drawText(rect.adjusted(left, 0, 0, 0), flags,
                             QString::fromLatin1(times.Clock(model_->LineTime(row))));
        }
        painter.setPen(color);
        painter.drawText(rect.adjusted(left + timeWidth, 0, 0, 0), flags, text);
        if (row == current_ && hasFocus()) {
            QPen dotted(color, 1, Qt::DotLine);
            painter.setPen(dotted);
            painter.drawRect(rect.adjusted(kStripe, 0, -1, -1));
        }
        widest = std::max(widest, metrics.horizontalAdvance(text));
    }
    if (widest != widest_) {
        // Widen the horizontal range once a wider row has come into sight.
        widest_ = widest;
        if (!scrollBarsTimer_.isActive()) scrollBarsTimer_.start();
    }
}

void LogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void LogView::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    // A right click only opens the context menu: the selection, and whether
    // the view follows the newest line, stay as they were.
    if (event->button() == Qt::RightButton) return;
    const int row = RowAt(static_cast<int>(event->position().y()));
    if (row < 0 || row >= Rows()) return;
    MoveTo(row, event->modifiers());
    viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    // Dragging with the left button selects from where the press was.
    if (!(event->buttons() & Qt::LeftButton) || anchor_ < 0) return;
    const int row = RowAt(static_cast<int>(event->position().y()));
    if (row == current_) return;
    MoveTo(row, event->modifiers() | Qt::ShiftModifier);
    viewport()->update();
}

void LogView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        Copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    const int inSight = RowsInSight();
    int row = 0;  // every key below sets it
    switch (event->key()) {
    case Qt::Key_Up: row = current_ - 1; break;
    case Qt::Key_Down: row = current_ + 1; break;
    case Qt::Key_PageUp: row = current_ - inSight; break;
    case Qt::Key_PageDown: row = current_ + inSight; break;
    case Qt::Key_Home: row = 0; break;
    case Qt::Key_End: row = Rows() - 1; break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    MoveTo(row, event->modifiers() & Qt::ShiftModifier);
    viewport()->update();
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    const QList<QAction*> items = actions();
    items[0]->setEnabled(!selection_.IsEmpty());  // Copy
    menu.addActions(items.first(2));
    menu.addSeparator();
    menu.addActions(items.sliced(2, 2));
    menu.addSeparator();
    menu.addAction(showTimesAction_);
    menu.exec(event->globalPos());
    items[0]->setEnabled(true);
}

bool LogView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const int row = RowAt(help->pos().y());
        if (row >= 0 && row < Rows()) {
            const QRect rect(0, (row - firstRow_) * rowHeight_, viewport()->width(), rowHeight_);
            QToolTip::showText(help->globalPos(), LineToolTip(*model_, row), viewport(), rect);
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
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
