// The commands sent from the command box, newest last, for the operator to step
// through with Up and Down as in a shell; and the keys that do it in a line edit.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class QLineEdit;

namespace kivo {

inline constexpr int kCommandsKept = 50;

class CommandHistory {
public:
    explicit CommandHistory(QStringList commands = {});

    // A command was sent: kept unless it is empty or the same as the newest; the
    // oldest go beyond kCommandsKept. Stepping starts again from the newest.
    void Add(const QString& command);
    // The text to show one step older or newer than the one shown, or nothing when
    // there is no step to take. `shown` is what the box holds now: it is given back
    // when the operator steps down past the newest command.
    [[nodiscard]] std::optional<QString> Older(const QString& shown);
    [[nodiscard]] std::optional<QString> Newer();

    [[nodiscard]] const QStringList& Commands() const { return commands_; }

private:
    QStringList commands_;
    qsizetype position_ = 0;  // index of the command shown; commands_.size(): the operator's own text
    QString draft_;
};

// Up and Down in `box` step through `history`.
class HistoryKeys : public QObject {
public:
    HistoryKeys(QLineEdit& box, CommandHistory& history);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit& box_;
    CommandHistory& history_;
};

}  // namespace kivo
