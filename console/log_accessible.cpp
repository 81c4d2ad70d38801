#include "console/log_accessible.h"

#include "console/log_model.h"
#include "console/log_view.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>
#include <QScrollBar>

#include <algorithm>
#include <climits>

namespace kivo {
namespace {

int LineCount(const LogView* view) {
    return view ? static_cast<int>(std::min<qsizetype>(view->Model().Count(), INT_MAX)) : 0;
}

// One line of the log. It holds no copy of the text: it reads the log when asked.
class LogLineAccessible : public QAccessibleInterface {
public:
    LogLineAccessible(LogView* view, int row) : view_(view), row_(row) {}

    [[nodiscard]] int Row() const { return row_; }

    bool isValid() const override { return view_ && row_ < LineCount(view_); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return view_ ? view_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return view_ ? QAccessible::queryAccessibleInterface(view_.data()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* focusChild() const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        return isValid() && t == QAccessible::Name ? view_->Model().Line(row_) : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!isValid()) return {};
        const QWidget* viewport = view_->viewport();
        const QRect row(0, (row_ - view_->FirstRow()) * view_->RowHeight(), viewport->width(), view_->RowHeight());
        return QRect(viewport->mapToGlobal(row.topLeft()), row.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override {
        QAccessible::State state;
        if (!isValid()) return state;
        state.selectable = true;
        state.multiSelectable = true;
        state.focusable = true;
        state.selected = view_->Selection().Contains(row_);
        state.focused = view_->hasFocus() && view_->CurrentRow() == row_;
        state.invisible = state.offscreen = !view_->IsRowVisible(row_);
        return state;
    }

private:
    QPointer<LogView> view_;
    int row_;
};

// The log as a list. Item interfaces are made for the lines asked about only,
// so a log of millions of lines costs nothing until a reader walks it.
class LogViewAccessible : public QAccessibleWidget {
public:
    explicit LogViewAccessible(LogView* view) : QAccessibleWidget(view, QAccessible::List) {}
    ~LogViewAccessible() override {
        for (const QAccessible::Id id : std::as_const(items_)) QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return LineCount(View()); }
    QAccessibleInterface* child(int index) const override {
        if (index < 0 || index >= childCount()) return nullptr;
        if (const auto it = items_.constFind(index); it != items_.constEnd())
            return QAccessible::accessibleInterface(it.value());
        auto* item = new LogLineAccessible(View(), index);
        items_.insert(index, QAccessible::registerAccessibleInterface(item));
        return item;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto* line = dynamic_cast<const LogLineAccessible*>(child);
        return line && line->parent() == this ? line->Row() : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QWidget* viewport = View()->viewport();
        const QPoint at = viewport->mapFromGlobal(QPoint(x, y));
        if (!viewport->rect().contains(at)) return nullptr;
        return child(View()->FirstRow() + at.y() / View()->RowHeight());
    }
    QAccessibleInterface* focusChild() const override {
        return View()->hasFocus() ? child(View()->CurrentRow()) : nullptr;
    }

private:
    [[nodiscard]] LogView* View() const { return static_cast<LogView*>(widget()); }

    mutable QHash<int, QAccessible::Id> items_;
};

QAccessibleInterface* LogViewFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("kivo::LogView") && object && object->isWidgetType())
        return new LogViewAccessible(static_cast<LogView*>(object));
    return nullptr;
}

}  // namespace

void InstallLogAccessibility() {
    static const bool installed = (QAccessible::installFactory(LogViewFactory), true);
    (void)installed;
}

}  // namespace kivo
