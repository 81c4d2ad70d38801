// The command line of kivo-send: the printer's address, the actions in the
// order given, and how long to wait. Everything an action needs is read and
// checked here, before any connection is made, so bad input sends nothing.
#pragma once

#include "link/commands.h"
#include "link/printer_fleet.h"
#include "link/printer_search.h"
#include "pcx/pcx_plan.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace kivo {

// One action: a command of the command table, run exactly as the window's
// button of the same name runs it.
struct SendAction {
    const Command* command = nullptr;
    QString option;        // as given: "--vek-test"
    QString argument;      // the text, byte list or path as given
    CommandInput input;    // what the command is run with
    long long copies = 1;  // the copies it sends
    PcxPlan plan;          // --pcx: the file as it is, or converted
};

struct SendOptions {
    QString address;  // the printer; with several, the first
    int port = 9100;
    // Several printers (or --each-found): the same actions on each, at most
    // `parallel` at once, one table at the end.
    std::vector<PrinterTarget> printers;
    bool eachFound = false;  // the printers a search of findNetwork finds
    int parallel = 64;
    std::vector<SendAction> actions;
    bool ping = false;
    bool pcxAsIs = false;  // --pcx files go as they are
    double quietSeconds = 2;
    std::optional<long long> expect;  // ticket answers to wait for, given
    bool noAnswers = false;           // the printer does not answer: wait for none
    double timeoutSeconds = 60;
    // A printer whose acknowledged count does not grow for this long (or three
    // times its longest such pause, when that is longer) is given up on.
    double stallSeconds = 15;
    long long repeat = 1;
    double intervalSeconds = 0;
    bool json = false;
    bool quietOutput = false;
    [[nodiscard]] bool Fleet() const { return eachFound || printers.size() > 1; }
    // --find: the printers on a network instead of a printer's checks.
    bool find = false;
    std::optional<Ipv4Network> findNetwork;  // none: the machine's own networks
    std::vector<quint16> findPorts;          // 9100 and the --find-port ports; none: 9100 alone
    bool findNames = true;                   // look up the names of those found
};

struct SendCommandLine {
    enum class Outcome { Run, Help, Version, Error };
    Outcome outcome = Outcome::Run;
    SendOptions options;
    QString text;  // Help and Version: what to print; Error: why, one line
};

// The usage text, for --help.
[[nodiscard]] QString SendUsage();
// The two lines of a usage error, for standard error.
[[nodiscard]] QString UsageError(const QString& why);
// The ticket answers the actions ask for once: one for each print command they
// make themselves (a form feed, a copy of a test ticket, a PCX download's
// "<p>"), none for what a file or a text happens to hold.
[[nodiscard]] long long PrintCommandCount(const std::vector<SendAction>& actions);

// Reads the arguments (without the program's name). Stock tickets are looked
// for as the window looks for them, from programFolder.
[[nodiscard]] SendCommandLine ReadSendCommandLine(const QStringList& arguments, const QString& programFolder);

// Why an address text is refused before it is looked up (empty, or with a NUL
// in it); empty when it may be looked up.
[[nodiscard]] QString AddressRefusal(const QString& address);

}  // namespace kivo
