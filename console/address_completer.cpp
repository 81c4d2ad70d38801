#include "console/address_completer.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>

namespace kivo {
namespace {

// Qt drops the release of a click that closed a popup: this hands the next
// release to the control the press went on to, then goes. A release that
// reaches the control anyway finds it no longer pressed and does nothing more.
class ReleaseForwarder : public QObject {
public:
    ReleaseForwarder(QWidget* target, QObject* parent) : QObject(parent), target_(target) {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::MouseButtonRelease || !event->spontaneous()) return false;
        const auto* release = static_cast<QMouseEvent*>(event);
        if (target_) {
            QMouseEvent again(QEvent::MouseButtonRelease, target_->mapFromGlobal(release->globalPosition()),
                              release->globalPosition(), release->button(), release->buttons(), release->modifiers());
            QApplication::sendEvent(target_, &again);
        }
        qApp->removeEventFilter(this);
        deleteLater();
        return false;
    }

private:
    QPointer<QWidget> target_;
};

}  // namespace

AddressCompleter::AddressCompleter(QAbstractItemModel* model, QObject* parent) : QCompleter(model, parent) {
    setCaseSensitivity(Qt::CaseInsensitive);
}

bool AddressCompleter::eventFilter(QObject* watched, QEvent* event) {
    // The list is the one item view the completer watches; popup() would make
    // one while the box is being destroyed.
    auto* list = qobject_cast<QAbstractItemView*>(watched);
    if (!list) return QCompleter::eventFilter(watched, event);
    if (event->type() == QEvent::Show || event->type() == QEvent::KeyPress) {
        // Typed in full: nothing to choose, and nothing in the way of Connect.
        // Checked once the key has changed the text and the suggestions.
        QMetaObject::invokeMethod(
            this,
            [this, list = QPointer<QAbstractItemView>(list)] {
                const auto* box = qobject_cast<const QLineEdit*>(widget());
                if (list && list->isVisible() && box && completionCount() == 1 && currentCompletion() == box->text())
                    list->hide();
            },
            Qt::QueuedConnection);
    } else if (event->type() == QEvent::MouseButtonPress) {
        // The list takes every click while it is open, and QCompleter would
        // only close it: a click outside it goes on to the control it was meant for.
        const auto* press = static_cast<QMouseEvent*>(event);
        const QPoint at = press->globalPosition().toPoint();
        if (!list->rect().contains(list->mapFromGlobal(at))) {
            list->hide();
            QWidget* target = QApplication::widgetAt(at);
            if (target && target->isEnabled() && target->window() != list->window()) {
                QMouseEvent again(QEvent::MouseButtonPress, target->mapFromGlobal(press->globalPosition()),
                                  press->globalPosition(), press->button(), press->buttons(), press->modifiers());
                QApplication::sendEvent(target, &again);
                new ReleaseForwarder(target, this);
            }
            return true;
        }
    }
    return QCompleter::eventFilter(watched, event);
}

}  // namespace kivo
