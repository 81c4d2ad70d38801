// The printer's address as the operator writes it: a host (dotted IPv4 or a
// name), or a host and a port, "10.0.0.192:9101", for print servers that serve
// several printers on 9100, 9101 and 9102.
#pragma once

#include <QString>

#include <optional>

namespace kivo {

inline constexpr int kPrinterPort = 9100;
// The ports the connect can open: port 0 is no port, and 65535 goes into the
// address as 0xFFFF, which the socket library takes for a failure.
inline constexpr int kLowestPrinterPort = 1;
inline constexpr int kHighestPrinterPort = 65534;

struct PrinterAddress {
    QString host;
    int port = kPrinterPort;
};

// The host and port of "host" (the port is `defaultPort`) or "host:port" (the
// port in decimal digits, kLowestPrinterPort to kHighestPrinterPort). Blanks
// around the text and around the host are dropped. Nothing when the text after
// the first colon is no such port.
[[nodiscard]] std::optional<PrinterAddress> ReadPrinterAddress(const QString& text, int defaultPort = kPrinterPort);

// The line that says why an address was refused.
[[nodiscard]] QString PrinterPortRefusal(const QString& text);

}  // namespace kivo
