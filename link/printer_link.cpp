#include "link/printer_link.h"

#include "link/reply_decoder.h"
#include "link/winsock_module.h"

#include <QCoreApplication>

#include <utility>

namespace kivo {

PrinterLink::PrinterLink(platform::HWND window, Console& console)
    : window_(window), console_(console),
      previousProc_(platform::SetWindowLongA(window, platform::GWL_WNDPROC, &SocketWindowProc)),
      previousData_(window->SetUserData(this)) {
    quiet_.setSingleShot(true);
    QObject::connect(&quiet_, &QTimer::timeout, [this] { FlushHeldText(); });
}

PrinterLink::~PrinterLink() {
    // The console may be half gone by now: held text is dropped, not written.
    quiet_.stop();
    heldText_.clear();
    if (socket_ >= 0) ws::closesocket(socket_);
    window_->SetUserData(previousData_);
    platform::SetWindowLongA(window_, platform::GWL_WNDPROC, previousProc_);
}

ws::SOCKET PrinterLink::Open(const QString& host, std::int32_t port, QString& connectionText, bool async) {
    CloseAbortive();
    socket_ = OpenPrinterSocket(host, port, connectionText, window_, async);
    return socket_;
}

void PrinterLink::Adopt(ws::SOCKET s) {
    CloseAbortive();
    socket_ = s;
}

void PrinterLink::CloseInOrder() {
    if (socket_ < 0) return;
    for (qsizetype drained = 0; drained < kMaxDrain;) {
        const qsizetype n = ReadReply(kMaxReadPerEvent);
        if (n == 0) break;
        drained += n;
    }
    (void)SetLinger(socket_, 0, 0);
    ws::closesocket(socket_);
    Closed();
}

void PrinterLink::CloseAbortive() {
    if (socket_ < 0) return;
    ws::closesocket(socket_);  // opened with linger on at 0 s
    Closed();
}

void PrinterLink::Closed() {
    socket_ = -1;
    FlushHeldText();  // nothing more can follow it
}

platform::LRESULT PrinterLink::SocketWindowProc(platform::HWND hwnd, unsigned int msg, platform::WPARAM wParam,
                                                platform::LPARAM lParam) {
    auto* link = static_cast<PrinterLink*>(hwnd->UserData());
    if (msg == WM_SOCKET) {
        link->OnSocketEvent(static_cast<ws::SOCKET>(wParam), lParam);
        return 0;
    }
    return platform::CallWindowProcA(link->previousProc_, hwnd, msg, wParam, lParam);
}

void PrinterLink::OnSocketEvent(ws::SOCKET s, platform::LPARAM lParam) {
    if (s < 0 || s != socket_) return;
    const long event = static_cast<long>(lParam & 0xFFFF);
    const int error = static_cast<int>((lParam >> 16) & 0xFFFF);
    if (event == ws::FD_READ && error == 0) {
        ReadReply(kMaxReadPerEvent);
    } else if (event == ws::FD_WRITE && error == 0) {
        console_.RoomToSend(s);
    } else if (event == ws::FD_CONNECT && error == 0) {
        console_.LogMessage(LogKind::Outgoing, QStringLiteral("Connect with printer"));
    } else if (event == ws::FD_CLOSE) {
        FlushHeldText();  // the printer's last text is whole now
        console_.LogMessage(LogKind::Outgoing, QStringLiteral("Lost connection with printer"), Severity::Fault);
        if (error != 0) {
            const QString text = SocketErrorText(error);
            console_.LogMessage(
                LogKind::Outgoing,
                QStringLiteral("Error %1: %2").arg(error).arg(text.isEmpty() ? QStringLiteral("unknown error") : text),
                Severity::Fault);
        }
        console_.ConnectionLost(s, error);
    }
}

qsizetype PrinterLink::ReadReply(qsizetype limit) {
    QByteArray received;
    char buffer[kRecvPiece];
    while (received.size() < limit) {
        const int n = ws::recv(socket_, buffer, kRecvPiece, 0);
        if (n <= 0) break;
        received.append(buffer, n);
    }
    receivedCount_ = static_cast<double>(received.size());
    const qsizetype count = received.size();
    if (count > 0) DecodeRead(received);
    return count;
}

void PrinterLink::DecodeRead(const QByteArray& received) {
    QByteArray reply = std::exchange(heldText_, {});
    reply += received;
    const qsizetype textStart = TrailingTextStart(reply);
    if (textStart < reply.size() && reply.size() - textStart < kMaxHeldText) {
        heldText_ = reply.sliced(textStart);
        reply.truncate(textStart);
        // Without an event loop (a fuzzer) nothing could fire: the next read or the close writes it.
        if (QCoreApplication::instance()) quiet_.start(kTextQuietMs);
    }
    if (!reply.isEmpty()) DecodePrinterReply(reply, console_);
}

void PrinterLink::FlushHeldText() {
    quiet_.stop();
    if (heldText_.isEmpty()) return;
    DecodePrinterReply(std::exchange(heldText_, {}), console_);
}

}  // namespace kivo
