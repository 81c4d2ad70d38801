#include "platform/window.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace platform {
namespace {

const QEvent::Type kPostedMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct PostedMessage : QEvent {
    PostedMessage(unsigned int m, WPARAM w, LPARAM l) : QEvent(kPostedMessageEvent), msg(m), wParam(w), lParam(l) {}
    unsigned int msg;
    WPARAM wParam;
    LPARAM lParam;
};

MessageBoxHook& MessageBoxOverride() {
    static MessageBoxHook hook;
    return hook;
}

CommonDialog::Hook& DialogOverride() {
    static CommonDialog::Hook hook;
    return hook;
}

}  // namespace

Window::Window(QObject* parent) : QObject(parent), proc_(&Window::OwnProcedure) {}

Window::~Window() = default;

void Window::PostMessage(unsigned int msg, WPARAM wParam, LPARAM lParam) {
    QCoreApplication::postEvent(this, new PostedMessage(msg, wParam, lParam));
}

LRESULT Window::SendMessage(unsigned int msg, WPARAM wParam, LPARAM lParam) {
    return proc_(this, msg, wParam, lParam);
}

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

void MessageBox(const QString& prompt, const QString& title) {
    if (MessageBoxOverride()) return MessageBoxOverride()(prompt, title);
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok);
    box.exec();
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
    std::swap(hook, MessageBoxOverride());
    return hook;
}

void DoEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

QString ProgramFolder() { return QCoreApplication::applicationDirPath(); }

QStringList FilterToNameFilters(const QString& filter) {
    QStringList out;
    const QStringList parts = filter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        // Qt reads the patterns from the last parentheses of a filter; a
        // description that already ends in its patterns is taken as it is.
        if (parts[i].endsWith(QStringLiteral("(%1)").arg(patterns)))
            out << parts[i];
        else
            out << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return out;
}

void CommonDialog::ShowOpen(QWidget* parent) {
    if (DialogOverride()) {
        FileName = DialogOverride()(*this);
        return;
    }
    QFileDialog dialog(parent, DialogTitle.isEmpty() ? QStringLiteral("Open") : DialogTitle, InitDir);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(FilterToNameFilters(Filter));
    QString suffix = DefaultExt;
    suffix.remove(QLatin1String("*."));
    suffix.remove(QLatin1Char('.'));
    dialog.setDefaultSuffix(suffix);
    if (!FileName.isEmpty()) dialog.selectFile(FileName);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        FileName = QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath();
    // A cancel leaves FileName as it was: the caller cleared it beforehand.
}

CommonDialog::Hook CommonDialog::SetHook(Hook hook) {
    std::swap(hook, DialogOverride());
    return hook;
}

}  // namespace platform
