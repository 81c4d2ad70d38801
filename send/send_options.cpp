#include "send/send_options.h"

#include "link/code_page.h"
#include "link/jobs.h"
#include "link/stock_tickets.h"
#include "send/find_command.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <functional>

namespace kivo {
namespace {

using Kind = SendAction::Kind;

struct ActionOption {
    const char* name;
    Kind kind;
    bool takesValue;
};

constexpr ActionOption kActionOptions[] = {
    {"--text", Kind::Text, true},           {"--bytes", Kind::Bytes, true},
    {"--vek-ff", Kind::VekFormFeed, false}, {"--hp-ff", Kind::PclFormFeed, false},
    {"--file", Kind::File, true},           {"--vek-test", Kind::VekTest, false},
    {"--hp-test", Kind::HpTest, false},     {"--pcx", Kind::Pcx, true},
};

// Options that take a value, other than the actions.
constexpr const char* kValueOptions[] = {"--copies", "--quiet",  "--expect",   "--timeout",
                                         "--repeat", "--interval", "--stall", "--port", "--find-port"};

bool TakesValue(const QString& name) {
    for (const ActionOption& a : kActionOptions)
        if (name == QLatin1String(a.name)) return a.takesValue;
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

// Fills in what the action sends; the reason it cannot when it cannot.
QString Prepare(SendAction& action, const QString& copiesText, const QString& programFolder) {
    switch (action.kind) {
    case Kind::Text:
        action.bytes = ToSingleByte(action.argument);
        return {};
    case Kind::Bytes: {
        const ByteList list = ReadByteList(action.argument);
        if (!list.ok) return ByteListRefusal(action.argument, list);
        action.bytes = list.bytes;
        return {};
    }
    case Kind::VekFormFeed:
        action.bytes = kVekFormFeed;
        return {};
    case Kind::PclFormFeed:
        action.bytes = kPclFormFeed;
        return {};
    case Kind::File: {
        const std::optional<long long> copies = FileCopies(copiesText);
        if (!copies)
            return QStringLiteral("--copies \"%1\" is not a whole number from %2 to %3 for --file")
                .arg(copiesText)
                .arg(kMinFileCopies)
                .arg(kMaxFileCopies);
        action.copies = *copies;
        action.path = action.argument;
        return FileRefusal(action.path);
    }
    case Kind::VekTest:
    case Kind::HpTest: {
        const std::optional<long long> copies = TicketCopies(copiesText);
        if (!copies) return QStringLiteral("--copies \"%1\" is not a number").arg(copiesText);
        action.copies = *copies;
        action.path = StockTicketPath(action.kind == Kind::VekTest ? QStringLiteral("vek_test.txt")
                                                                   : QStringLiteral("hp_id.prn"),
                                      programFolder);
        return FileRefusal(action.path);
    }
    case Kind::Pcx: {
        action.path = action.argument;
        if (const QString refusal = FileRefusal(action.path); !refusal.isEmpty()) return refusal;
        // No one to ask: a PCX that is not monochrome is converted.
        action.plan = PlanPcxDownload(action.path, {}, ConvertPcxWithoutGui);
        if (action.plan.action == PcxPlan::Action::Nothing) return action.plan.lines.join(QLatin1Char(' '));
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
    return QStringLiteral(
        "Usage: kivo-send [options] ADDRESS ACTION...\n"
        "       kivo-send --find [NETWORK/BITS] [--find-port PORT]... [--json] [--numeric]\n"
        "Connects to a Kivo Systems ticket printer on port 9100, sends the actions in\n"
        "the order given, waits until the printer has taken every byte and answered,\n"
        "prints its answers and exits with a status a script can act on.\n"
        "\n"
        "Actions (each sends exactly what the window's button of that name sends):\n"
        "  --text TEXT       Send Text: TEXT in Windows-1252\n"
        "  --bytes LIST      Send Ascii: byte values, e.g. \"27 64\" or \"0x1B,0x40\"\n"
        "  --vek-ff          VEK Form Feed (\"<p>\")\n"
        "  --hp-ff           HP Form Feed (byte 12)\n"
        "  --file PATH       Send Text File, byte for byte\n"
        "  --vek-test        VEK Test Ticket\n"
        "  --hp-test         HP Test Ticket\n"
        "  --pcx PATH        Print PCX File (a PCX of another depth is converted)\n"
        "  --copies N        copies for the --file, --vek-test and --hp-test after it,\n"
        "                    and for those before the first --copies (file: -32768\n"
        "                    to 32767; tickets: 1 to 100, another number counts as 1)\n"
        "  --ping            four ICMP echoes first, with their report\n"
        "\n"
        "Waiting:\n"
        "  --quiet SECONDS    after the printer took every byte, wait until no answer\n"
        "                     has come for this long (default 2)\n"
        "  --expect N         wait for N ticket answers (ACK, NAK or a fault) instead\n"
        "  --timeout SECONDS  bound on the whole run (default 60)\n"
        "  --stall SECONDS    give up when the printer takes nothing for this long\n"
        "                     (default 10)\n"
        "  --repeat N         run the actions N times on one connection\n"
        "  --interval SECONDS between the runs (default 0)\n"
        "  --port PORT        printer port (default 9100)\n"
        "\n"
        "Output:\n"
        "  --json             one JSON object per event on standard output\n"
        "  --quiet-output     only the summary line\n"
        "  -h, --help         this text\n"

        "  -v, --version      the version\n"        "\n"
        "Finding printers (nothing is sent; each connection is closed unused):\n"
        "  --find [NETWORK/BITS]  list the printers that accept a connection on port\n"
        "                     9100, in NETWORK (at most a /16) or in this machine's\n"
        "                     networks (the /24 around its address in a wider one)\n"
        "  --find-port PORT   search this port too; repeatable\n"
        "  --numeric          no reverse lookup of the printers' names\n"
        "\n"
        "Exit status: 0 every byte taken and no fault (and, with --expect, N ACKs);\n"
        "1 the printer reported a fault; 2 the connect failed or bytes were not\n"
        "delivered; 3 time-out; 64 usage error. --find: 0 a printer answered, 2 none\n"
        "did, 64 a bad network.\n");
}

QString AddressRefusal(const QString& address) {
    if (address.trimmed().isEmpty()) return QStringLiteral("no printer address: give its IP address or host name");
    if (address.contains(QChar(0))) return QStringLiteral("the printer address has a NUL character in it");
    return {};
}

ConvertedPcx ConvertPcxWithoutGui(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    if (IsPictureName(path)) {
        ConvertedPcx refused;
        refused.error = QStringLiteral("kivo-send converts PCX files of any depth, and no other picture: "
                                       "make %1 a PCX first, or print it from the window")
                            .arg(name);
        return refused;
    }
    const DecodedPicture decoded = ReadPcxFile(path);
    if (!decoded.ok()) {
        ConvertedPcx refused;
        refused.error = decoded.error;
        return refused;
    }
    return ConvertGreyToPcx(name, decoded.picture);
}

SendCommandLine ReadSendCommandLine(const QStringList& arguments, const QString& programFolder) {
    SendCommandLine line;
    SendOptions& options = line.options;
    QStringList positional;
    // The copies each action was given: the last --copies before it; the actions
    // before the first --copies take that one ("--vek-test --copies 3").
    std::optional<QString> copiesText;
    std::optional<QString> firstCopiesText;
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
        if (name == QLatin1String("--find")) {
            // The network is optional: the next argument, when it is no option.
            options.find = true;
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

        bool isAction = false;
        for (const ActionOption& a : kActionOptions) {
            if (name != QLatin1String(a.name)) continue;
            SendAction action;
            action.kind = a.kind;
            action.option = name;
            action.argument = value;
            options.actions.push_back(std::move(action));
            copiesOf.push_back(copiesText);
            isAction = true;
        }
        if (isAction) continue;

        const auto seconds = [&](double& into) {
            const std::optional<double> read = ReadSeconds(value);
            if (read) into = *read;
            return read.has_value();
        };
        bool ok = true;
        if (name == QLatin1String("--copies")) {
            copiesText = value;
            if (!firstCopiesText) firstCopiesText = value;
        } else if (name == QLatin1String("--ping")) {
            options.ping = true;
        } else if (name == QLatin1String("--json")) {
            options.json = true;
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
            const std::optional<long long> port = ReadCount(value, 1, 65535);
            if (port) options.port = static_cast<int>(*port);
            ok = port.has_value();
        } else if (name == QLatin1String("--find-port")) {
            const std::optional<long long> port = ReadCount(value, 1, 65535);
            if (port && std::find(options.findPorts.begin(), options.findPorts.end(), *port) == options.findPorts.end())
                options.findPorts.push_back(static_cast<quint16>(*port));
            ok = port.has_value();
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
    if (!options.findPorts.empty()) return Refuse(QStringLiteral("--find-port goes with --find"));
    if (positional.isEmpty()) return Refuse(QStringLiteral("no printer address given"));
    if (positional.size() > 1)
        return Refuse(QStringLiteral("one printer address only; also given: %1").arg(positional.mid(1).join(' ')));
    options.address = positional.first();
    if (const QString why = AddressRefusal(options.address); !why.isEmpty()) return Refuse(why);
    if (options.actions.empty() && !options.ping) return Refuse(QStringLiteral("no action given"));
    for (size_t i = 0; i < options.actions.size(); ++i) {
        SendAction& action = options.actions[i];
        const QString copies = copiesOf[i].value_or(firstCopiesText.value_or(QStringLiteral("1")));
        if (const QString why = Prepare(action, copies, programFolder); !why.isEmpty())
            return Refuse(QStringLiteral("%1: %2").arg(action.option, why));
    }
    return line;
}

}  // namespace kivo
