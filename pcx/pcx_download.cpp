#include "pcx/pcx_download.h"

#include "link/delivery.h"
#include "link/send_file.h"

#include <QFile>

namespace kivo {
namespace {

// Sends `count` zero bytes in pieces of at most 1024; false once the send gives up.
bool SendZeros(Sender& sender, ws::SOCKET s, qint64 count) {
    static const char zeros[kFilePiece] = {};
    for (qint64 left = count; left > 0;) {
        const qint64 piece = std::min(left, kFilePiece);
        if (sender.SendToPrinter(s, QByteArrayView(zeros, piece)) < 0) return false;
        left -= piece;
    }
    return true;
}

}  // namespace

QByteArray PcxDownloadHeader(qint64 length) {
    return QByteArrayLiteral("<SP100,100><pcx><G") + QByteArray::number(length) + '>';
}

bool SendPcxImage(Sender& sender, ws::SOCKET s, const QString& path, const QByteArray& printCommand, Console& console) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        console.LogMessage(LogKind::Outgoing,
                           QStringLiteral("Cannot open PCX file %1: %2").arg(path, file.errorString()),
                           Severity::Fault);
        return false;
    }
    const qint64 length = file.size();
    console.LogMessage(LogKind::Outgoing,
                       QStringLiteral("Sending PCX file %1 to IP Address %2").arg(path, console.AddressText()));
    sender.SendToPrinter(s, PcxDownloadHeader(length));
    const SendFileResult sent = SendOpenFile(sender, s, file, length);
    if (!sent.fileError.isEmpty() && !sender.JobFailed()) {
        // The printer takes as image data exactly the length the header gave,
        // whatever follows: zeros make up what the file did not yield, so the
        // print command after them is read as a command.
        const qint64 missing = length - sent.sent;
        SendZeros(sender, s, missing);
        console.LogMessage(LogKind::Outgoing,
                           QStringLiteral("PCX file %1 read short (%2): padded the image with %3 zero bytes to the "
                                          "%4 bytes its header announced")
                               .arg(path, sent.fileError, Grouped(missing), Grouped(length)),
                           Severity::Warning);
    }
    if (!sender.JobFailed()) sender.SendToPrinter(s, printCommand);
    return !sender.JobFailed();
}

void SendPcxBytes(Sender& sender, ws::SOCKET s, QByteArrayView image, const QByteArray& printCommand) {
    sender.SendToPrinter(s, PcxDownloadHeader(image.size()));
    for (qsizetype at = 0; at < image.size() && !sender.JobFailed(); at += kFilePiece)
        sender.SendToPrinter(s, image.sliced(at, std::min<qsizetype>(kFilePiece, image.size() - at)));
    if (!sender.JobFailed()) sender.SendToPrinter(s, printCommand);
}

}  // namespace kivo
