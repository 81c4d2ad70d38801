#include "console/log_model.h"

#include <QDateTime>

#include <algorithm>
#include <cstring>

namespace kivo {
namespace {

constexpr quint64 kRecurringFlag = quint64{1} << 63;
// Entry layout below the flag: chunk (20 bits), offset (20 bits), length (23 bits).
constexpr int kLengthBits = 23;
constexpr int kOffsetBits = 20;
constexpr quint64 kMaxLength = (quint64{1} << kLengthBits) - 1;  // longer lines are cut
constexpr std::size_t kChunkSize = std::size_t{1} << kOffsetBits;

// A line's mark: its severity in bits 0-1, its origin in bits 2-3.
constexpr quint8 kSeverityMask = 3;

constexpr quint8 Mark(Severity severity, LineOrigin origin) {
    return static_cast<quint8>(static_cast<quint8>(severity) | (static_cast<quint8>(origin) << 2));
}

}  // namespace

LogModel::LogModel(QObject* parent) : QAbstractListModel(parent) {}

void LogModel::SetRecurringLines(const QStringList& lines) {
    for (const QString& line : lines) {
        if (recurringIndex_.contains(line)) continue;
        recurringIndex_.insert(line, static_cast<quint32>(recurring_.size()));
        recurring_.append(line);
        recurringUtf8_.push_back(line.toUtf8());
    }
}

void LogModel::StampTime() {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (times_.empty() || times_.back().second != now) times_.emplace_back(Count(), now);
}

void LogModel::Reserve(qsizetype more) {
    // At least doubling: room for exactly one batch more would move every row
    // again with the next batch.
    const std::size_t needed = rows_.size() + static_cast<std::size_t>(more);
    if (needed <= rows_.capacity()) return;
    const std::size_t room = std::max(needed, 2 * rows_.capacity());
    rows_.reserve(room);
    marks_.reserve(room);
}

void LogModel::Store(const QString& line, quint8 mark) {
    marks_.push_back(mark);
    if (line.size() <= 40) {
        const auto it = recurringIndex_.constFind(line);
        if (it != recurringIndex_.constEnd()) {
            rows_.push_back(kRecurringFlag | it.value());
            return;
        }
    }
    // A line that surely fits a chunk is encoded straight into it, with no
    // copy of its own; a longer one goes through one.
    const auto room = static_cast<std::size_t>(utf8_.requiredSpace(line.size()));
    if (room > kChunkSize) {
        StoreLong(line.toUtf8());
        return;
    }
    if (chunks_.empty() || chunks_.back().size - chunks_.back().used < room)
        chunks_.push_back({std::make_unique<char[]>(kChunkSize), 0, kChunkSize});
    Chunk& chunk = chunks_.back();
    char* start = chunk.bytes.get() + chunk.used;
    const auto length = static_cast<std::size_t>(utf8_.appendToBuffer(start, line) - start);
    AddRow(chunk.used, length);
    chunk.used += length;
}

void LogModel::StoreLong(const QByteArray& utf8) {
    const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(utf8.size()), kMaxLength);
    if (chunks_.empty() || chunks_.back().size - chunks_.back().used < length) {
        // A line longer than a chunk gets a chunk of its own, at offset 0.
        const std::size_t size = std::max(kChunkSize, length);
        chunks_.push_back({std::make_unique<char[]>(size), 0, size});
    }
    Chunk& chunk = chunks_.back();
    if (length > 0) std::memcpy(chunk.bytes.get() + chunk.used, utf8.constData(), length);
    AddRow(chunk.used, length);
    chunk.used += length;
}

void LogModel::AddRow(quint64 offset, quint64 length) {
    const quint64 chunkIndex = chunks_.size() - 1;
    rows_.push_back((chunkIndex << (kOffsetBits + kLengthBits)) | (offset << kLengthBits) | length);
}

void LogModel::Append(const QString& line, Severity severity) {
    const int row = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), row, row);
    StampTime();
    Store(line, Mark(severity, LineOrigin::Written));
    endInsertRows();
}

void LogModel::Append(const QStringList& lines, Severity severity) {
    if (lines.isEmpty()) return;
    const int first = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(lines.size()) - 1);
    StampTime();
    Reserve(lines.size());
    for (const QString& line : lines) Store(line, Mark(severity, LineOrigin::Written));
    endInsertRows();
}

void LogModel::Append(const std::vector<ReplyLine>& lines) {
    if (lines.empty()) return;
    const int first = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(lines.size()) - 1);
    StampTime();
    Reserve(static_cast<qsizetype>(lines.size()));
    for (const ReplyLine& line : lines) {
        Store(line.text, line.byte < 0
                             ? Mark(Severity::None, LineOrigin::PrinterText)
                             : Mark(StatusSeverity(static_cast<unsigned char>(line.byte)), LineOrigin::PrinterByte));
    }
    endInsertRows();
}

void LogModel::Clear() {
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    marks_.clear();
    marks_.shrink_to_fit();
    times_.clear();
    chunks_.clear();
    endResetModel();
}

QByteArrayView LogModel::LineUtf8(qsizetype row) const {
    if (row < 0 || row >= Count()) return {};
    const quint64 entry = rows_[static_cast<std::size_t>(row)];
    if (entry & kRecurringFlag) return recurringUtf8_[static_cast<std::size_t>(entry & ~kRecurringFlag)];
    const quint64 chunk = entry >> (kOffsetBits + kLengthBits);
    const quint64 offset = (entry >> kLengthBits) & ((quint64{1} << kOffsetBits) - 1);
    const quint64 length = entry & kMaxLength;
    return QByteArrayView(chunks_[chunk].bytes.get() + offset, static_cast<qsizetype>(length));
}

QString LogModel::Line(qsizetype row) const {
    if (row < 0 || row >= Count()) return {};
    const quint64 entry = rows_[static_cast<std::size_t>(row)];
    if (entry & kRecurringFlag) return recurring_.at(static_cast<qsizetype>(entry & ~kRecurringFlag));
    return QString::fromUtf8(LineUtf8(row));
}

QStringList LogModel::Lines() const {
    QStringList out;
    out.reserve(Count());
    for (qsizetype i = 0; i < Count(); ++i) out.append(Line(i));
    return out;
}

qint64 LogModel::LineTime(qsizetype row) const {
    if (row < 0 || row >= Count() || times_.empty()) return 0;
    // The last run that starts at or before the row.
    const auto after =
        std::upper_bound(times_.begin(), times_.end(), row, [](qsizetype r, const auto& run) { return r < run.first; });
    return std::prev(after)->second;
}

Severity LogModel::LineSeverity(qsizetype row) const {
    if (row < 0 || row >= Count()) return Severity::None;
    return static_cast<Severity>(marks_[static_cast<std::size_t>(row)] & kSeverityMask);
}

LineOrigin LogModel::Origin(qsizetype row) const {
    if (row < 0 || row >= Count()) return LineOrigin::Written;
    return static_cast<LineOrigin>(marks_[static_cast<std::size_t>(row)] >> 2);
}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole) return {};
    return Line(index.row());
}

}  // namespace kivo
