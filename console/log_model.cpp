#include "console/log_model.h"

#include <cstring>

namespace kivo {
namespace {

constexpr quint64 kRecurringFlag = quint64{1} << 63;
// Entry layout below the flag: chunk (20 bits), offset (20 bits), length (23 bits).
constexpr int kLengthBits = 23;
constexpr int kOffsetBits = 20;
constexpr quint64 kMaxLength = (quint64{1} << kLengthBits) - 1;  // longer lines are cut
constexpr std::size_t kChunkSize = std::size_t{1} << kOffsetBits;

}  // namespace

LogModel::LogModel(QObject* parent) : QAbstractListModel(parent) {}

void LogModel::SetRecurringLines(const QStringList& lines) {
    for (const QString& line : lines) {
        if (recurringIndex_.contains(line)) continue;
        recurringIndex_.insert(line, static_cast<quint32>(recurring_.size()));
        recurring_.append(line);
    }
}

void LogModel::Store(const QString& line) {
    if (line.size() <= 40) {
        const auto it = recurringIndex_.constFind(line);
        if (it != recurringIndex_.constEnd()) {
            rows_.push_back(kRecurringFlag | it.value());
            return;
        }
    }
    const QByteArray utf8 = line.toUtf8();
    const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(utf8.size()), kMaxLength);
    if (chunks_.empty() || chunks_.back().size - chunks_.back().used < length) {
        // A line longer than a chunk gets a chunk of its own, at offset 0.
        const std::size_t size = std::max(kChunkSize, length);
        chunks_.push_back({std::make_unique<char[]>(size), 0, size});
    }
    Chunk& chunk = chunks_.back();
    const quint64 offset = chunk.used;
    if (length > 0) std::memcpy(chunk.bytes.get() + chunk.used, utf8.constData(), length);
    chunk.used += length;
    const quint64 chunkIndex = chunks_.size() - 1;
    rows_.push_back((chunkIndex << (kOffsetBits + kLengthBits)) | (offset << kLengthBits) | length);
}

void LogModel::Append(const QString& line) {
    const int row = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), row, row);
    Store(line);
    endInsertRows();
}

void LogModel::Append(const QStringList& lines) {
    if (lines.isEmpty()) return;
    const int first = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(lines.size()) - 1);
    rows_.reserve(rows_.size() + static_cast<std::size_t>(lines.size()));
    for (const QString& line : lines) Store(line);
    endInsertRows();
}

void LogModel::Clear() {
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    chunks_.clear();
    endResetModel();
}

QString LogModel::Line(qsizetype row) const {
    if (row < 0 || row >= Count()) return {};
    const quint64 entry = rows_[static_cast<std::size_t>(row)];
    if (entry & kRecurringFlag) return recurring_.at(static_cast<qsizetype>(entry & ~kRecurringFlag));
    const quint64 chunk = entry >> (kOffsetBits + kLengthBits);
    const quint64 offset = (entry >> kLengthBits) & ((quint64{1} << kOffsetBits) - 1);
    const quint64 length = entry & kMaxLength;
    return QString::fromUtf8(chunks_[chunk].bytes.get() + offset, static_cast<qsizetype>(length));
}

QStringList LogModel::Lines() const {
    QStringList out;
    out.reserve(Count());
    for (qsizetype i = 0; i < Count(); ++i) out.append(Line(i));
    return out;
}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole) return {};
    return Line(index.row());
}

}  // namespace kivo
