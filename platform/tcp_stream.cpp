#include "platform/tcp_stream.h"

#include "platform/socket_errors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace platform {
namespace {

int Failed(int& error) {
    error = ws::ErrnoToWsa(errno);
    return -1;
}

}  // namespace

int OpenStreamSocket(int& error) {
    const int fd = ::socket(PF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return Failed(error);
    return fd;
}

int SetLinger(int fd, bool on, int seconds, int& error) {
    const ::linger value{on ? 1 : 0, std::max(seconds, 0)};
    if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) return Failed(error);
    ::linger back{};
    socklen_t length = sizeof back;
    if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &back, &length) != 0) return Failed(error);
    return 0;
}

int StartConnect(int fd, std::uint32_t address, std::uint16_t port) {
    ::sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    return ws::ErrnoToWsa(errno);  // EINPROGRESS reads as WSAEWOULDBLOCK
}

int PendingError(int fd) {
    int err = 0;
    socklen_t length = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
    return ws::ErrnoToWsa(err);
}

qint64 SendBytes(int fd, const char* data, qint64 size, int& error) {
    const ssize_t n = ::send(fd, data, static_cast<size_t>(std::max<qint64>(size, 0)), MSG_NOSIGNAL);
    if (n < 0) return Failed(error);
    return n;
}

qint64 SendFromFile(int fd, int file, qint64 offset, qint64 size, int& error) {
    // sendfile has no MSG_NOSIGNAL: a printer that is gone would raise SIGPIPE,
    // even in a call that returns the bytes it sent before it met the reset.
    // The signal is held back for the call, and the one it raised is taken.
    sigset_t pipe{};
    sigset_t previous{};
    sigset_t pending{};
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    // One that the caller already held back is left for the caller.
    bool pendingBefore = false;
    if (::sigismember(&previous, SIGPIPE) == 1) {
        ::sigpending(&pending);
        pendingBefore = ::sigismember(&pending, SIGPIPE) == 1;
    }
    off_t at = static_cast<off_t>(offset);
    const ssize_t n = ::sendfile(fd, file, &at, static_cast<size_t>(std::max<qint64>(size, 0)));
    const int sendError = errno;
    if (!pendingBefore) {
        const timespec now{};
        while (::sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (n >= 0) return n;
    switch (sendError) {
    // The file's side: it cannot be read, or not by the system on our behalf.
    case EIO:
    case EINVAL:
    case ENOSYS:
    case EOVERFLOW:
    case ESPIPE:
    case EBADF: return kFileNotSendable;
    default: break;
    }
    error = ws::ErrnoToWsa(sendError);
    return -1;
}

qint64 ReceiveBytes(int fd, char* buffer, qint64 size, int& error) {
    const ssize_t n = ::recv(fd, buffer, static_cast<size_t>(std::max<qint64>(size, 0)), 0);
    if (n < 0) return Failed(error);
    return n;
}

int SendQueueBytes(int fd) {
    int count = 0;
    if (::ioctl(fd, SIOCOUTQ, &count) != 0) return -1;
    return count;
}

void CloseSocket(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace platform
