// A message log that stays fast and small with millions of lines: line texts
// live in fixed-size UTF-8 chunks that are never copied as the log grows, and
// lines that recur (the printer's status names) are stored as a reference to
// one shared copy.
#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QStringList>
#include <memory>
#include <vector>

namespace kivo {

class LogModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit LogModel(QObject* parent = nullptr);

    // Lines stored once however often they are appended.
    void SetRecurringLines(const QStringList& lines);

    void Append(const QString& line);
    void Append(const QStringList& lines);
    void Clear();

    [[nodiscard]] qsizetype Count() const { return static_cast<qsizetype>(rows_.size()); }
    [[nodiscard]] QString Line(qsizetype row) const;
    [[nodiscard]] QStringList Lines() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    void Store(const QString& line);

    struct Chunk {
        std::unique_ptr<char[]> bytes;
        std::size_t used = 0;
        std::size_t size = 0;
    };
    // One entry a line: chunk, offset and length of its UTF-8 text, or (top bit
    // set) the index of a recurring line.
    std::vector<quint64> rows_;
    std::vector<Chunk> chunks_;
    QStringList recurring_;
    QHash<QString, quint32> recurringIndex_;
};

}  // namespace kivo
