#include "console/connect_wait.h"

#include "link/winsock_module.h"
#include "platform/winsock.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

namespace kivo {
namespace {

bool IsInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::NativeGesture:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: return true;
    default: return false;
    }
}

}  // namespace

ConnectWait::ConnectWait(QWidget& window, QWidget& connectButton) : window_(window), connectButton_(connectButton) {
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    QCoreApplication::instance()->installEventFilter(this);
    // Every event is handled during the wait, input included, so that the filter
    // sees it now: input held back would be replayed into whatever the window
    // has become by then.
    previousHook_ = ws::WSASetBlockingHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
}

ConnectWait::~ConnectWait() {
    // Input that came in after the last turn of the wait goes the same way.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    ws::WSASetBlockingHook(std::move(previousHook_));
    QCoreApplication::instance()->removeEventFilter(this);
    QGuiApplication::restoreOverrideCursor();
}

void ConnectWait::Cancel() {
    if (!ws::WSAIsBlocking()) return;
    cancelled_ = true;
    ws::WSACancelBlockingCall();
}

bool ConnectWait::OnConnectButton(QObject* watched, QEvent* event) const {
    if (watched == &connectButton_) return true;
    // Input reaches the window system's window first, in its coordinates.
    if (watched != window_.windowHandle()) return false;
    const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
    return window_.childAt(at) == &connectButton_;
}

bool ConnectWait::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::Close && (watched == &window_ || watched == window_.windowHandle())) {
        // The window ends the attempt and closes once it has unwound.
        if (ws::WSAIsBlocking()) cancelled_ = true;
        return false;
    }
    if (!IsInput(type) || !(watched->isWidgetType() || watched->isWindowType())) return false;
    if (type == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) Cancel();
    if ((type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && OnConnectButton(watched, event))
        Cancel();
    // Taken, so that no shortcut acts on the key either.
    if (type == QEvent::ShortcutOverride) event->accept();
    return true;
}

}  // namespace kivo
