// A close request sent to the program's hidden X11 client-leader window closes
// the main window, as one sent to the main window does.
//
// Qt's xcb platform makes a 1x1 unmapped "client leader" window and names it
// after the application ("Kivo Systems Socket Test Program", the start of the
// window's caption). It is named before the main window is, so a tool that looks
// the program's window up by name can find it first and send its
// WM_DELETE_WINDOW there; Qt ignores a close request for a window that is not
// one of its own, and the program would run on. Active on X11 only.
#pragma once

#include <QAbstractNativeEventFilter>

#include <cstdint>

class QWidget;

namespace kivo {

class LeaderCloseFilter : public QAbstractNativeEventFilter {
public:
    // Filters the application's X11 events for `window`, which must outlive it.
    explicit LeaderCloseFilter(QWidget& window);
    ~LeaderCloseFilter() override;
    LeaderCloseFilter(const LeaderCloseFilter&) = delete;
    LeaderCloseFilter& operator=(const LeaderCloseFilter&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    [[nodiscard]] std::uint32_t Leader();

    QWidget& window_;
    std::uint32_t protocols_ = 0;
    std::uint32_t deleteWindow_ = 0;
    std::uint32_t clientLeader_ = 0;
    std::uint32_t leader_ = 0;  // read from the window once it exists
};

}  // namespace kivo
