#include "link/printer_address.h"

namespace kivo {

std::optional<PrinterAddress> ReadPrinterAddress(const QString& text, int defaultPort) {
    const QString address = text.trimmed();
    // The first colon: in "host:9101:9102" the port is no number, so the text
    // is refused instead of being looked up as the name "host:9101".
    const qsizetype colon = address.indexOf(QLatin1Char(':'));
    if (colon < 0) return PrinterAddress{address, defaultPort};
    const QStringView digits = QStringView(address).mid(colon + 1);
    if (digits.isEmpty() || digits.size() > 5) return std::nullopt;
    int port = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9') return std::nullopt;
        port = port * 10 + (c.unicode() - u'0');
    }
    if (port < kLowestPrinterPort || port > kHighestPrinterPort) return std::nullopt;
    return PrinterAddress{address.left(colon).trimmed(), port};
}

QString PrinterPortRefusal(const QString& text) {
    const QString address = text.trimmed();
    const QString form = QStringLiteral("write the address as address:port, the port from %1 to %2")
                             .arg(kLowestPrinterPort)
                             .arg(kHighestPrinterPort);
    if (address.count(QLatin1Char(':')) > 1)
        return QStringLiteral("\"%1\" is no printer address: %2").arg(address, form);
    return QStringLiteral("No printer port in \"%1\": %2").arg(address, form);
}

}  // namespace kivo
