// A log's lines as text for the operator to take away: copied with or without
// their times, saved to a file with a header, and the tooltip of one line.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <limits>

namespace kivo {

class LogModel;
class RowSelection;

// The times of log lines as text, in local time, to the millisecond. Keeps the
// text of the last second it was asked for, so the many lines of one second
// cost no date arithmetic.
class TimeText {
public:
    // Local time in ISO 8601 with its offset from UTC, always written out:
    // "2024-05-01T12:34:56.789+02:00", "...56.789+00:00".
    [[nodiscard]] QByteArray Iso(qint64 ms);
    // The time of day: "12:34:56.789".
    [[nodiscard]] QByteArray Clock(qint64 ms);

private:
    // Loads the texts of the second the time falls in; returns its milliseconds.
    int Load(qint64 ms);

    qint64 second_ = std::numeric_limits<qint64>::min();
    QByteArray date_;    // "2024-05-01T"
    QByteArray time_;    // "12:34:56"
    QByteArray offset_;  // "+02:00"
};

// The selected lines in order, one a line, each after its time of day and a tab
// when withTimes.
[[nodiscard]] QString CopyText(const LogModel& log, const RowSelection& rows, bool withTimes);

// What a saved log starts with.
struct LogFileHeader {
    QString program;  // the tool's name and version
    QString logName;  // which of the two logs
    QString printer;  // the printer's address and port
    QDateTime saved;
};

// Writes the header and then every line after its ISO 8601 time and a tab, in
// UTF-8. The file appears under its name only when it was written whole.
// Returns why it could not be saved, or "" when it was.
[[nodiscard]] QString SaveLog(const LogModel& log, const QString& path, const LogFileHeader& header);

// When the line was written; for the printer's lines also their bytes in hex.
[[nodiscard]] QString LineToolTip(const LogModel& log, qsizetype row);

}  // namespace kivo
