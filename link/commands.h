// The printer commands, one row each: the window's button and kivo-send's
// option for it, the line it logs, how its bytes are made and how many copies
// it sends. Both front ends look a command up here and run it through
// RunCommand, so the same command puts the same bytes on the wire and the same
// words in the log, whichever front end runs it.
#pragma once

#include "link/console_port.h"
#include "link/printer_job.h"

#include <QString>

#include <functional>
#include <optional>
#include <span>

namespace kivo {

// How a command's bytes are made.
enum class CommandBytes {
    TypedText,   // the typed text, one byte a character
    ByteList,    // a list of byte values
    Fixed,       // the row's own bytes
    ChosenFile,  // a file the operator chooses, byte for byte
    StockFile,   // a test ticket of the program's folder
    PcxPlan,     // a PCX download, planned by the front end (pcx/)
};

// How many times a command sends its bytes, and what the copies field means to it.
enum class CopyRule {
    Once,
    FileCopies,    // a whole number from -32768 to 32767; none and fewer send nothing
    TicketCopies,  // 1 to 100; another number counts as 1
};

struct Command {
    const char* control;  // the window's button: "CmdText"
    const char* caption;  // its caption: "Send Text"
    const char* option;   // kivo-send's option: "--text"
    const char* value;    // the option's value ("TEXT", "PATH"), or null for none
    const char* help;     // kivo-send's --help line after the option
    // The line logged before the bytes go out; {text}, {path}, {count} and
    // {address} stand for the input. Empty: the front end logs its own lines.
    const char* line;
    const char* copiesLine;  // the line for a copy count other than 1, or null
    CommandBytes bytes;
    CopyRule copies = CopyRule::Once;
    const char* fixedBytes = nullptr;  // Fixed: the bytes; StockFile: the file's name
    bool vekHeader = false;            // the VEK copy header before each copy
    const char* emptyText = nullptr;   // TypedText, ByteList: the text used when none is typed
    // Print commands the command makes itself, per copy: each should get a
    // ticket answer. What a file or a typed text holds is not counted.
    int printCommands = 0;
};

// Every command, in the order of the window's buttons on the form.
[[nodiscard]] std::span<const Command> Commands();
// The command of a window control or a kivo-send option; null for none.
[[nodiscard]] const Command* CommandOfControl(const QString& control);
[[nodiscard]] const Command* CommandOfOption(const QString& option);
// Whether the command reads the text field / the copies field.
[[nodiscard]] bool TakesText(const Command& command);
[[nodiscard]] bool TakesCopies(const Command& command);

// Puts a planned PCX download into a job and says its line; false when nothing
// can go out (its line says why).
using PlanPieces = std::function<bool(PrinterJob& job, Console& console)>;

// What the operator gave a command.
struct CommandInput {
    QString text;           // TypedText, ByteList: the text as typed
    QString countText;      // FileCopies, TicketCopies: the copies as typed
    QString path;           // ChosenFile and PcxPlan: the file; StockFile: found from the row
    QString address;        // the printer's address, for the line
    QString programFolder;  // StockFile: where the tickets are ("" for the program's own)
    qint64 planBytes = 0;   // PcxPlan: the bytes the download puts on the wire
    PlanPieces addPlan;     // PcxPlan: its pieces
};

// The file a StockFile or ChosenFile command sends.
[[nodiscard]] QString CommandPath(const Command& command, const CommandInput& input);
// The count of copies the command sends for that input; nothing when the copies
// text is refused.
[[nodiscard]] std::optional<long long> CommandCopies(const Command& command, const QString& countText);
// The line the command logs for that input (empty for a command without one).
[[nodiscard]] QString CommandLine(const Command& command, const CommandInput& input);

// Logs the command's line and makes its job; a refused input gets its line
// ("Nothing sent: ...") and makes none.
[[nodiscard]] std::optional<PrinterJob> MakeCommandJob(const Command& command, const CommandInput& input,
                                                       Console& console);
// The bytes a command's job puts on the wire for that input (0 when refused).
[[nodiscard]] qint64 CommandPlannedBytes(const Command& command, const CommandInput& input);

}  // namespace kivo
