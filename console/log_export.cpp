#include "console/log_export.h"

#include "console/log_model.h"
#include "console/row_selection.h"
#include "link/numbers.h"

#include <QSaveFile>

#include <cstdlib>
#include <optional>

namespace kivo {
namespace {

// Writes the buffer to the file once it holds this much.
constexpr qsizetype kWriteBlock = 1 << 20;

void AppendDigits(QByteArray& out, int value, int digits) {
    char text[4];
    for (int i = digits - 1; i >= 0; --i, value /= 10) text[i] = static_cast<char>('0' + value % 10);
    out.append(text, digits);
}

QString Hex(QByteArrayView bytes, qsizetype shown) {
    QString out = QString::fromLatin1(bytes.first(std::min(shown, bytes.size())).toByteArray().toHex(' ').toUpper());
    if (bytes.size() > shown) out += QStringLiteral(" \u2026 (%1 bytes)").arg(Grouped(bytes.size()));
    return out;
}

}  // namespace

int TimeText::Load(qint64 ms) {
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    if (second != second_) {
        second_ = second;
        const QDateTime at = QDateTime::fromMSecsSinceEpoch(second * 1000);
        date_ = at.toString(QStringLiteral("yyyy-MM-dd'T'")).toLatin1();
        time_ = at.toString(QStringLiteral("HH:mm:ss")).toLatin1();
        const int offset = at.offsetFromUtc() / 60;
        // Always the offset, "+00:00" included: "Z" would read as UTC, not as the
        // local time the screen shows.
        offset_ = offset < 0 ? "-" : "+";
        AppendDigits(offset_, std::abs(offset) / 60, 2);
        offset_ += ':';
        AppendDigits(offset_, std::abs(offset) % 60, 2);
    }
    return static_cast<int>(ms - second * 1000);
}

QByteArray TimeText::Iso(qint64 ms) {
    const int millis = Load(ms);
    QByteArray out = date_ + time_ + '.';
    AppendDigits(out, millis, 3);
    return out + offset_;
}

QByteArray TimeText::Clock(qint64 ms) {
    const int millis = Load(ms);
    QByteArray out = time_ + '.';
    AppendDigits(out, millis, 3);
    return out;
}

QString CopyText(const LogModel& log, const RowSelection& rows, bool withTimes) {
    QByteArray text;
    TimeText times;
    for (const auto& [first, last] : rows.Ranges()) {
        for (qsizetype row = first; row <= last && row < log.Count(); ++row) {
            if (!text.isEmpty()) text += '\n';
            if (withTimes) text += times.Clock(log.LineTime(row)) + '\t';
            text += log.LineUtf8(row);
        }
    }
    return QString::fromUtf8(text);
}

QString SaveLog(const LogModel& log, const QString& path, const LogFileHeader& header) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return file.errorString();
    TimeText times;
    QByteArray buffer;
    buffer.reserve(kWriteBlock + 4096);
    const auto flush = [&] {
        const bool written = file.write(buffer) == buffer.size();
        buffer.clear();
        return written;
    };
    buffer += header.program.toUtf8() + '\n';
    buffer += "Log: " + header.logName.toUtf8() + '\n';
    buffer += "Printer: " + header.printer.toUtf8() + '\n';
    buffer += "Saved: " + times.Iso(header.saved.toMSecsSinceEpoch()) + '\n';
    buffer += "Lines: " + Grouped(log.Count()).toLatin1() + "\n\n";
    bool written = true;
    for (qsizetype row = 0; row < log.Count() && written; ++row) {
        buffer += times.Iso(log.LineTime(row));
        buffer += '\t';
        buffer += log.LineUtf8(row);
        buffer += '\n';
        if (buffer.size() >= kWriteBlock) written = flush();
    }
    // A file not written whole is thrown away; the name keeps what it had.
    if (!written || !flush() || !file.commit()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    return {};
}

QString LineToolTip(const LogModel& log, qsizetype row) {
    if (row < 0 || row >= log.Count()) return {};
    const QString when =
        QDateTime::fromMSecsSinceEpoch(log.LineTime(row)).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    switch (log.Origin(row)) {
    case LineOrigin::Written: return QStringLiteral("Written ") + when;
    case LineOrigin::PrinterText:
        return QStringLiteral("Received ") + when + QStringLiteral("\nBytes: ") + Hex(log.LineUtf8(row), 32);
    case LineOrigin::PrinterByte: {
        const std::optional<unsigned char> byte = ReplyLineByte(log.Line(row));
        const char value = static_cast<char>(byte.value_or(0));
        return QStringLiteral("Received ") + when + QStringLiteral("\nBytes: ") +
               (byte ? Hex(QByteArrayView(&value, 1), 1) : QStringLiteral("?"));
    }
    }
    return {};
}

}  // namespace kivo
