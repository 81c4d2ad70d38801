#include "link/printer_socket.h"

#include "link/code_page.h"
#include "platform/socket_errors.h"
#include "platform/tcp_stream.h"

#include <arpa/inet.h>

namespace kivo {

std::uint32_t DottedAddress(const QString& host) {
    const QByteArray text = ToSingleByte(host);
    // A NUL would end the text early: "127.0.0.1\0junk" names no host.
    if (text.contains('\0')) return kNoAddress;
    return ::inet_addr(text.constData());
}

QString AddressToText(std::uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &in, text, sizeof text)) return QStringLiteral("255.255.255.255");
    return QString::fromLatin1(text);
}

int OpenPrinterSocket(std::uint32_t address, int port, int& error) {
    if (port <= 0 || port >= 0xFFFF) {
        error = ws::WSAEINVAL;
        return -1;
    }
    const int fd = platform::OpenStreamSocket(error);
    if (fd < 0) return -1;
    if (platform::SetLinger(fd, true, 0, error) != 0) {
        platform::CloseSocket(fd);
        return -1;
    }
    // A system that cannot limit its backlog still sends; the counts stay true.
    (void)platform::LimitUnsentBytes(fd, kUnsentLimit);
    error = platform::StartConnect(fd, address, static_cast<std::uint16_t>(port));
    if (error != 0 && error != ws::WSAEWOULDBLOCK) {
        platform::CloseSocket(fd);
        return -1;
    }
    return fd;
}

QString SocketErrorText(int code) { return ws::ErrorText(code); }

QString ConnectFailureReason(int wsaError, bool cancelledByOperator) {
    QString text;
    if (wsaError == ws::WSAEINTR && cancelledByOperator)
        text = QStringLiteral("cancelled by the operator");
    else if (wsaError == ws::WSAHOST_NOT_FOUND)
        text = QStringLiteral("not an IPv4 address or a known host name");
    else
        text = SocketErrorText(wsaError);
    const QString code = QStringLiteral("Error %1").arg(wsaError);
    return text.isEmpty() ? code : code + QStringLiteral(": ") + text;
}

QString LossReason(int wsaError) {
    const QString text =
        wsaError == ws::WSAETIMEDOUT
            ? QStringLiteral("The connection timed out: the printer stopped acknowledging what was sent.")
            : SocketErrorText(wsaError);
    return QStringLiteral("Error %1: %2").arg(wsaError).arg(text.isEmpty() ? QStringLiteral("unknown error") : text);
}

}  // namespace kivo
