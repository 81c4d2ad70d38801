#include "link/send_file.h"

namespace kivo {

SendFileResult SendOpenFile(Sender& sender, ws::SOCKET s, QFile& file, qint64 length, qint64 pieceSize) {
    SendFileResult result;
    pieceSize = std::max<qint64>(pieceSize, 1);
    QByteArray buffer(static_cast<qsizetype>(std::min(pieceSize, std::max<qint64>(length, 1))), Qt::Uninitialized);
    char* piece = buffer.data();
    qint64 remaining = length;
    while (remaining > 0) {
        const qint64 want = std::min<qint64>(remaining, buffer.size());
        const qint64 got = file.read(piece, want);
        if (got <= 0) {
            result.fileError =
                got < 0 ? file.errorString() : QStringLiteral("the file ended %1 bytes early").arg(remaining);
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

SendFileResult SendFile(Sender& sender, ws::SOCKET s, const QString& path, qint64 piece) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        SendFileResult result;
        result.fileError = file.errorString();
        return result;
    }
    return SendOpenFile(sender, s, file, file.size(), piece);
}

}  // namespace kivo
