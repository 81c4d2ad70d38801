// The window toolkit as the program sees it: a window whose procedure can be
// replaced and to which messages can be posted, processing pending events and
// the program's folder. All of it stands on Qt Core alone.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <utility>

namespace platform {

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

inline constexpr unsigned int WM_USER = 0x0400;

class Window;
using HWND = Window*;
using WNDPROC = LRESULT (*)(HWND, unsigned int, WPARAM, LPARAM);

// A window's message handling, in front of which another procedure can be put.
// Messages posted to it are delivered, in order, on the window's thread by the
// event loop; each goes to the current window procedure. The window's own
// procedure hands the message to the handler the owner installs.
class Window : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<LRESULT(unsigned int msg, WPARAM wParam, LPARAM lParam)>;

    explicit Window(QObject* parent = nullptr);
    ~Window() override;

    // The window's own handling of messages that no procedure in front of it takes.
    void SetOwnHandler(Handler handler) { own_ = std::move(handler); }

    // Queues a message for the window; it is handled later on the event loop.
    void PostMessage(unsigned int msg, WPARAM wParam, LPARAM lParam);
    // Delivers a message now, through the current window procedure.
    LRESULT SendMessage(unsigned int msg, WPARAM wParam, LPARAM lParam);

    WNDPROC Procedure() const { return proc_; }
    WNDPROC ReplaceProcedure(WNDPROC proc);

    // One value the window keeps for whoever put a procedure in front of its own:
    // that procedure finds its state here rather than in a global.
    void* UserData() const { return userData_; }
    void* SetUserData(void* data) { return std::exchange(userData_, data); }

    // The window's own procedure: what the window does with a message by itself.
    static LRESULT OwnProcedure(HWND hwnd, unsigned int msg, WPARAM wParam, LPARAM lParam);

protected:
    bool event(QEvent* e) override;

private:
    Handler own_;
    WNDPROC proc_;
    void* userData_ = nullptr;
};

inline constexpr int GWL_WNDPROC = -4;

// Installs a window procedure and returns the one it replaces (GWL_WNDPROC only).
WNDPROC SetWindowLongA(HWND hwnd, int index, WNDPROC proc);
// Runs a given window procedure for a message and returns its result.
LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, unsigned int msg, WPARAM wParam, LPARAM lParam);

// Handles every pending event, then returns.
void DoEvents();

// The folder that holds the program's executable, without a trailing separator.
QString ProgramFolder();

}  // namespace platform
