// Finding the printers on a network: a TCP connect to the printer port of every
// address, many at once on the event loop, each given a short time. Whoever
// accepts is listed with its connect time, what it said on its own in the first
// moments, and its name when a reverse lookup brings one back in time. Nothing
// is ever sent: each connection is closed in order once heard.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kivo {

// An IPv4 network: its first address (host byte order) and its prefix length.
struct Ipv4Network {
    quint32 base = 0;
    int bits = 32;

    [[nodiscard]] QString Text() const;  // "192.168.1.0/24"
    // The addresses a search tries: every one but the network's own and its
    // broadcast address, except in a /31 or /32, where every address is a host.
    [[nodiscard]] quint32 HostCount() const;
    [[nodiscard]] quint32 Host(quint32 index) const;
    [[nodiscard]] bool Contains(const Ipv4Network& other) const;
    bool operator==(const Ipv4Network&) const = default;
};

// The widest network a search takes when it is named: a /16.
inline constexpr int kWidestSearch = 16;
// A network of the machine's own wider than this is searched only in the /24
// around the machine's address.
inline constexpr int kWidestLocalSearch = 22;

// "192.168.1.0/24", or any address of the network with its bits
// ("192.168.1.7/24"); nothing for any other text.
[[nodiscard]] std::optional<Ipv4Network> ReadNetwork(const QString& text);
[[nodiscard]] QString Ipv4Text(quint32 address);

// One IPv4 address of one of the machine's interfaces.
struct InterfaceAddress {
    quint32 address = 0;
    int bits = 32;
    bool loopback = false;
};
// The IPv4 addresses of the machine's interfaces that are up.
[[nodiscard]] std::vector<InterfaceAddress> InterfaceAddresses();
// The networks a search of "this machine's networks" covers: loopback and
// link-local addresses are passed over, a network wider than a /22 gives the
// /24 around the machine's address, and a network inside another is searched once.
[[nodiscard]] std::vector<Ipv4Network> NetworksToSearch(const std::vector<InterfaceAddress>& addresses);

// A blocking reverse lookup, run away from the event loop: the name of an
// address (host byte order), or "" when it has none.
using NameLookup = std::function<QString(quint32 address)>;
// The system's own reverse lookup (hosts file, DNS and what else it is set to ask).
[[nodiscard]] QString SystemNameLookup(quint32 address);

// A printer that accepted the connection.
struct FoundPrinter {
    quint32 address = 0;
    quint16 port = 0;
    double connectMs = 0;   // from the connect call to the accepted connection
    QByteArray said;        // what it sent on its own while it was heard
    QString name;           // its reverse-lookup name, when one came in time
    bool complete = false;  // heard out, and its name came or no longer will

    [[nodiscard]] QString Address() const { return Ipv4Text(address); }
    // What it said, decoded as the incoming log shows it, one entry per line.
    [[nodiscard]] QStringList SaidLines() const;
};

// The most ports one search tries at each address.
inline constexpr int kMaxSearchPorts = 64;

// Ports as typed for a search: numbers 1 to 65535 and ranges ("9100-9102"), apart
// by spaces or commas. They are added to `ports`, each once and in the order
// given, at most kMaxSearchPorts in all; or `refusal` says why the text is refused.
struct SearchPorts {
    std::vector<quint16> ports;
    QString refusal;  // "" when read
};
[[nodiscard]] SearchPorts ReadSearchPorts(const QString& text, std::vector<quint16> ports = {});

struct SearchPlan {
    std::vector<Ipv4Network> networks;
    std::vector<quint16> ports{9100};
    int connectLimitMs = 300;  // a connect not accepted by then is given up
    int listenMs = 300;        // how long a printer that accepted is heard
    int maxInFlight = 256;     // connections open at once, so descriptors too
    NameLookup lookup;         // none: no names
};

// The line that ends a search: "3 printers answered on port 9100 among 254
// addresses of 192.168.1.0/24, in 1.2 s".
[[nodiscard]] QString SearchCountLine(qsizetype printers, const SearchPlan& plan, qint64 addressesTried, double seconds,
                                      bool stopped);

class PrinterSearch : public QObject {
    Q_OBJECT
public:
    explicit PrinterSearch(QObject* parent = nullptr);
    ~PrinterSearch() override;

    // Starts a search (ending one that runs, without its Finished). Everything
    // it reports comes from the event loop, after Start has returned.
    void Start(SearchPlan plan);
    // Ends the search now; the printers found so far stay listed.
    void Stop();

    [[nodiscard]] bool Running() const { return running_; }
    [[nodiscard]] const SearchPlan& Plan() const { return plan_; }
    [[nodiscard]] const std::vector<FoundPrinter>& Printers() const { return found_; }
    // Addresses tried (every port of them accepted, refused or given up), of
    // all the search covers: what the progress and the count line both count.
    [[nodiscard]] qint64 Tried() const { return tried_; }
    [[nodiscard]] qint64 Total() const { return total_; }
    // Connections open now.
    [[nodiscard]] int InFlight() const { return static_cast<int>(live_.size()); }
    [[nodiscard]] double Seconds() const;
    // The count line of the last search that ended; "" while one runs.
    [[nodiscard]] const QString& CountLine() const { return countLine_; }

signals:
    void PrinterFound(int index);               // a printer accepted; it is being heard
    void PrinterChanged(int index);             // it said something, or its name came
    void PrinterDone(int index);                // its entry is final
    void Progress(qint64 tried, qint64 total);  // addresses, as Tried() and Total()
    void Finished(bool stopped);

private:
    struct Attempt;
    struct NameMailbox;

    void Tick();
    void Pump();
    bool StartOne();
    // One connect to the address `host` (its index in the plan) is decided;
    // the address is tried once all its ports are. CountDecided only counts,
    // and says whether the address is now tried; Decided tells it too.
    bool CountDecided(qint64 host);
    void Decided(qint64 host);
    void Connected(Attempt& attempt);
    void Writable(Attempt& attempt);
    void Readable(Attempt& attempt);
    // Closes the connection and forgets the attempt; the attempt goes too.
    void Finish(Attempt& attempt);
    [[nodiscard]] bool Alive(const Attempt* attempt) const;
    void NameCame(int generation, int index, const QString& name);
    void MarkComplete(int index);
    void End(bool stopped);
    void CloseAll();
    [[nodiscard]] qint64 NowMs() const { return clock_.elapsed(); }

    SearchPlan plan_;
    std::vector<std::unique_ptr<Attempt>> live_;
    std::vector<FoundPrinter> found_;
    std::vector<bool> listening_;    // per found printer: still being heard
    std::vector<bool> namePending_;  // per found printer: its lookup has not come back
    qint64 next_ = 0;                // the next connect to start, of connects_
    qint64 connects_ = 0;            // addresses times ports
    qint64 tried_ = 0;
    qint64 total_ = 0;
    std::vector<quint16> portsLeft_;  // per address: connects not yet decided
    bool running_ = false;
    int generation_ = 0;
    QElapsedTimer clock_;
    double seconds_ = 0;
    QTimer tick_;
    QString countLine_;
    std::shared_ptr<NameMailbox> mailbox_;
};

}  // namespace kivo
