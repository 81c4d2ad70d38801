#include "link/send_file.h"

namespace kivo {

SendFileResult SendOpenFile(Sender& sender, ws::SOCKET s, QFile& file, qint64 length, qint64 pieceSize) {
    SendFileResult result;
    pieceSize = std::max<qint64>(pieceSize, 1);
    qint64 remaining = length;
    // Pieces larger than the window's go from the file to the socket inside the
    // system, with no copy through the program. Where the file ends early or the
    // system cannot send from it, the rest is read below, which reports why.
    if (pieceSize > kFilePiece && file.handle() >= 0 && remaining > 0) {
        const qint64 start = file.pos();
        while (remaining > 0) {
            const qint64 want = std::min(remaining, pieceSize);
            const qint64 handed = sender.SendFromFile(s, file.handle(), start + result.sent, want);
            if (handed < 0) {
                result.sendFailed = true;
                return result;
            }
            result.sent += handed;
            remaining -= handed;
            if (handed < want) break;
        }
        if (!file.seek(start + result.sent)) {
            result.fileError = file.errorString();
            return result;
        }
    }
    if (remaining <= 0) return result;
    QByteArray buffer(static_cast<qsizetype>(std::min(pieceSize, remaining)), Qt::Uninitialized);
    char* piece = buffer.data();
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
