#include "link/commands.h"

#include "link/code_page.h"
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
        return QStringLiteral("Nothing sent: # of Copies \"%1\" is not a number from %2 to %3")
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

std::optional<PrinterJob> MakeCommandJob(const Command& command, const CommandInput& input, Console& console) {
    constexpr LogKind kOut = LogKind::Outgoing;
    const auto refuse = [&](const QString& line) -> std::optional<PrinterJob> {
        console.LogMessage(kOut, line, Severity::Fault);
        return std::nullopt;
    };
    PrinterJob job;
    job.caption = QString::fromLatin1(command.caption);
    job.what = job.caption;
    // A command with print commands says how the printer answered them.
    job.printCommands = command.printCommands;
    job.reportDone = command.printCommands > 0;
    // Commands sent once: one job named by the button.
    const auto once = [&](QByteArray bytes, const QString& warning = {}) {
        console.LogMessage(kOut, CommandLine(command, input));
        if (!warning.isEmpty()) console.LogMessage(kOut, warning, Severity::Warning);
        job.planned = bytes.size();
        job.AddBytes(std::move(bytes));
        return std::optional<PrinterJob>(std::move(job));
    };

    switch (command.bytes) {
    case B::TypedText:
        // Characters the code page has no byte for go out as "?"; one line names them.
        return once(ToSingleByte(input.text), UnmappedCharactersLine(input.text));
    case B::Fixed: return once(QByteArray(command.fixedBytes));
    case B::ByteList: {
        // Several values go out together, in one send; one bad value stops them all.
        const ByteList values = ReadByteList(input.text);
        if (!values.ok) return refuse(ByteListRefusal(input.text, values));
        return once(values.bytes);
    }
    case B::PcxPlan:
        job.what = CopiesOf(1, QFileInfo(input.path).fileName());
        job.planned = input.planBytes;
        job.reportDone = true;
        if (!input.addPlan || !input.addPlan(job, console)) return std::nullopt;
        return job;
    case B::ChosenFile:
    case B::StockFile: break;
    }

    // Copies of a file. A file's count is checked before its line; a ticket's
    // line comes first, as the ticket is what was asked for.
    const QString path = CommandPath(command, input);
    const std::optional<long long> copies = CommandCopies(command, input.countText);
    if (command.copies == C::TicketCopies) console.LogMessage(kOut, CommandLine(command, input));
    if (!copies) return refuse(CopiesRefusal(command, input.countText));
    if (command.copies != C::TicketCopies) console.LogMessage(kOut, CommandLine(command, input));
    if (*copies <= 0) {
        // A count of none, or fewer, is taken as asked: the line says so.
        console.LogMessage(
            kOut, QStringLiteral("Nothing sent: no copies asked for (# of Copies %1)").arg(input.countText.trimmed()),
            Severity::Warning);
        return std::nullopt;
    }
    const QString name =
        command.bytes == B::StockFile ? QString::fromLatin1(command.fixedBytes) : QFileInfo(path).fileName();
    job.what = CopiesOf(*copies, name);
    job.copies = *copies;
    job.planned = CopiesBytes(path, *copies, command.vekHeader);
    job.printCommands = static_cast<int>(command.printCommands * std::max(*copies, 0LL));
    job.reportDone = true;
    AddCopies(job, path, *copies, command.vekHeader);
    return job;
}

qint64 CommandPlannedBytes(const Command& command, const CommandInput& input) {
    switch (command.bytes) {
    case B::TypedText: return ToSingleByte(input.text).size();
    case B::Fixed: return QByteArrayView(command.fixedBytes).size();
    case B::ByteList: return ReadByteList(input.text).bytes.size();
    case B::PcxPlan: return input.planBytes;
    case B::ChosenFile:
    case B::StockFile: break;
    }
    const std::optional<long long> copies = CommandCopies(command, input.countText);
    return copies ? CopiesBytes(CommandPath(command, input), *copies, command.vekHeader) : 0;
}

}  // namespace kivo
