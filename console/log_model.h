// A message log that stays fast and small with millions of lines: line texts
// live in fixed-size UTF-8 chunks that are never copied as the log grows, and
// lines that recur (the printer's status names) are stored as a reference to
// one shared copy. Each line also keeps when it was written, how much it
// matters, and whether it came from the printer's bytes, for one more byte a
// line (the times are kept once per millisecond, not per line).
#pragma once

#include "link/console_port.h"
#include "link/reply_decoder.h"

#include <QAbstractListModel>
#include <QByteArrayView>
#include <QHash>
#include <QStringEncoder>
#include <QStringList>
#include <memory>
#include <utility>
#include <vector>

namespace kivo {

// Where a line came from: written by the program, or decoded from the
// printer's bytes, as a run of text or as the name of one byte.
enum class LineOrigin : quint8 { Written, PrinterText, PrinterByte };

class LogModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit LogModel(QObject* parent = nullptr);

    // Lines stored once however often they are appended.
    void SetRecurringLines(const QStringList& lines);

    // Written lines, with the severity their writer gave them.
    void Append(const QString& line, Severity severity = Severity::None);
    void Append(const QStringList& lines, Severity severity = Severity::None);
    // The lines of a decoded printer reply; a line naming a byte takes that
    // status byte's severity.
    void Append(const std::vector<ReplyLine>& lines);
    void Clear();

    [[nodiscard]] qsizetype Count() const { return static_cast<qsizetype>(rows_.size()); }
    [[nodiscard]] QString Line(qsizetype row) const;
    // The line's text as stored, in UTF-8; valid until the log changes.
    [[nodiscard]] QByteArrayView LineUtf8(qsizetype row) const;
    [[nodiscard]] QStringList Lines() const;
    // When the line was written, in milliseconds since 1970 (UTC).
    [[nodiscard]] qint64 LineTime(qsizetype row) const;
    [[nodiscard]] Severity LineSeverity(qsizetype row) const;
    [[nodiscard]] LineOrigin Origin(qsizetype row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    // Room for that many more lines.
    void Reserve(qsizetype more);
    void Store(const QString& line, quint8 mark);
    void StoreLong(const QByteArray& utf8);
    // A row for the text at that offset of the last chunk.
    void AddRow(quint64 offset, quint64 length);
    // Starts a new run of times when the clock has moved on since the last line.
    void StampTime();

    struct Chunk {
        std::unique_ptr<char[]> bytes;
        std::size_t used = 0;
        std::size_t size = 0;
    };
    // One entry a line: chunk, offset and length of its UTF-8 text, or (top bit
    // set) the index of a recurring line.
    std::vector<quint64> rows_;
    // One byte a line: severity (bits 0-1) and origin (bits 2-3).
    std::vector<quint8> marks_;
    // (first row, time in ms): lines from that row on were written at that time.
    std::vector<std::pair<qsizetype, qint64>> times_;
    std::vector<Chunk> chunks_;
    QStringList recurring_;
    std::vector<QByteArray> recurringUtf8_;
    QHash<QString, quint32> recurringIndex_;
    QStringEncoder utf8_{QStringEncoder::Utf8, QStringConverter::Flag::Stateless};
};

}  // namespace kivo
