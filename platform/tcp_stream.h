// The system calls of one TCP stream to a printer: a non-blocking socket with
// an abortive close, its connect, sends from memory or straight from a file,
// receives, and what the printer's TCP stack has acknowledged. Each call answers
// with a count, or -1 and the error as a socket error code (ws::WSAE...). None
// raises SIGPIPE.
#pragma once

#include <QtGlobal>

#include <cstdint>

namespace platform {

// A new TCP socket, non-blocking and closed on exec; -1 with `error` on failure.
[[nodiscard]] int OpenStreamSocket(int& error);
// Sets the linger option (on with 0 s: a close drops what the system holds and
// resets the connection; off: the system still delivers it) and reads it back.
// 0, or -1 with `error`.
int SetLinger(int fd, bool on, int seconds, int& error);
// Starts the connect to an IPv4 address (network byte order) and port: 0 when
// it is made at once, WSAEWOULDBLOCK while it goes on (the socket turns
// writable when it ends, PendingError then telling how), else the error.
[[nodiscard]] int StartConnect(int fd, std::uint32_t address, std::uint16_t port);
// The socket's pending error (SO_ERROR) as a code, 0 for none.
[[nodiscard]] int PendingError(int fd);

// Hands up to `size` bytes to the system: the count taken, or -1 with `error`
// (WSAEWOULDBLOCK while the system holds all it will).
[[nodiscard]] qint64 SendBytes(int fd, const char* data, qint64 size, int& error);
// SendFromFile's answer when the file's side failed (a read error, or a file
// the system cannot send from): the caller reads the rest itself.
inline constexpr qint64 kFileNotSendable = -2;
// Hands up to `size` bytes of the file open on `file`, from `offset`, to the
// system without copying them through the program; the file's position does not
// move. The count taken, 0 when the file has no byte at `offset`, -1 with
// `error` as for SendBytes, or kFileNotSendable.
[[nodiscard]] qint64 SendFromFile(int fd, int file, qint64 offset, qint64 size, int& error);
// Reads up to `size` bytes: the count, 0 at the end of the printer's stream, or
// -1 with `error` (WSAEWOULDBLOCK when nothing waits).
[[nodiscard]] qint64 ReceiveBytes(int fd, char* buffer, qint64 size, int& error);

// What the printer's TCP stack has done with the bytes sent on the stream.
struct StreamDelivery {
    // Bytes the printer has acknowledged since the connect. The system keeps the
    // count after a reset or a close, so it stays true to the end; once the
    // stream's end is acknowledged it is one more than the bytes sent.
    qint64 acknowledged = 0;
    // Bytes the system holds and has not put on the wire yet.
    qint64 notSent = 0;
};
// 0, or -1 with `error`.
int GetStreamDelivery(int fd, StreamDelivery& delivery, int& error);
// Lets the system hold at most about `bytes` it has not put on the wire: beyond
// that a send is refused with WSAEWOULDBLOCK, and the socket turns writable once
// fewer wait. What is on the wire, up to the printer's window, is not counted.
// 0, or -1 when the system cannot limit it.
int LimitUnsentBytes(int fd, int bytes);
// Bytes sent and not yet acknowledged, and those not yet sent (the system's send
// queue); -1 on failure.
[[nodiscard]] int SendQueueBytes(int fd);

void CloseSocket(int fd);

}  // namespace platform
