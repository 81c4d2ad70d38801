// A message log that stays fast and small with millions of lines: the text of
// all lines lives in one buffer, and lines that recur (the printer's status
// names) are stored as a reference to one shared copy.
#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QStringList>
#include <string>
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

    // One entry a line: either an offset and length in text_, or (top bit set)
    // the index of a recurring line.
    std::vector<quint64> rows_;
    std::u16string text_;
    QStringList recurring_;
    QHash<QString, quint32> recurringIndex_;
};

}  // namespace kivo
