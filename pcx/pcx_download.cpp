#include "pcx/pcx_download.h"

#include <QFile>

namespace kivo {

QByteArray PcxDownloadHeader(qint64 length) {
    return QByteArrayLiteral("<SP100,100><pcx><G") + QByteArray::number(length) + '>';
}

bool AddPcxImage(PrinterJob& job, const QString& path, const QByteArray& printCommand, Console& console) {
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
    job.AddBytes(PcxDownloadHeader(length));
    job.AddFile(path, length);
    job.AddBytes(printCommand);
    return true;
}

void AddPcxBytes(PrinterJob& job, QByteArrayView image, const QByteArray& printCommand) {
    job.AddBytes(PcxDownloadHeader(image.size()));
    job.AddBytes(image.toByteArray());
    job.AddBytes(printCommand);
}

}  // namespace kivo
