// The printer's address and socket: the address text read as a dotted IPv4
// address, an address written back as text, the socket a connect starts on
// (non-blocking, with an abortive close), and the words for a failed connect.
#pragma once

#include <QString>

#include <cstdint>

namespace kivo {

// An address that is none: also what "255.255.255.255" reads as, so that
// address can never be connected to.
inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;
// The system's backlog on the printer connection: it holds at most about this
// many bytes that it has not put on the wire, so Stop, progress and a close
// describe the printer rather than a buffer the operator cannot see. A slow
// printer gets less (about half a second of its pace), never below the least.
inline constexpr int kUnsentLimit = 64 * 1024;
inline constexpr int kLeastUnsentLimit = 4 * 1024;

// Dotted IPv4 text to an address in network byte order; kNoAddress for
// anything else, a NUL inside included.
[[nodiscard]] std::uint32_t DottedAddress(const QString& host);
// Dotted text of an address; "255.255.255.255" when it cannot be written.
[[nodiscard]] QString AddressToText(std::uint32_t address);

// Creates the printer socket for an address and port and starts its connect:
// non-blocking, linger on at 0 s (every close is abortive unless the linger is
// turned off first), its backlog limited to kUnsentLimit. Returns the socket,
// `error` then 0 (connected already) or WSAEWOULDBLOCK (the connect goes on),
// or -1 with the error (WSAEINVAL for port 0 or 65535).
[[nodiscard]] int OpenPrinterSocket(std::uint32_t address, int port, int& error);

// The text for a socket error code, or the empty text.
[[nodiscard]] QString SocketErrorText(int code);

// The line that says why a connect failed: "Error 10061: ...", with "cancelled
// by the operator" for an attempt the operator ended.
[[nodiscard]] QString ConnectFailureReason(int wsaError, bool cancelledByOperator);

// The line that says why an open connection ended with an error ("Error 10054:
// The connection was reset by the printer."); a time-out of an established
// connection is named as such, not as a connect that timed out.
[[nodiscard]] QString LossReason(int wsaError);

}  // namespace kivo
