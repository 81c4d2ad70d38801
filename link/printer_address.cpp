#include "link/printer_address.h"

namespace kivo {

std::optional<PrinterAddress> ReadPrinterAddress(const QString& text, int defaultPort) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0) return PrinterAddress{text, defaultPort};
    const QStringView digits = QStringView(text).mid(colon + 1);
    if (digits.isEmpty() || digits.size() > 5) return std::nullopt;
    int port = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9') return std::nullopt;
        port = port * 10 + (c.unicode() - u'0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return PrinterAddress{text.left(colon), port};
}

QString PrinterPortRefusal(const QString& text) {
    return QStringLiteral("No printer port in \"%1\": write the address as address:port, the port from 1 to 65535")
        .arg(text);
}

}  // namespace kivo
