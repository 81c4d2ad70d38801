#include "link/commands.h"

#include "link/delivery.h"
#include "link/jobs.h"
#include "link/numbers.h"
#include "link/stock_tickets.h"

#include <QFileInfo>

namespace kivo {
namespace {

using B = CommandBytes;
using C = CopyRule;

// One row a command, in the order of the window's buttons on the form.
constexpr Command kCommands[] = {
    {"CmdText", "Send Text", "--text", "TEXT", "TEXT in Windows-1252", "Sending text =>{text} to IP Address {address}",
     nullptr, B::TypedText},
    {"CmdAscii", "Send Ascii ", "--bytes", "LIST", "byte values, e.g. \"27 64\" or \"0x1B,0x40\"",
     "Sending Ascii =>{text} to IP Address {address}", nullptr, B::ByteList, C::Once, nullptr, false, "7"},
    {"CmdFile", "Send Text File", "--file", "PATH", "the file, byte for byte",
     "Sending file {path} to IP Address {address}", "Sending {count} copies of file {path} to IP Address {address}",
     B::ChosenFile, C::FileCopies},
    {"CmdPcxFile", "Print PCX File", "--pcx", "PATH", "a picture, converted unless a monochrome PCX", "", nullptr,
     B::PcxPlan, C::Once, nullptr, false, nullptr, 1},
    {"CmdVEKTest", "VEK Test Ticket", "--vek-test", nullptr, "the VEK test ticket, each copy numbered",
     "Sending  {path}", nullptr, B::StockFile, C::TicketCopies, "vek_test.txt", true, nullptr, 1},
    {"CmdVekFF", "VEK Form Feed", "--vek-ff", nullptr, "the VEK print command \"<p>\"",
     "Sending an VEK Form Feed to IP Address {address}", nullptr, B::Fixed, C::Once, kVekFormFeed, false, nullptr, 1},
    {"CmdHPTest", "HP Test Ticket", "--hp-test", nullptr, "the HP test ticket", "Sending  {path}", nullptr,
     B::StockFile, C::TicketCopies, "hp_id.prn", false, nullptr, 1},
    {"CmdPclFF", "HP Form Feed", "--hp-ff", nullptr, "the PCL form feed (byte 12)",
     "Sending an PCL Form Feed to IP Address {address}", nullptr, B::Fixed, C::Once, kPclFormFeed, false, nullptr, 1},
};

// The line with its {fields} filled in, in one pass, so text that itself holds
// a "{path}" is left as typed.
QString Fill(const char* pattern, const CommandInput& input, const QString& path) {
    const QString text = QString::fromLatin1(pattern);
    QString out;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype open = text.indexOf(QLatin1Char('{'), i);
        if (open < 0) break;
        const qsizetype close = text.indexOf(QLatin1Char('}'), open);
        out += QStringView(text).mid(i, open - i);
        const QStringView field = QStringView(text).mid(open + 1, close - open - 1);
        if (field == u"text")
            out += input.text;
        else if (field == u"path")
            out += path;
        else if (field == u"count")
            out += input.countText;
        else if (field == u"address")
            out += input.address;
        i = close + 1;
    }
    out += QStringView(text).mid(i);
    return out;
}

QString CopiesRefusal(const Command& command, const QString& countText) {
    if (command.copies == C::FileCopies)
        return QStringLiteral("Nothing sent: # of Copies \"%1\" is not a whole number from %2 to %3")
            .arg(countText)
            .arg(kMinFileCopies)
            .arg(kMaxFileCopies);
    return QStringLiteral("Nothing sent: # of Copies \"%1\" is not a number").arg(countText);
}

}  // namespace

std::span<const Command> Commands() { return kCommands; }

const Command* CommandOfControl(const QString& control) {
    for (const Command& c : kCommands)
        if (control == QLatin1String(c.control)) return &c;
    return nullptr;
}

const Command* CommandOfOption(const QString& option) {
    for (const Command& c : kCommands)
        if (option == QLatin1String(c.option)) return &c;
    return nullptr;
}

bool TakesText(const Command& command) { return command.bytes == B::TypedText || command.bytes == B::ByteList; }

bool TakesCopies(const Command& command) { return command.copies != C::Once; }

QString CommandPath(const Command& command, const CommandInput& input) {
    if (command.bytes != B::StockFile) return input.path;
    const QString name = QString::fromLatin1(command.fixedBytes);
    return input.programFolder.isEmpty() ? StockTicketPath(name) : StockTicketPath(name, input.programFolder);
}

std::optional<long long> CommandCopies(const Command& command, const QString& countText) {
    switch (command.copies) {
    case C::Once: return 1;
    case C::FileCopies: return FileCopies(countText);
    case C::TicketCopies: return TicketCopies(countText);
    }
    return std::nullopt;
}

QString CommandLine(const Command& command, const CommandInput& input) {
    // The copies wording unless the count reads as exactly 1 (1, 1.0, " 1 ").
    const bool several = command.copiesLine && ReadNumber(input.countText) != 1.0;
    return Fill(several ? command.copiesLine : command.line, input, CommandPath(command, input));
}

CommandOutcome RunCommand(const Command& command, const CommandInput& input, const CommandTarget& target) {
    CommandOutcome outcome;
    Console& log = target.console;
    constexpr LogKind kOut = LogKind::Outgoing;
    const auto refuse = [&](const QString& line) {
        log.LogMessage(kOut, line, Severity::Fault);
        outcome.refused = true;
        return outcome;
    };
    // Commands sent once: one job named by the button.
    const auto sendOnce = [&](const QByteArray& bytes, const QString& warning = {}) {
        log.LogMessage(kOut, CommandLine(command, input));
        if (!warning.isEmpty()) log.LogMessage(kOut, warning, Severity::Warning);
        target.beginJob(QString::fromLatin1(command.caption), bytes.size(), 1, false);
        target.sender.SendToPrinter(target.socket, bytes);
        return outcome;
    };

    switch (command.bytes) {
    case B::TypedText: {
        // Characters the code page has no byte for go out as "?"; one line names them.
        const QString unmapped = UnmappedCharactersLine(input.text);
        sendOnce(ToSingleByte(input.text), unmapped);
        return outcome;
    }
    case B::Fixed: return sendOnce(QByteArray(command.fixedBytes));
    case B::ByteList: {
        // Several values go out together, in one send; one bad value stops them all.
        const ByteList values = ReadByteList(input.text);
        if (!values.ok) return refuse(ByteListRefusal(input.text, values));
        return sendOnce(values.bytes);
    }
    case B::PcxPlan:
        target.beginJob(CopiesOf(1, QFileInfo(input.path).fileName()), input.planBytes, 1, true);
        if (input.sendPlan && !input.sendPlan(target.sender, target.socket, log)) outcome.incomplete = true;
        return outcome;
    case B::ChosenFile:
    case B::StockFile: break;
    }

    // Copies of a file. A file's count is checked before its line; a ticket's
    // line comes first, as the ticket is what was asked for.
    const QString path = CommandPath(command, input);
    const std::optional<long long> copies = CommandCopies(command, input.countText);
    if (command.copies == C::TicketCopies) log.LogMessage(kOut, CommandLine(command, input));
    if (!copies) return refuse(CopiesRefusal(command, input.countText));
    if (command.copies != C::TicketCopies) log.LogMessage(kOut, CommandLine(command, input));
    const QString name =
        command.bytes == B::StockFile ? QString::fromLatin1(command.fixedBytes) : QFileInfo(path).fileName();
    target.beginJob(CopiesOf(*copies, name), CopiesBytes(path, *copies, command.vekHeader), *copies, true);
    const CopiesResult sent =
        SendCopies(target.sender, target.socket, path, *copies, command.vekHeader, target.copyEnded, target.filePiece);
    outcome.incomplete = sent.incomplete;
    if (!sent.fileError.isEmpty())
        log.LogMessage(kOut, QStringLiteral("Cannot send file %1: %2").arg(path, sent.fileError), Severity::Fault);
    return outcome;
}

}  // namespace kivo
