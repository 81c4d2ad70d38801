#include "link/socket_events.h"

#include "link/reply_decoder.h"
#include "link/winsock_module.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QTimer>

#include <utility>

namespace kivo {
namespace {

platform::WNDPROC PreviousWindowProc = nullptr;
Console* EventConsole = nullptr;
double receivedCount = 0;

// The run of text a read ended with, held back until the next read shows
// whether it goes on: socket reads end anywhere, the printer's lines do not.
struct HeldText {
    QByteArray bytes;
    ws::SOCKET socket = -1;
    Console* console = nullptr;
    quint64 generation = 0;  // which read held it, for its quiet timer
};
HeldText held;

// Writes the held text as its line.
void FlushHeldText() {
    if (held.bytes.isEmpty()) return;
    const QByteArray text = std::exchange(held.bytes, {});
    if (held.console) DecodePrinterReply(text, *held.console);
}

void FlushHeldText(ws::SOCKET s) {
    if (held.socket == s) FlushHeldText();
}

// Decodes what a read brought, after the text held from the read before on
// the same socket; keeps back the text it ends with, which is written when the
// next read starts with a control byte, or after kTextQuietMs without bytes.
void DecodeRead(ws::SOCKET s, Console& console, QByteArray received) {
    QByteArray reply;
    if (held.socket == s && held.console == &console && !held.bytes.isEmpty()) {
        reply = std::exchange(held.bytes, {});
        reply += received;
    } else {
        FlushHeldText();
        reply = std::move(received);
    }
    const qsizetype textStart = TrailingTextStart(reply);
    if (textStart < reply.size() && reply.size() - textStart < kMaxHeldText) {
        held.bytes = reply.sliced(textStart);
        held.socket = s;
        held.console = &console;
        const quint64 generation = ++held.generation;
        reply.truncate(textStart);
        // Without an event loop (a fuzzer) nothing could fire: the next read or the drain writes it.
        if (QCoreApplication::instance())
            QTimer::singleShot(kTextQuietMs, [generation] {
                if (held.generation == generation) FlushHeldText();
            });
    }
    if (!reply.isEmpty()) DecodePrinterReply(reply, console);
}

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
    const qsizetype count = received.size();
    if (count > 0 && console) DecodeRead(s, *console, std::move(received));
    return count;
}

void ReadPath(ws::SOCKET s) { ReadReply(s, EventConsole, kMaxReadPerEvent); }

}  // namespace

void HookWindow(platform::HWND window, Console& console) {
    EventConsole = &console;
    PreviousWindowProc = platform::SetWindowLongA(window, platform::GWL_WNDPROC, &SocketWindowProc);
}

void UnhookWindow(platform::HWND window) {
    if (!PreviousWindowProc) return;
    FlushHeldText();
    held = {};
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
        FlushHeldText(s);  // the printer's last text is whole now
        EventConsole->LogMessage(LogKind::Outgoing, QStringLiteral("Lost connection with printer"), Severity::Fault);
        if (error != 0) {
            const QString text = SocketErrorText(error);
            EventConsole->LogMessage(
                LogKind::Outgoing,
                QStringLiteral("Error %1: %2").arg(error).arg(text.isEmpty() ? QStringLiteral("unknown error") : text),
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
    FlushHeldText(s);  // the connection ends: nothing more can follow
}

double ReceivedCount() { return receivedCount; }

}  // namespace kivo
