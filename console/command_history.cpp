#include "console/command_history.h"

#include <QKeyEvent>
#include <QLineEdit>

#include <utility>

namespace kivo {

CommandHistory::CommandHistory(QStringList commands) : commands_(std::move(commands)) {
    if (commands_.size() > kCommandsKept) commands_ = commands_.mid(commands_.size() - kCommandsKept);
    position_ = commands_.size();
}

void CommandHistory::Add(const QString& command) {
    if (!command.isEmpty() && (commands_.isEmpty() || commands_.constLast() != command)) {
        commands_.append(command);
        if (commands_.size() > kCommandsKept) commands_.removeFirst();
    }
    position_ = commands_.size();
    draft_.clear();
}

std::optional<QString> CommandHistory::Older(const QString& shown) {
    if (position_ == 0) return std::nullopt;
    if (position_ == commands_.size()) draft_ = shown;
    return commands_.at(--position_);
}

std::optional<QString> CommandHistory::Newer() {
    if (position_ >= commands_.size()) return std::nullopt;
    ++position_;
    return position_ == commands_.size() ? draft_ : commands_.at(position_);
}

HistoryKeys::HistoryKeys(QLineEdit& box, CommandHistory& history) : QObject(&box), box_(box), history_(history) {
    box.installEventFilter(this);
}

bool HistoryKeys::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &box_ || event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() & ~Qt::KeypadModifier) return false;
    std::optional<QString> text;
    if (key->key() == Qt::Key_Up)
        text = history_.Older(box_.text());
    else if (key->key() == Qt::Key_Down)
        text = history_.Newer();
    else
        return false;
    if (text) box_.setText(*text);
    return true;
}

}  // namespace kivo
