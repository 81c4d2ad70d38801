#include "link/winsock_module.h"

#include "link/code_page.h"

#include <cstring>

namespace kivo {
namespace {

bool networkStarted = false;

// The failure of a lookup that found no IPv4 address for the name.
std::uint32_t NotFound() {
    ws::WSASetLastError(ws::WSAHOST_NOT_FOUND);
    return ws::WS_INADDR_NONE;
}

}  // namespace

bool StartNetwork(QString* description) {
    if (networkStarted) return true;
    ws::WSADATA data;
    if (ws::WSAStartup(0x0101, &data) == 0) {
        networkStarted = true;
        if (description) *description = QString::fromLatin1(data.szDescription);
    } else {
        networkStarted = false;
    }
    return networkStarted;
}

void StopNetwork() {
    if (ws::WSAIsBlocking()) ws::WSACancelBlockingCall();
    ws::WSACleanup();
    networkStarted = false;
}

bool NetworkStarted() { return networkStarted; }

std::uint32_t ResolveAddress(const QString& host) {
    const QByteArray text = ToSingleByte(host);
    // A NUL would end the text early: "127.0.0.1\0junk" names no host.
    if (text.contains('\0')) return NotFound();
    const std::uint32_t address = ws::inet_addr(text.constData());
    if (address != ws::WS_INADDR_NONE) return address;
    const ws::hostent* entry = ws::gethostbyname(text.constData());
    if (!entry) return ws::WS_INADDR_NONE;  // the lookup's own error stays
    if (!entry->h_addr_list || !entry->h_addr_list[0]) return NotFound();
    if (entry->h_length != 4) return NotFound();  // not an IPv4 address
    std::uint32_t first = 0;
    std::memcpy(&first, entry->h_addr_list[0], sizeof first);
    if (first == ws::WS_INADDR_NONE) return NotFound();  // "255.255.255.255" as a name
    return first;
}

QString AddressToText(std::uint32_t address) {
    ws::in_addr in;
    in.s_addr = address;
    const char* text = ws::inet_ntoa(in);
    if (!text) return QStringLiteral("255.255.255.255");
    return QString::fromLatin1(text, static_cast<qsizetype>(::strnlen(text, 32)));
}

int SetLinger(ws::SOCKET s, std::uint16_t on, std::uint16_t seconds) {
    ws::linger value{on, seconds};
    if (ws::setsockopt(s, ws::WS_SOL_SOCKET, ws::WS_SO_LINGER, &value, sizeof value) != 0) return -1;
    int length = sizeof value;
    if (ws::getsockopt(s, ws::WS_SOL_SOCKET, ws::WS_SO_LINGER, &value, &length) != 0) return -1;
    return 0;
}

ws::SOCKET OpenPrinterSocket(const QString& host, std::int32_t port, QString& connectionText, platform::HWND window,
                             bool async) {
    ws::sockaddr_in address{};
    address.sin_family = ws::WS_AF_INET;
    address.sin_port = ws::htons(static_cast<std::uint16_t>(port & 0xFFFF));
    if (address.sin_port == 0xFFFF) {
        ws::WSASetLastError(ws::WSAEINVAL);
        return -1;
    }
    address.sin_addr.s_addr = ResolveAddress(host);
    if (address.sin_addr.s_addr == ws::WS_INADDR_NONE) return -1;
    connectionText =
        AddressToText(address.sin_addr.s_addr) + QLatin1Char(':') + QString::number(ws::ntohs(address.sin_port));

    const ws::SOCKET s = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP);
    if (s < 0) return -1;
    // The error that made the attempt fail outlives the close of its socket.
    auto fail = [s] {
        const int error = ws::WSAGetLastError();
        if (s >= 0) ws::closesocket(s);
        ws::WSASetLastError(error);
        return ws::SOCKET{-1};
    };
    if (SetLinger(s, 1, 0) == -1) return fail();
    // A system that cannot limit its backlog still sends; the counts stay true.
    (void)ws::LimitUnsentBytes(s, kUnsentLimit);
    if (!async) {
        if (ws::connect(s, &address, sizeof address) != 0) return fail();
        if (ws::WSAAsyncSelect(s, window, WM_SOCKET, kSocketEvents) != 0) return fail();
        return s;
    }
    if (ws::WSAAsyncSelect(s, window, WM_SOCKET, kSocketEvents) != 0) return fail();
    if (ws::connect(s, &address, sizeof address) != -1) {
        ws::WSASetLastError(ws::WSAEISCONN);
        return fail();
    }
    if (ws::WSAGetLastError() != ws::WSAEWOULDBLOCK) return fail();
    return s;
}

QString SocketErrorText(int code) {
    char buffer[129] = {};
    const int n = ws::FormatMessageA(code, buffer, 128);
    if (n > 2) return QString::fromLatin1(buffer, n - 2);
    return {};
}

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

}  // namespace kivo
