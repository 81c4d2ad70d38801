#include "link/send_file.h"

namespace kivo {

SendFileResult SendOpenFile(Sender& sender, ws::SOCKET s, QFile& file, qint64 length) {
    SendFileResult result;
    char piece[kFilePiece];
    qint64 remaining = length;
    while (remaining > 0) {
        const qint64 want = std::min(remaining, kFilePiece);
        const qint64 got = file.read(piece, want);
        if (got <= 0) {
            result.fileError = got < 0 ? file.errorString()
                                       : QStringLiteral("the file ended %1 bytes early").arg(remaining);
            break;
        }
        if (sender.SendToPrinter(s, QByteArrayView(piece, got)) < 0) {
            result.sendFailed = true;
            break;
        }
        result.sent += got;
        remaining -= got;
    }
    return result;
}

SendFileResult SendFile(Sender& sender, ws::SOCKET s, const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        SendFileResult result;
        result.fileError = file.errorString();
        return result;
    }
    return SendOpenFile(sender, s, file, file.size());
}

}  // namespace kivo
