#include "link/jobs.h"

#include <QFileInfo>

namespace kivo {

QByteArray VekCopyHeader(long long copy) { return "<RL><F6><RC90,40>" + QByteArray::number(copy); }

QString ByteListRefusal(const QString& text, const ByteList& list) {
    const QString values = QStringLiteral("(0 to 255, 0x00 to 0xFF or &H00 to &HFF)");
    if (list.badValue.isEmpty())
        return QStringLiteral("Nothing sent: \"%1\" has an empty value; byte values are %2").arg(text, values);
    if (list.badValue == text.trimmed())
        return QStringLiteral("Nothing sent: \"%1\" is not a byte value %2").arg(text, values);
    return QStringLiteral("Nothing sent: \"%1\" in \"%2\" is not a byte value %3").arg(list.badValue, text, values);
}

std::optional<long long> FileCopies(const QString& text) {
    return ReadWholeNumber(text, kMinFileCopies, kMaxFileCopies);
}

QString TicketCopiesText(const QString& text) {
    const std::optional<double> number = ReadNumber(text);
    if (number && (*number < 1 || *number > kMaxTicketCopies)) return QStringLiteral("1");
    return text;
}

std::optional<long long> TicketCopies(const QString& text) {
    return ReadWholeNumber(TicketCopiesText(text), 1, kMaxTicketCopies);
}

qint64 CopiesBytes(const QString& path, long long copies, bool vekHeader) {
    qint64 bytes = QFileInfo(path).size() * std::max(copies, 0LL);
    for (long long i = 1; vekHeader && i <= copies; ++i) bytes += VekCopyHeader(i).size();
    return bytes;
}

void AddCopies(PrinterJob& job, const QString& path, long long copies, bool vekHeader) {
    for (long long i = 1; i <= copies; ++i) {
        if (vekHeader) job.AddBytes(VekCopyHeader(i));
        job.AddFile(path);
        job.EndCopy();
    }
}

}  // namespace kivo
