#include "link/send.h"

#include "link/winsock_module.h"

#include <algorithm>

namespace kivo {

template <typename Offer>
qint64 Sender::Hand(qint64 size, Offer&& offer) {
    qint64 position = 0;
    while (position < size) {
        const int count = static_cast<int>(std::min<qint64>(size - position, 1 << 30));
        const int result = offer(position, count);
        if (result > 0) {
            position += result;
            sent_ += result;
            continue;
        }
        if (result == 0) return position;
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
    return position;
}

int Sender::SendToPrinter(ws::SOCKET s, QByteArrayView bytes) {
    if (failed_) return -1;
    if (bytes.isEmpty()) return 0;
    int last = 0;
    const qint64 handed = Hand(bytes.size(), [&](qint64 done, int count) {
        const int result = ws::send(s, bytes.data() + done, count, 0);
        if (result > 0) last = result;
        return result;
    });
    return handed < 0 ? -1 : last;
}

qint64 Sender::SendFromFile(ws::SOCKET s, int fd, qint64 offset, qint64 length) {
    if (failed_) return -1;
    return Hand(length, [&](qint64 done, int count) {
        const int result = ws::SendFromFile(s, fd, offset + done, count);
        return result == ws::FILE_NOT_SENDABLE ? 0 : result;
    });
}

}  // namespace kivo
