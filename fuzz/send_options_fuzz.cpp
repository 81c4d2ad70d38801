// Reads an arbitrary kivo-send command line: the input is the arguments, each
// ended by a NUL. A line that is refused says why in one line (line ends in the
// arguments it quotes aside); one that runs
// has an address that may be looked up and copies within
// their bounds. It runs in an empty folder of its own, and no argument names a
// path outside it, so no input makes it read a file of the machine.
#include "link/jobs.h"
#include "send/send_options.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir dir;
    static const bool inside = QDir::setCurrent(dir.path());
    if (!inside) std::abort();
    QStringList arguments;
    for (const QByteArray& piece :
         QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)).split('\0'))
        arguments << QString::fromUtf8(piece);
    for (const QString& argument : arguments)
        if (argument.contains(QLatin1Char('/')) || argument.startsWith(QLatin1Char('~'))) return 0;

    const kivo::SendCommandLine line = kivo::ReadSendCommandLine(arguments, dir.path());
    using Outcome = kivo::SendCommandLine::Outcome;
    // One line, but for line ends the refusal quotes from the arguments.
    qsizetype quotedLineEnds = 0;
    for (const QString& argument : arguments) quotedLineEnds += argument.count(QLatin1Char('\n'));
    if (line.outcome == Outcome::Error && (line.text.isEmpty() || line.text.count(QLatin1Char('\n')) > quotedLineEnds))
        std::abort();
    if (line.outcome != Outcome::Run) return 0;
    const kivo::SendOptions& options = line.options;
    if (!kivo::AddressRefusal(options.address).isEmpty()) std::abort();
    for (const kivo::SendAction& action : options.actions) {
        using kivo::CopyRule;
        if (!action.command) std::abort();
        if (action.command->copies == CopyRule::FileCopies &&
            (action.copies < kivo::kMinFileCopies || action.copies > kivo::kMaxFileCopies))
            std::abort();
        if (action.command->copies == CopyRule::TicketCopies &&
            (action.copies < 1 || action.copies > kivo::kMaxTicketCopies))
            std::abort();
    }
    return 0;
}
