#include "platform/async_select.h"

#include "platform/winsock.h"
#include "platform/wsa_errno.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <cerrno>
#include <memory>
#include <unordered_map>

namespace ws::detail {
namespace {

const QEvent::Type kSocketMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct SocketMessage : QEvent {
    SocketMessage(unsigned int m, platform::WPARAM w, platform::LPARAM l)
        : QEvent(kSocketMessageEvent), msg(m), wParam(w), lParam(l) {}
    unsigned int msg;
    platform::WPARAM wParam;
    platform::LPARAM lParam;
};

platform::LPARAM MakeLParam(long event, int error) {
    return static_cast<platform::LPARAM>((static_cast<unsigned long>(error & 0xFFFF) << 16) |
                                         (static_cast<unsigned long>(event) & 0xFFFF));
}

bool IsConnected(int fd) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

int PendingSocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

// Watches one registered socket. Readiness is reported once and then waits for
// the program to act (recv, or a refused send) before it is watched again, so a
// socket with unread data never keeps the event loop busy.
class Binding : public QObject {
public:
    Binding(int fd, platform::Window* window, unsigned int msg, long events)
        : fd_(fd), window_(window), msg_(msg), events_(events), readable_(fd, QSocketNotifier::Read),
          writable_(fd, QSocketNotifier::Write) {
        readable_.setEnabled(false);
        writable_.setEnabled(false);
        QObject::connect(&readable_, &QSocketNotifier::activated, this, [this] { OnReadable(); });
        QObject::connect(&writable_, &QSocketNotifier::activated, this, [this] { OnWritable(); });
        if (IsConnected(fd_)) {
            StartWatching(/*announceWrite=*/true);
        } else if (const int err = PendingSocketError(fd_); err != 0) {
            // Connected, then reset before it was registered: the close is still news.
            ReportClose(ErrnoToWsa(err));
        }
    }

    void AfterRecv(int wsaError) {
        if (wsaError != 0 && wsaError != WSAEWOULDBLOCK) pendingError_ = wsaError;
        if (!closed_ && connected_) readable_.setEnabled(true);
    }
    void AfterSendRefused() {
        if (!closed_ && connected_) writable_.setEnabled(true);
    }
    void AfterConnectStarted() {
        connecting_ = true;
        writable_.setEnabled(true);
    }

    [[nodiscard]] bool Delivering() const { return delivering_ > 0; }

    // Stops watching and delivering; the binding is about to be deleted.
    void Retire() {
        readable_.setEnabled(false);
        writable_.setEnabled(false);
        window_ = nullptr;
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() != kSocketMessageEvent) return QObject::event(e);
        auto* m = static_cast<SocketMessage*>(e);
        if (window_) {
            ++delivering_;
            window_->SendMessage(m->msg, m->wParam, m->lParam);
            --delivering_;
        }
        return true;
    }

private:
    void Post(long event, int error) {
        if (!(events_ & event)) return;
        QCoreApplication::postEvent(
            this, new SocketMessage(msg_, static_cast<platform::WPARAM>(fd_), MakeLParam(event, error)));
    }

    void StartWatching(bool announceWrite) {
        connected_ = true;
        readable_.setEnabled(true);
        if (announceWrite) Post(FD_WRITE, 0);
    }

    void ReportClose(int wsaError) {
        if (closed_) return;
        closed_ = true;
        readable_.setEnabled(false);
        writable_.setEnabled(false);
        Post(FD_CLOSE, wsaError);
    }

    void OnReadable() {
        readable_.setEnabled(false);
        if (pendingError_ != 0) return ReportClose(pendingError_);
        char probe;
        const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) return Post(FD_READ, 0);
        if (n == 0) return ReportClose(0);
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            readable_.setEnabled(true);
            return;
        }
        ReportClose(ErrnoToWsa(errno));
    }

    void OnWritable() {
        writable_.setEnabled(false);
        const int err = PendingSocketError(fd_);
        if (connecting_) {
            connecting_ = false;
            if (err != 0) return Post(FD_CONNECT, ErrnoToWsa(err));
            Post(FD_CONNECT, 0);
            StartWatching(/*announceWrite=*/true);
            return;
        }
        if (err != 0) return ReportClose(ErrnoToWsa(err));
        Post(FD_WRITE, 0);
    }

    int fd_;
    QPointer<platform::Window> window_;
    unsigned int msg_;
    long events_;
    QSocketNotifier readable_;
    QSocketNotifier writable_;
    bool connected_ = false;
    bool connecting_ = false;
    bool closed_ = false;
    int pendingError_ = 0;
    int delivering_ = 0;
};

std::unordered_map<int, Binding*>& Registry() {
    static std::unordered_map<int, Binding*> registry;
    return registry;
}

Binding* Find(int fd) {
    auto it = Registry().find(fd);
    return it == Registry().end() ? nullptr : it->second;
}

}  // namespace

bool RegisterAsync(int fd, platform::Window* window, unsigned int msg, long events) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    UnregisterAsync(fd);
    if (events == 0) return true;
    if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    Registry()[fd] = new Binding(fd, window, msg, events);
    return true;
}

void UnregisterAsync(int fd) {
    Binding* binding = Find(fd);
    if (!binding) return;
    Registry().erase(fd);
    // Messages of this socket that are still queued must not reach the window:
    // the descriptor number will soon belong to another socket.
    QCoreApplication::removePostedEvents(binding);
    binding->Retire();
    if (binding->Delivering())
        binding->deleteLater();
    else
        delete binding;
}

bool IsRegistered(int fd) { return Find(fd) != nullptr; }

void AfterRecv(int fd, int wsaError) {
    if (Binding* b = Find(fd)) b->AfterRecv(wsaError);
}
void AfterSendRefused(int fd) {
    if (Binding* b = Find(fd)) b->AfterSendRefused();
}
void AfterConnectStarted(int fd) {
    if (Binding* b = Find(fd)) b->AfterConnectStarted();
}

}  // namespace ws::detail
