#include "send/send_options.h"

#include "link/code_page.h"
#include "link/jobs.h"
#include "link/printer_address.h"
#include "link/stock_tickets.h"
#include "pcx/picture.h"
#include "send/find_command.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <functional>

namespace kivo {
namespace {

// Options that take a value, other than the actions.
constexpr const char* kValueOptions[] = {"--copies",   "--quiet", "--expect", "--timeout",   "--repeat",
                                         "--interval", "--stall", "--port",   "--find-port", "--parallel"};

bool TakesValue(const QString& name) {
    if (const Command* command = CommandOfOption(name)) return command->value != nullptr;
    for (const char* option : kValueOptions)
        if (name == QLatin1String(option)) return true;
    return false;
}

// A number of seconds: finite, not negative.
std::optional<double> ReadSeconds(const QString& text) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < 0) return std::nullopt;
    return value;
}

std::optional<long long> ReadCount(const QString& text, long long low, long long high) {
    bool ok = false;
    const long long value = text.trimmed().toLongLong(&ok);
    if (!ok || value < low || value > high) return std::nullopt;
    return value;
}

// A file an action will read: it must be a readable file now.
QString FileRefusal(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) return QStringLiteral("%1: no such file").arg(path);
    if (!info.isFile()) return QStringLiteral("%1: not a file").arg(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("%1: %2").arg(path, file.errorString());
    return {};
}

// Fills in what the action runs with; the reason it cannot when it cannot.
QString Prepare(SendAction& action, const QString& copiesText, const QString& programFolder, bool pcxAsIs) {
    const Command& command = *action.command;
    CommandInput& input = action.input;
    if (TakesText(command))
        input.text =
            action.argument.isEmpty() && command.emptyText ? QString::fromLatin1(command.emptyText) : action.argument;
    if (TakesCopies(command)) {
        input.countText = copiesText;
        const std::optional<long long> copies = CommandCopies(command, copiesText);
        if (!copies && command.copies == CopyRule::FileCopies)
            return QStringLiteral("--copies \"%1\" is not a number from %2 to %3 for %4")
                .arg(copiesText)
                .arg(kMinFileCopies)
                .arg(kMaxFileCopies)
                .arg(action.option);
        if (!copies) return QStringLiteral("--copies \"%1\" is not a number").arg(copiesText);
        action.copies = *copies;
    }
    switch (command.bytes) {
    case CommandBytes::TypedText:
    case CommandBytes::Fixed: return {};
    case CommandBytes::ByteList: {
        const ByteList list = ReadByteList(input.text);
        return list.ok ? QString() : ByteListRefusal(input.text, list);
    }
    case CommandBytes::ChosenFile: input.path = action.argument; return FileRefusal(input.path);
    case CommandBytes::StockFile: input.programFolder = programFolder; return FileRefusal(CommandPath(command, input));
    case CommandBytes::PcxPlan: {
        if (const QString refusal = FileRefusal(action.argument); !refusal.isEmpty()) return refusal;
        // No one to ask: a file that is not a monochrome PCX is converted, as
        // the window's default answer does, and a monochrome PCX whose picture
        // data ends early is refused; --pcx-as-is sends any PCX as it is and
        // refuses anything else.
        action.plan =
            pcxAsIs ? PlanPcxAsIs(action.argument) : PlanPcxDownload(action.argument, {}, ConvertPictureToPcx);
        if (action.plan.action == PcxPlan::Action::Nothing) return action.plan.lines.join(QLatin1Char(' '));
        input = PcxCommandInput(action.plan, {});
        return {};
    }
    }
    return {};
}

SendCommandLine Refuse(const QString& why) {
    SendCommandLine line;
    line.outcome = SendCommandLine::Outcome::Error;
    line.text = why;
    return line;
}

}  // namespace

QString SendUsage() {
    QString actions;
    for (const Command& command : Commands()) {
        QString option = QString::fromLatin1(command.option);
        if (command.value) option += QLatin1Char(' ') + QString::fromLatin1(command.value);
        actions += QStringLiteral("  %1%2: %3\n")
                       .arg(option.leftJustified(18), QString::fromLatin1(command.caption).trimmed(),
                            QString::fromLatin1(command.help));
    }
    return QStringLiteral(
               "Usage: kivo-send [options] ADDRESS... ACTION...\n"
               "       kivo-send [options] --each-found [NETWORK/BITS] ACTION...\n"
               "       kivo-send --find [NETWORK/BITS] [--find-port PORTS]... [--json] [--numeric]\n"
               "Connects to a Kivo Systems ticket printer on port 9100, sends the actions in\n"
               "the order given, waits until the printer has taken every byte and answered,\n"
               "prints its answers and exits with a status a script can act on.\n"
               "\n"
               "Actions (each sends exactly what the window's button of that name sends):\n") +
           actions +
           QStringLiteral(
               "  --copies N        copies for the --file, --vek-test and --hp-test after it,\n"
               "                    and for those before the first --copies (file: -32768\n"
               "                    to 32767; tickets: 1 to 100, another number counts as 1)\n"
               "  --pcx-as-is       send each --pcx file as it is: no conversion, and no\n"
               "                    refusal of a PCX whose picture data ends early\n"
               "  --ping            four ICMP echoes first, with their report\n"
               "\n"
               "Waiting:\n"
               "  By default one ticket answer is expected for each print command the actions\n"
               "  make (a form feed, a copy of a test ticket, a PCX download), after the\n"
               "  printer took every byte; actions that make none wait for quiet instead.\n"
               "  --expect N         wait for N ticket answers (ACK, NAK or a fault) instead\n"
               "  --no-answers       the printer does not answer: wait for no answers\n"
               "  --quiet SECONDS    with no answer expected, wait until no answer has come\n"
               "                     for this long (default 2)\n"
               "  --timeout SECONDS  bound on the whole run (default 60)\n"
               "  --stall SECONDS    give up when the printer takes nothing for this long\n"
               "                     (default 15), or for three times its longest pause\n"
               "                     so far when that is longer\n"
               "  --repeat N         run the actions N times on one connection\n"
               "  --interval SECONDS between the runs (default 0)\n"
               "  --port PORT        printer port (default 9100; or ADDRESS:PORT)\n"
               "  The connect itself gives up after 20 s (status 2), or at --timeout when\n"
               "  that comes first (status 3).\n"
               "\n"
               "Many printers (the same actions on each, each on its own connection; one\n"
               "table at the end, a row a printer; the exit status is the worst of theirs):\n"
               "  ADDRESS ADDRESS... several printers, ADDRESS or ADDRESS:PORT\n"
               "  --each-found [NETWORK/BITS]  every printer a search (as --find) finds\n"
               "  --parallel N       at most N connections at once (default 64)\n"
               "\n"
               "Output:\n"
               "  --json             one JSON object per event on standard output\n"
               "  --quiet-output     only the summary line\n"
               "  -h, --help         this text\n"
               "  -v, --version      the version\n"
               "\n"
               "Finding printers (nothing is sent; each connection is closed unused):\n"
               "  --find [NETWORK/BITS]  list the printers that accept a connection on port\n"
               "                     9100, in NETWORK (at most a /16) or in this machine's\n"
               "                     networks (the /24 around its address in a wider one)\n"
               "  --find-port PORTS  search these ports too: numbers and ranges, e.g. 9101\n"
               "                     or 9101-9102,515; repeatable; at most 64 with 9100\n"
               "  --numeric          no reverse lookup of the printers' names\n"
               "\n"
               "Exit status: 0 every byte taken and no fault (and, with --expect, N ACKs);\n"
               "1 the printer reported a fault; 2 the connect failed or bytes were not\n"
               "delivered; 3 time-out, or print commands left unanswered; 64 usage error.\n"
               "--find: 0 a printer answered, 2 none did, 64 a bad network or port list.\n");
}

QString UsageError(const QString& why) {
    // A usage error sends nothing; say so unless the reason already does.
    QString line = QStringLiteral("kivo-send: ") + why;
    if (!why.contains(QLatin1String("othing sent")) && !why.contains(QLatin1String("othing was sent")))
        line += QStringLiteral("; nothing was sent");
    return line + QStringLiteral("\nTry 'kivo-send --help'.\n");
}

long long PrintCommandCount(const std::vector<SendAction>& actions) {
    long long count = 0;
    for (const SendAction& action : actions) count += action.command->printCommands * std::max(action.copies, 0LL);
    return count;
}

QString AddressRefusal(const QString& address) {
    if (address.trimmed().isEmpty()) return QStringLiteral("no printer address: give its IP address or host name");
    if (address.contains(QChar(0))) return QStringLiteral("the printer address has a NUL character in it");
    return {};
}

SendCommandLine ReadSendCommandLine(const QStringList& arguments, const QString& programFolder) {
    SendCommandLine line;
    SendOptions& options = line.options;
    QStringList positional;
    // The copies each action was given: the last --copies before it; the actions
    // before the first --copies take that one ("--vek-test --copies 3").
    std::optional<QString> copiesText;
    std::optional<QString> firstCopiesText;
    bool portGiven = false;
    std::vector<std::optional<QString>> copiesOf;
    std::optional<QString> findNetworkText;

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString name = arguments[i];
        QString value;
        bool hasValue = false;
        if (name == QLatin1String("--")) {
            positional << arguments.mid(i + 1);
            break;
        }
        if (!name.startsWith(QLatin1Char('-')) || name == QLatin1String("-")) {
            positional << name;
            continue;
        }
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); name.startsWith(QLatin1String("--")) && eq > 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            hasValue = true;
        }
        if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            line.outcome = SendCommandLine::Outcome::Help;
            line.text = SendUsage();
            return line;
        }
        if (name == QLatin1String("-v") || name == QLatin1String("--version")) {
            line.outcome = SendCommandLine::Outcome::Version;
            return line;
        }
        if (name == QLatin1String("--find") || name == QLatin1String("--each-found")) {
            // The network is optional: the next argument, when it is a network.
            (name == QLatin1String("--find") ? options.find : options.eachFound) = true;
            if (!hasValue && i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1Char('-')))
                value = arguments[++i], hasValue = true;
            if (hasValue) findNetworkText = value;
            continue;
        }
        if (TakesValue(name) && !hasValue) {
            if (i + 1 >= arguments.size()) return Refuse(QStringLiteral("%1 needs a value").arg(name));
            value = arguments[++i];
        } else if (!TakesValue(name) && hasValue) {
            return Refuse(QStringLiteral("%1 takes no value").arg(name));
        }

        if (const Command* command = CommandOfOption(name)) {
            SendAction action;
            action.command = command;
            action.option = name;
            action.argument = value;
            options.actions.push_back(std::move(action));
            copiesOf.push_back(copiesText);
            continue;
        }

        const auto seconds = [&](double& into) {
            const std::optional<double> read = ReadSeconds(value);
            if (read) into = *read;
            return read.has_value();
        };
        bool ok = true;
        if (name == QLatin1String("--copies")) {
            copiesText = value;
            if (!firstCopiesText) firstCopiesText = value;
        } else if (name == QLatin1String("--pcx-as-is")) {
            options.pcxAsIs = true;
        } else if (name == QLatin1String("--ping")) {
            options.ping = true;
        } else if (name == QLatin1String("--json")) {
            options.json = true;
        } else if (name == QLatin1String("--no-answers")) {
            options.noAnswers = true;
        } else if (name == QLatin1String("--quiet-output")) {
            options.quietOutput = true;
        } else if (name == QLatin1String("--quiet")) {
            ok = seconds(options.quietSeconds);
        } else if (name == QLatin1String("--timeout")) {
            ok = seconds(options.timeoutSeconds) && options.timeoutSeconds > 0;
        } else if (name == QLatin1String("--stall")) {
            ok = seconds(options.stallSeconds) && options.stallSeconds > 0;
        } else if (name == QLatin1String("--interval")) {
            ok = seconds(options.intervalSeconds);
        } else if (name == QLatin1String("--expect")) {
            options.expect = ReadCount(value, 1, 1'000'000'000);
            ok = options.expect.has_value();
        } else if (name == QLatin1String("--repeat")) {
            const std::optional<long long> repeat = ReadCount(value, 1, 1'000'000'000);
            if (repeat) options.repeat = *repeat;
            ok = repeat.has_value();
        } else if (name == QLatin1String("--port")) {
            const std::optional<long long> port = ReadCount(value, kLowestPrinterPort, kHighestPrinterPort);
            if (!port)
                return Refuse(QStringLiteral("--port \"%1\" is no port the connect can use: give %2 to %3")
                                  .arg(value)
                                  .arg(kLowestPrinterPort)
                                  .arg(kHighestPrinterPort));
            options.port = static_cast<int>(*port);
            portGiven = true;
        } else if (name == QLatin1String("--find-port")) {
            // The dialog's forms ("9101-9102", "9101,515"); 9100 is always tried first.
            SearchPorts read = ReadSearchPorts(
                value, options.findPorts.empty() ? std::vector<quint16>{9100} : std::move(options.findPorts));
            if (!read.refusal.isEmpty()) return Refuse(QStringLiteral("--find-port ") + read.refusal);
            options.findPorts = std::move(read.ports);
        } else if (name == QLatin1String("--parallel")) {
            const std::optional<long long> parallel = ReadCount(value, 1, 4096);
            if (parallel) options.parallel = static_cast<int>(*parallel);
            ok = parallel.has_value();
        } else if (name == QLatin1String("--numeric")) {
            options.findNames = false;
        } else {
            return Refuse(QStringLiteral("unknown option %1").arg(name));
        }
        if (!ok) return Refuse(QStringLiteral("%1 \"%2\" is no valid value").arg(name, value));
    }

    if (options.find) {
        if (!findNetworkText && positional.size() == 1) findNetworkText = positional.takeFirst();
        if (!positional.isEmpty())
            return Refuse(QStringLiteral("--find takes one network; also given: %1").arg(positional.join(' ')));
        if (!options.actions.empty() || options.ping)
            return Refuse(QStringLiteral("--find sends nothing: give it no action"));
        if (findNetworkText) {
            const FindNetwork read = ReadFindNetwork(*findNetworkText);
            if (!read.network) return Refuse(read.refusal);
            options.findNetwork = read.network;
        }
        return line;
    }
    if (options.eachFound) {
        if (!positional.isEmpty())
            return Refuse(QStringLiteral("--each-found finds the printers; also given: %1").arg(positional.join(' ')));
        if (findNetworkText) {
            const FindNetwork read = ReadFindNetwork(*findNetworkText);
            if (!read.network) return Refuse(read.refusal);
            options.findNetwork = read.network;
        }
    } else {
        if (!options.findPorts.empty()) return Refuse(QStringLiteral("--find-port goes with --find or --each-found"));
        if (positional.isEmpty()) return Refuse(QStringLiteral("no printer address given"));
    }
    for (const QString& given : positional) {
        if (const QString why = AddressRefusal(given); !why.isEmpty()) return Refuse(why);
        // ADDRESS:PORT names the port as --port does; two different ports are refused.
        const std::optional<PrinterAddress> target = ReadPrinterAddress(given, options.port);
        if (!target) return Refuse(PrinterPortRefusal(given));
        if (portGiven && target->port != options.port)
            return Refuse(QStringLiteral("two ports given: %1 and --port %2").arg(given).arg(options.port));
        if (const QString why = AddressRefusal(target->host); !why.isEmpty()) return Refuse(why);
        options.printers.push_back({target->host, target->port});
    }
    if (!options.printers.empty()) {
        options.address = options.printers.front().address;
        options.port = options.printers.front().port;
    }
    if (options.actions.empty() && !options.ping) return Refuse(QStringLiteral("no action given"));
    if (options.expect && options.noAnswers)
        return Refuse(QStringLiteral("--expect and --no-answers contradict each other"));
    for (size_t i = 0; i < options.actions.size(); ++i) {
        SendAction& action = options.actions[i];
        const QString copies = copiesOf[i].value_or(firstCopiesText.value_or(QStringLiteral("1")));
        if (const QString why = Prepare(action, copies, programFolder, options.pcxAsIs); !why.isEmpty())
            return Refuse(QStringLiteral("%1: %2").arg(action.option, why));
        action.input.address = options.address;
    }
    return line;
}

}  // namespace kivo
