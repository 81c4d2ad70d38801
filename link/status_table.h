// The printer's status bytes, one row each: the byte, the name the incoming log
// shows, the short name of the tally, how much it matters, whether the tally
// counts it, and whether it answers a print command. The decoder, the tally, the
// log's colours and kivo-send's summary all read this one table.
#pragma once

#include <QtGlobal>

#include <span>

namespace kivo {

// How much a line matters to the operator: a printer fault, a warning, or neither.
enum class Severity : quint8 { None, Warning, Fault };

struct StatusRow {
    unsigned char byte;
    const char* name;       // "Ticket ACK": the incoming log's line
    const char* shortName;  // "ACK": the tally's word
    Severity severity;
    bool tallied;  // counted by the status tally
    bool answer;   // answers a print command: an ACK, a NAK or a fault
};

// Every status, in the order the tally lists them.
[[nodiscard]] std::span<const StatusRow> StatusRows();
// The row of a status byte, or null for a byte that is no status.
[[nodiscard]] const StatusRow* FindStatus(unsigned char byte);
// The severity of a byte from the printer: its status row's, else none.
[[nodiscard]] Severity StatusSeverity(unsigned char byte);

}  // namespace kivo
