#include "platform/window.h"

#include <QCoreApplication>
#include <QEvent>

namespace platform {
namespace {

const QEvent::Type kPostedMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct PostedMessage : QEvent {
    PostedMessage(unsigned int m, WPARAM w, LPARAM l) : QEvent(kPostedMessageEvent), msg(m), wParam(w), lParam(l) {}
    unsigned int msg;
    WPARAM wParam;
    LPARAM lParam;
};

}  // namespace

Window::Window(QObject* parent) : QObject(parent), proc_(&Window::OwnProcedure) {}

Window::~Window() = default;

void Window::PostMessage(unsigned int msg, WPARAM wParam, LPARAM lParam) {
    QCoreApplication::postEvent(this, new PostedMessage(msg, wParam, lParam));
}

LRESULT Window::SendMessage(unsigned int msg, WPARAM wParam, LPARAM lParam) { return proc_(this, msg, wParam, lParam); }

WNDPROC Window::ReplaceProcedure(WNDPROC proc) {
    WNDPROC old = proc_;
    proc_ = proc ? proc : &Window::OwnProcedure;
    return old;
}

LRESULT Window::OwnProcedure(HWND hwnd, unsigned int msg, WPARAM wParam, LPARAM lParam) {
    if (!hwnd || !hwnd->own_) return 0;
    return hwnd->own_(msg, wParam, lParam);
}

bool Window::event(QEvent* e) {
    if (e->type() != kPostedMessageEvent) return QObject::event(e);
    auto* m = static_cast<PostedMessage*>(e);
    SendMessage(m->msg, m->wParam, m->lParam);
    return true;
}

WNDPROC SetWindowLongA(HWND hwnd, int index, WNDPROC proc) {
    if (!hwnd || index != GWL_WNDPROC) return nullptr;
    return hwnd->ReplaceProcedure(proc);
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, unsigned int msg, WPARAM wParam, LPARAM lParam) {
    if (!proc) return 0;
    return proc(hwnd, msg, wParam, lParam);
}

void DoEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

QString ProgramFolder() { return QCoreApplication::applicationDirPath(); }

}  // namespace platform
