// Error codes: errno to the code the log shows, and the text a technician reads for a code.
#include "platform/socket_errors.h"

#include <cerrno>
#include <string_view>

namespace ws {
namespace {

std::string_view TextFor(int code) {
    switch (code) {
    case WSAEINTR: return "A blocking operation was interrupted.";
    case WSAEBADF: return "The file handle supplied is not valid.";
    case WSAEACCES: return "Permission denied: the system does not allow this socket operation.";
    case WSAEFAULT: return "A pointer argument to a socket call is not valid.";
    case WSAEINVAL: return "An invalid argument was supplied.";
    case WSAEMFILE: return "Too many open sockets.";
    case WSAEWOULDBLOCK: return "The operation would block: the socket cannot take it right now.";
    case WSAEALREADY: return "An operation is already in progress on this socket.";
    case WSAENOTSOCK: return "The socket is not open: the operation was attempted on something that is not a socket.";
    case WSAEMSGSIZE: return "The message is too long.";
    case WSAEAFNOSUPPORT: return "The address family is not supported.";
    case WSAEADDRINUSE: return "The address is already in use.";
    case WSAEADDRNOTAVAIL: return "The requested address is not valid in its context.";
    case WSAENETDOWN: return "The network is down.";
    case WSAENETUNREACH: return "The network cannot be reached.";
    case WSAENETRESET: return "The connection was broken by a network reset.";
    case WSAECONNABORTED: return "The connection was aborted on this computer.";
    case WSAECONNRESET: return "The connection was reset by the printer.";
    case WSAENOBUFS: return "No buffer space is available for the socket.";
    case WSAEISCONN: return "The socket is already connected.";
    case WSAENOTCONN: return "The socket is not connected.";
    case WSAESHUTDOWN: return "The socket has been shut down: no more data can be sent.";
    case WSAETIMEDOUT: return "The connection attempt timed out: the printer did not answer.";
    case WSAECONNREFUSED: return "The connection was refused: nothing is listening on that port.";
    case WSAEHOSTDOWN: return "The host is down.";
    case WSAEHOSTUNREACH: return "The host cannot be reached.";
    case WSAHOST_NOT_FOUND: return "No such host is known.";
    default: return {};
    }
}

}  // namespace

int ErrnoToWsa(int err) {
    switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;  // the peer is gone; we never shut down our side first
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
    }
}


QString ErrorText(int code) {
    const std::string_view text = TextFor(code);
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace ws
