#include "send/find_command.h"

#include "send/send_options.h"
#include "send/send_session.h"
#include "send/write_text.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kivo {
namespace {

void Emit(std::FILE* to, const QJsonObject& object) {
    WriteText(to, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}

QJsonObject PrinterObject(const FoundPrinter& printer) {
    return {{"event", "printer"},
            {"address", printer.Address()},
            {"port", printer.port},
            {"name", printer.name},
            {"connectMs", printer.connectMs},
            {"said", QJsonArray::fromStringList(printer.SaidLines())},
            {"bytes", QString::fromLatin1(printer.said.toHex(' ').toUpper())}};
}

}  // namespace

FindNetwork ReadFindNetwork(const QString& text) {
    FindNetwork read;
    read.network = ReadNetwork(text);
    if (!read.network) {
        read.refusal =
            QStringLiteral("--find \"%1\" is no network: give it as NETWORK/BITS, e.g. 192.168.1.0/24").arg(text);
    } else if (read.network->bits < kWidestSearch) {
        read.refusal = QStringLiteral("--find %1 is wider than a /%2: name a smaller network")
                           .arg(read.network->Text())
                           .arg(kWidestSearch);
        read.network.reset();
    }
    return read;
}

QString FoundPrinterLine(const FoundPrinter& printer) {
    QString line = QStringLiteral("%1 port %2").arg(printer.Address()).arg(printer.port);
    if (!printer.name.isEmpty()) line += QStringLiteral(", ") + printer.name;
    line += QStringLiteral(", %1 ms").arg(printer.connectMs, 0, 'f', 1);
    if (const QStringList said = printer.SaidLines(); !said.isEmpty())
        line += QStringLiteral(": ") + said.join(QStringLiteral(", "));
    return line;
}

SearchPlan SearchPlanOf(const SendOptions& options) {
    SearchPlan plan;
    plan.networks =
        options.findNetwork ? std::vector<Ipv4Network>{*options.findNetwork} : NetworksToSearch(InterfaceAddresses());
    if (!options.findPorts.empty()) plan.ports = options.findPorts;
    return plan;
}

int RunFind(const SendOptions& options, std::FILE* out, std::FILE* err) {
    SearchPlan plan = SearchPlanOf(options);
    if (options.findNames) plan.lookup = SystemNameLookup;
    if (plan.networks.empty()) {
        WriteText(err, QStringLiteral("kivo-send: this machine is on no IPv4 network but loopback and link-local: "
                                      "name one, as in --find 192.168.1.0/24\n"));
        return kSendUndelivered;
    }

    PrinterSearch search;
    QObject::connect(&search, &PrinterSearch::PrinterDone, [&](int index) {
        const FoundPrinter& printer = search.Printers()[static_cast<size_t>(index)];
        if (options.json)
            Emit(out, PrinterObject(printer));
        else
            WriteText(out, FoundPrinterLine(printer) + QLatin1Char('\n'));
    });
    // The search runs on the application's event loop; its end ends the loop.
    QObject::connect(
        &search, &PrinterSearch::Finished, QCoreApplication::instance(), [] { QCoreApplication::exit(0); },
        Qt::QueuedConnection);
    search.Start(plan);
    QCoreApplication::exec();

    const auto found = static_cast<qint64>(search.Printers().size());
    const int status = found > 0 ? kSendOk : kSendUndelivered;
    if (options.json)
        Emit(out, {{"event", "done"},
                   {"status", status},
                   {"printers", found},
                   {"tried", search.Tried()},
                   {"seconds", search.Seconds()},
                   {"text", search.CountLine()}});
    else
        WriteText(out, search.CountLine() + QLatin1Char('\n'));
    return status;
}

}  // namespace kivo
