#include "link/socket_events.h"

#include "link/reply_decoder.h"
#include "link/winsock_module.h"

#include <QByteArray>

namespace kivo {
namespace {

platform::WNDPROC PreviousWindowProc = nullptr;
Console* EventConsole = nullptr;
double receivedCount = 0;

// Reads up to `limit` bytes and decodes them as one reply; returns the count.
qsizetype ReadReply(ws::SOCKET s, Console* console, qsizetype limit) {
    QByteArray received;
    char buffer[kRecvPiece];
    while (received.size() < limit) {
        const int n = ws::recv(s, buffer, kRecvPiece, 0);
        if (n <= 0) break;
        received.append(buffer, n);
    }
    receivedCount = static_cast<double>(received.size());
    if (received.size() > 0 && console) DecodePrinterReply(received, *console);
    return received.size();
}

void ReadPath(ws::SOCKET s) { ReadReply(s, EventConsole, kMaxReadPerEvent); }

}  // namespace

void HookWindow(platform::HWND window, Console& console) {
    EventConsole = &console;
    PreviousWindowProc = platform::SetWindowLongA(window, platform::GWL_WNDPROC, &SocketWindowProc);
}

void UnhookWindow(platform::HWND window) {
    if (!PreviousWindowProc) return;
    platform::SetWindowLongA(window, platform::GWL_WNDPROC, PreviousWindowProc);
    EventConsole = nullptr;
}

platform::LRESULT SocketWindowProc(platform::HWND hwnd, unsigned int msg, platform::WPARAM wParam,
                                   platform::LPARAM lParam) {
    if (msg == WM_SOCKET) {
        OnSocketEvent(static_cast<ws::SOCKET>(wParam), lParam);
        return 0;
    }
    return platform::CallWindowProcA(PreviousWindowProc, hwnd, msg, wParam, lParam);
}

void OnSocketEvent(ws::SOCKET s, platform::LPARAM lParam) {
    const long event = static_cast<long>(lParam & 0xFFFF);
    const int error = static_cast<int>((lParam >> 16) & 0xFFFF);
    if (event == ws::FD_READ && error == 0) {
        ReadPath(s);
        return;
    }
    if (!EventConsole) return;
    if (event == ws::FD_WRITE && error == 0) {
        EventConsole->RoomToSend(s);
    } else if (event == ws::FD_CONNECT && error == 0) {
        EventConsole->LogMessage(LogKind::Outgoing, QStringLiteral("Connect with printer"));
    } else if (event == ws::FD_CLOSE) {
        EventConsole->LogMessage(LogKind::Outgoing, QStringLiteral("Lost connection with printer"), Severity::Fault);
        if (error != 0) {
            const QString text = SocketErrorText(error);
            EventConsole->LogMessage(LogKind::Outgoing,
                                     QStringLiteral("Error %1: %2")
                                         .arg(error)
                                         .arg(text.isEmpty() ? QStringLiteral("unknown error") : text),
                                     Severity::Fault);
        }
        EventConsole->ConnectionLost(s, error);
    }
}

void DrainReplies(ws::SOCKET s, Console& console) {
    for (qsizetype drained = 0; drained < kMaxDrain;) {
        const qsizetype n = ReadReply(s, &console, kMaxReadPerEvent);
        if (n == 0) break;
        drained += n;
    }
}

double ReceivedCount() { return receivedCount; }

}  // namespace kivo
