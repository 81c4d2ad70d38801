// kivo-send --find: the printers on a network, one line (or JSON object) each as
// it answers, then the count line.
#pragma once

#include "link/printer_search.h"

#include <QString>

#include <cstdio>
#include <optional>

namespace kivo {

struct SendOptions;

// The network named after --find, or why it is refused: not NETWORK/BITS, or
// wider than a /16.
struct FindNetwork {
    std::optional<Ipv4Network> network;
    QString refusal;
};
[[nodiscard]] FindNetwork ReadFindNetwork(const QString& text);

// The line a found printer gets: "192.168.1.20 port 9100, printer.example, 0.4 ms: Power On".
[[nodiscard]] QString FoundPrinterLine(const FoundPrinter& printer);

// The networks (the one named, else this machine's) and ports a search of the
// options covers, without name lookups; no network when none is named and
// this machine is on none.
[[nodiscard]] SearchPlan SearchPlanOf(const SendOptions& options);

// Runs the search the options ask for; the exit status: 0 when a printer
// answered, 2 when none did.
[[nodiscard]] int RunFind(const SendOptions& options, std::FILE* out, std::FILE* err);

}  // namespace kivo
