// The command line of kivo-send: the printer's address, the actions in the
// order given, and how long to wait. Everything an action needs is read and
// checked here, before any connection is made, so bad input sends nothing.
#pragma once

#include "link/printer_search.h"
#include "pcx/pcx_plan.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace kivo {

// One action: exactly what the window's button of the same name sends.
struct SendAction {
    enum class Kind { Text, Bytes, VekFormFeed, PclFormFeed, File, VekTest, HpTest, Pcx };
    Kind kind = Kind::Text;
    QString option;      // as given: "--vek-test"
    QString argument;    // the text, byte list or path as given
    QByteArray bytes;    // Text, Bytes and the form feeds: the bytes
    QString path;        // File, the tickets and Pcx: the file
    long long copies = 1;  // File and the tickets
    PcxPlan plan;        // Pcx: the file as it is, or converted
};

struct SendOptions {
    QString address;
    int port = 9100;
    std::vector<SendAction> actions;
    bool ping = false;
    double quietSeconds = 2;
    std::optional<long long> expect;  // ticket answers to wait for
    double timeoutSeconds = 60;
    double stallSeconds = 10;  // the printer taking nothing for this long gives up
    long long repeat = 1;
    double intervalSeconds = 0;
    bool json = false;
    bool quietOutput = false;
    // --find: the printers on a network instead of a printer's checks.
    bool find = false;
    std::optional<Ipv4Network> findNetwork;  // none: the machine's own networks
    std::vector<quint16> findPorts;          // searched besides 9100
    bool findNames = true;                   // look up the names of those found
};

struct SendCommandLine {
    enum class Outcome { Run, Help, Version, Error };
    Outcome outcome = Outcome::Run;
    SendOptions options;
    QString text;  // Help and Version: what to print; Error: why, one line
};

// The usage text, for --help and after a usage error.
[[nodiscard]] QString SendUsage();

// Reads the arguments (without the program's name). Stock tickets are looked
// for as the window looks for them, from programFolder.
[[nodiscard]] SendCommandLine ReadSendCommandLine(const QStringList& arguments, const QString& programFolder);

// Why an address text is refused before it is looked up (empty, or with a NUL
// in it); empty when it may be looked up.
[[nodiscard]] QString AddressRefusal(const QString& address);

// A picture turned into the printer's PCX without Qt Gui: a PCX of any depth is
// read by our own reader; other pictures are refused with a line saying so.
[[nodiscard]] ConvertedPcx ConvertPcxWithoutGui(const QString& path);

}  // namespace kivo
