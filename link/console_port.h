// What the printer link and the button handlers need of the main window: its two
// message logs, its responsive wait, an immediate repaint and the address field.
// The window implements it; tests implement it with plain lists.
#pragma once

#include <QString>
#include <QStringList>

namespace kivo {

class Console {
public:
    virtual ~Console() = default;

    // Appends one line to the outgoing log when kind is exactly "O", else to the
    // incoming log, and selects it.
    virtual void LogMessage(const QString& kind, const QString& text) = 0;
    // Appends several lines to one log at once, as LogMessage would one by one.
    virtual void LogLines(const QString& kind, const QStringList& lines) {
        for (const QString& line : lines) LogMessage(kind, line);
    }
    // Waits about that long while the window goes on handling its events.
    virtual void Pause(double seconds) = 0;
    // Repaints the window at once.
    virtual void Repaint() {}
    // The current text of the address field.
    [[nodiscard]] virtual QString AddressText() const = 0;
};

}  // namespace kivo
