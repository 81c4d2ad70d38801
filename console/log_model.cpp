#include "console/log_model.h"

namespace kivo {
namespace {

constexpr quint64 kRecurringFlag = quint64{1} << 63;
constexpr int kLengthBits = 24;
constexpr quint64 kMaxLength = (quint64{1} << kLengthBits) - 1;  // longer lines are cut

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
    const quint64 offset = text_.size();
    const quint64 length = std::min<quint64>(static_cast<quint64>(line.size()), kMaxLength);
    text_.append(reinterpret_cast<const char16_t*>(line.utf16()), length);
    rows_.push_back((offset << kLengthBits) | length);
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
    rows_.reserve(rows_.size() + lines.size());
    for (const QString& line : lines) Store(line);
    endInsertRows();
}

void LogModel::Clear() {
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    text_.clear();
    text_.shrink_to_fit();
    endResetModel();
}

QString LogModel::Line(qsizetype row) const {
    if (row < 0 || row >= Count()) return {};
    const quint64 entry = rows_[static_cast<std::size_t>(row)];
    if (entry & kRecurringFlag) return recurring_.at(static_cast<qsizetype>(entry & ~kRecurringFlag));
    const quint64 offset = (entry & ~kRecurringFlag) >> kLengthBits;
    const quint64 length = entry & kMaxLength;
    return QString(reinterpret_cast<const QChar*>(text_.data() + offset), static_cast<qsizetype>(length));
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
