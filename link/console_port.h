// What the printer link and the commands need of a front end: its two message
// logs and the address field. The window implements it, kivo-send writes the
// lines to its output, tests keep them in plain lists.
#pragma once

#include "link/status_table.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace kivo {

// The two message logs: what goes out and the program's own news, and what
// comes in from the printer (and Ping's echoes).
enum class LogKind : quint8 { Outgoing, Incoming };

// One line of a decoded printer reply: its text, and the byte it stands for when
// the line names a single byte (-1 for a run of printable text).
struct ReplyLine {
    QString text;
    int byte = -1;
};

class Console {
public:
    virtual ~Console() = default;

    // Appends one line to a log and selects it. The writer says how much the
    // line matters (a fault, a warning, or neither); nothing is read from its words.
    virtual void LogMessage(LogKind kind, const QString& text, Severity severity = Severity::None) = 0;
    // Appends several lines to one log at once, as LogMessage would one by one.
    virtual void LogLines(LogKind kind, const QStringList& lines, Severity severity = Severity::None) {
        for (const QString& line : lines) LogMessage(kind, line, severity);
    }
    // Appends the lines of a decoded printer reply to the incoming log. A window
    // can mark them as the printer's own; by default they are plain lines.
    virtual void LogReply(const std::vector<ReplyLine>& lines) {
        QStringList texts;
        texts.reserve(static_cast<qsizetype>(lines.size()));
        for (const ReplyLine& line : lines) texts.append(line.text);
        LogLines(LogKind::Incoming, texts);
    }
    // The current text of the address field.
    [[nodiscard]] virtual QString AddressText() const = 0;
};

}  // namespace kivo
