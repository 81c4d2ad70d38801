// kivo-send on many printers: the same actions on each printer named (or on
// each printer a search found), each on its own connection, at most --parallel
// at once; one progress line while it runs, then one table, a row a printer in
// address order, and one summary line. Its exit status is the worst of theirs.
#pragma once

#include "send/send_session.h"

#include <cstdio>
#include <vector>

namespace kivo {

struct SendOptions;

// The word a printer's status gets in the table: "ok", "fault", "unreachable",
// "not delivered", "unanswered", "timed out", "bad input".
[[nodiscard]] QString StatusWord(const SendResult& result);

// The table and the summary line for the results, in the order given.
[[nodiscard]] QStringList FleetTable(const std::vector<SendResult>& results, double seconds);

// Runs the actions on every printer of the options (or every one --each-found
// finds); the exit status.
[[nodiscard]] int RunFleet(const SendOptions& options, std::FILE* out, std::FILE* err, bool errIsTerminal);

}  // namespace kivo
