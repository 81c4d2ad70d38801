// Starting and ending the socket library, addresses, and opening the one TCP
// connection to the printer with an abortive close.
#pragma once

#include "platform/window.h"
#include "platform/winsock.h"

#include <QString>
#include <cstdint>

namespace kivo {

// The socket message posted to the main window for printer socket events.
inline constexpr unsigned int WM_SOCKET = platform::WM_USER + 1;  // 1025
// Read, write, connect and close events.
inline constexpr long kSocketEvents = ws::FD_READ | ws::FD_WRITE | ws::FD_CONNECT | ws::FD_CLOSE;
// The system's backlog on the printer connection: it holds at most about this
// many bytes that it has not put on the wire, so Stop, progress and a close
// describe the printer rather than a buffer the operator cannot see.
inline constexpr int kUnsentLimit = 64 * 1024;

// Starts the library once; a second call does nothing and returns true.
bool StartNetwork(QString* description = nullptr);
// Ends the library, cancelling a blocking call that is still in progress.
void StopNetwork();
[[nodiscard]] bool NetworkStarted();

// Dotted IPv4 text or a host name to an address in network byte order; -1 (all
// bits set) when it does not resolve, WSAGetLastError() then saying why.
[[nodiscard]] std::uint32_t ResolveAddress(const QString& host);
// Dotted text of an address; "255.255.255.255" when it cannot be written.
[[nodiscard]] QString AddressToText(std::uint32_t address);
// Sets the linger option and reads it back; 0 on success, -1 on failure.
int SetLinger(ws::SOCKET s, std::uint16_t on, std::uint16_t seconds);

// Opens a printer connection for PrinterLink, its owner: resolves the host,
// creates the socket with an abortive close, connects and registers it for
// socket messages to the window.
// connectionText gets "address:port" once the address is known. Without the
// asynchronous flag the call returns when the connection is made or has failed;
// with it, the outcome arrives later as FD_CONNECT. Returns the socket or -1;
// after -1, WSAGetLastError() says why (WSAHOST_NOT_FOUND for a host that does
// not resolve to an IPv4 address).
[[nodiscard]] ws::SOCKET OpenPrinterSocket(const QString& host, std::int32_t port, QString& connectionText,
                                           platform::HWND window, bool async);

// The platform's text for a socket error code, or the empty text.
[[nodiscard]] QString SocketErrorText(int code);

// The line that says why a connect failed, from the socket library's error code:
// "Error 10061: ...", "cancelled by the operator" for a wait the operator ended.
[[nodiscard]] QString ConnectFailureReason(int wsaError, bool cancelledByOperator);

}  // namespace kivo
