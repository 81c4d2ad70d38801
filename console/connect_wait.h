// The wait of the blocking connect and its name lookup, as the operator meets it:
// a busy cursor; Escape, a close request of the window and a click on the Connect
// button end the attempt at once; every other click and key press made meanwhile
// is dropped, never kept for afterwards. It lasts as long as the object.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QWidget;

namespace kivo {

class ConnectWait : public QObject {
public:
    // Takes the application's input for `window` and its connect button.
    ConnectWait(QWidget& window, QWidget& connectButton);
    ~ConnectWait() override;
    ConnectWait(const ConnectWait&) = delete;
    ConnectWait& operator=(const ConnectWait&) = delete;

    // Ends the attempt as the operator's choice: the blocking call fails with
    // WSAEINTR. Does nothing once the call has ended.
    void Cancel();
    [[nodiscard]] bool CancelledByOperator() const { return cancelled_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    [[nodiscard]] bool OnConnectButton(QObject* watched, QEvent* event) const;

    QWidget& window_;
    QWidget& connectButton_;
    std::function<void()> previousHook_;
    bool cancelled_ = false;
};

}  // namespace kivo
