#include "link/send.h"

#include "link/winsock_module.h"

#include <algorithm>

namespace kivo {

int Sender::SendToPrinter(ws::SOCKET s, QByteArrayView bytes) {
    if (failed_) return -1;
    if (bytes.isEmpty()) return 0;
    qsizetype position = 0;
    for (;;) {
        const qsizetype remaining = bytes.size() - position;
        const int offer = static_cast<int>(std::min<qsizetype>(remaining, 1 << 30));
        const int result = ws::send(s, bytes.data() + position, offer, 0);
        if (result >= 0) {
            position += result;
            sent_ += result;
            if (position >= bytes.size()) return result;
            continue;
        }
        const int error = ws::WSAGetLastError();
        if (error == ws::WSAEWOULDBLOCK || error == ws::WSAENOBUFS || error == ws::WSAEINTR) {
            ++waiting_;
            ++pauses_;
            console_.Pause(0.01);
            --waiting_;
            if (failed_) return -1;  // cancelled while waiting
            continue;
        }
        failed_ = true;
        QString text = SocketErrorText(error);
        console_.LogMessage(LogKind::Outgoing,
                            QStringLiteral("Error while sending to the printer (error %1): %2")
                                .arg(error)
                                .arg(text.isEmpty() ? QStringLiteral("unknown error") : text),
                            Severity::Fault);
        return -1;
    }
}

}  // namespace kivo
