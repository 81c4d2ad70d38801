#include "pcx/pcx_download.h"

#include "link/send_file.h"

#include <QFile>

namespace kivo {

QByteArray PcxDownloadHeader(qint64 length) {
    return QByteArrayLiteral("<SP100,100><pcx><G") + QByteArray::number(length) + '>';
}

void SendPcxImage(Sender& sender, ws::SOCKET s, const QString& path, const QByteArray& printCommand,
                  Console& console) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        console.LogMessage(QStringLiteral("O"),
                           QStringLiteral("Cannot open PCX file %1: %2").arg(path, file.errorString()));
        return;
    }
    const qint64 length = file.size();
    console.LogMessage(QStringLiteral("O"),
                       QStringLiteral("Sending PCX file %1 to IP Address %2").arg(path, console.AddressText()));
    sender.SendToPrinter(s, PcxDownloadHeader(length));
    const SendFileResult sent = SendOpenFile(sender, s, file, length);
    if (!sent.fileError.isEmpty())
        console.LogMessage(QStringLiteral("O"),
                           QStringLiteral("Cannot read PCX file %1: %2").arg(path, sent.fileError));
    // The print command follows even after a read error, so the printer is not
    // left waiting inside the download; after a failed send there is no link.
    if (!sender.JobFailed()) sender.SendToPrinter(s, printCommand);
}

void SendPcxBytes(Sender& sender, ws::SOCKET s, QByteArrayView image, const QByteArray& printCommand) {
    sender.SendToPrinter(s, PcxDownloadHeader(image.size()));
    for (qsizetype at = 0; at < image.size() && !sender.JobFailed(); at += kFilePiece)
        sender.SendToPrinter(s, image.sliced(at, std::min<qsizetype>(kFilePiece, image.size() - at)));
    if (!sender.JobFailed()) sender.SendToPrinter(s, printCommand);
}

}  // namespace kivo
