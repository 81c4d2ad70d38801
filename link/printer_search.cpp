#include "link/printer_search.h"

#include "link/reply_decoder.h"

#include <QRegularExpression>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <mutex>
#include <thread>

namespace kivo {
namespace {

// What one printer may say while it is heard; the rest is not kept.
constexpr qsizetype kMaxSaid = 4096;
// Reverse lookups running at once; a printer found beyond them goes without a name.
constexpr int kMaxLookups = 16;
// How often deadlines are checked while a search runs.
constexpr int kTickMs = 10;

quint32 Mask(int bits) { return bits <= 0 ? 0 : ~quint32(0) << (32 - bits); }

}  // namespace

// ---------------------------------------------------------------- networks

QString Ipv4Text(quint32 address) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

QString Ipv4Network::Text() const { return Ipv4Text(base) + QLatin1Char('/') + QString::number(bits); }

quint32 Ipv4Network::HostCount() const {
    const quint64 size = quint64(1) << (32 - bits);
    return static_cast<quint32>(bits >= 31 ? size : size - 2);
}

quint32 Ipv4Network::Host(quint32 index) const { return base + index + (bits >= 31 ? 0 : 1); }

bool Ipv4Network::Contains(const Ipv4Network& other) const {
    return bits <= other.bits && (other.base & Mask(bits)) == base;
}

std::optional<Ipv4Network> ReadNetwork(const QString& text) {
    const QStringList parts = text.trimmed().split(QLatin1Char('/'));
    if (parts.size() != 2) return std::nullopt;
    // Four decimal numbers 0 to 255, nothing else: inet_pton's strict form.
    in_addr address{};
    if (::inet_pton(AF_INET, parts[0].toLatin1().constData(), &address) != 1) return std::nullopt;
    const QString& bitsText = parts[1];
    if (bitsText.isEmpty() || bitsText.size() > 2 ||
        !std::all_of(bitsText.begin(), bitsText.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    const int bits = bitsText.toInt();
    if (bits > 32) return std::nullopt;
    return Ipv4Network{ntohl(address.s_addr) & Mask(bits), bits};
}

std::vector<InterfaceAddress> InterfaceAddresses() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
        const quint32 address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        const quint32 mask =
            i->ifa_netmask ? ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr) : ~0u;
        out.push_back({address, std::countl_one(mask), (i->ifa_flags & IFF_LOOPBACK) != 0});
    }
    ::freeifaddrs(list);
    return out;
}

std::vector<Ipv4Network> NetworksToSearch(const std::vector<InterfaceAddress>& addresses) {
    std::vector<Ipv4Network> wanted;
    for (const InterfaceAddress& a : addresses) {
        const bool loopback = a.loopback || (a.address >> 24) == 127;
        const bool linkLocal = (a.address >> 16) == 0xA9FE;  // 169.254.0.0/16
        if (loopback || linkLocal) continue;
        const int bits = a.bits < kWidestLocalSearch ? 24 : a.bits;
        wanted.push_back({a.address & Mask(bits), bits});
    }
    // Widest first, so a network inside one already taken is dropped.
    std::stable_sort(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) { return a.bits < b.bits; });
    std::vector<Ipv4Network> networks;
    for (const Ipv4Network& n : wanted)
        if (std::none_of(networks.begin(), networks.end(), [&n](const auto& taken) { return taken.Contains(n); }))
            networks.push_back(n);
    return networks;
}

QString SystemNameLookup(quint32 address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD) !=
        0)
        return {};
    return QString::fromUtf8(host);
}

QStringList FoundPrinter::SaidLines() const { return DecodeReply(said); }

SearchPorts ReadSearchPorts(const QString& text, std::vector<quint16> ports) {
    const auto number = [](const QString& part) -> std::optional<quint16> {
        bool ok = false;
        const uint value = part.toUInt(&ok);
        if (!ok || value < 1 || value > 65535 || !part.front().isDigit()) return std::nullopt;
        return static_cast<quint16>(value);
    };
    SearchPorts read;
    const auto noList = [&read, &text] {
        read.refusal = QStringLiteral(
                           "\"%1\" is no list of ports: give numbers 1 to 65535 and ranges, "
                           "e.g. 9100 or 9100-9102")
                           .arg(text);
        return read;
    };
    const auto before = static_cast<qsizetype>(ports.size());
    std::vector<bool> taken(65536);
    for (quint16 port : ports) taken[port] = true;
    // Counted to the end, so a refusal can say how many ports the text makes.
    qsizetype count = before;
    static const QRegularExpression apart(QStringLiteral("[\\s,]+"));
    const QStringList parts = text.split(apart, Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const QStringList ends = part.split(QLatin1Char('-'));
        const std::optional<quint16> first = ends.size() <= 2 ? number(ends.front()) : std::nullopt;
        const std::optional<quint16> last = ends.size() <= 2 ? number(ends.back()) : std::nullopt;
        if (!first || !last || *last < *first) return noList();
        for (int port = *first; port <= *last; ++port)
            if (!taken[static_cast<size_t>(port)]) {
                taken[static_cast<size_t>(port)] = true;
                if (++count <= kMaxSearchPorts) ports.push_back(static_cast<quint16>(port));
            }
    }
    if (parts.isEmpty()) return noList();
    if (count > kMaxSearchPorts) {
        const QString with = before == 0   ? QString()
                             : before == 1 ? QStringLiteral(" with port %1").arg(ports.front())
                                           : QStringLiteral(" with the %1 ports before it").arg(before);
        read.refusal = QStringLiteral("\"%1\" makes %2 ports to try%3; a search tries at most %4")
                           .arg(text)
                           .arg(count)
                           .arg(with)
                           .arg(kMaxSearchPorts);
    } else {
        read.ports = std::move(ports);
    }
    return read;
}

QString SearchCountLine(qsizetype printers, const SearchPlan& plan, qint64 addressesTried, double seconds,
                        bool stopped) {
    QStringList ports;
    for (quint16 port : plan.ports) ports << QString::number(port);
    QString portText = ports.size() == 1 ? QStringLiteral("port ") + ports.first() : QStringLiteral("ports ");
    if (ports.size() > 1)
        portText += QStringList(ports.mid(0, ports.size() - 1)).join(QStringLiteral(", ")) + QStringLiteral(" and ") +
                    ports.last();
    QStringList networks;
    for (const Ipv4Network& n : plan.networks) networks << n.Text();
    QString networkText = networks.isEmpty() ? QStringLiteral("no network") : networks.first();
    if (networks.size() > 1)
        networkText = QStringList(networks.mid(0, networks.size() - 1)).join(QStringLiteral(", ")) +
                      QStringLiteral(" and ") + networks.last();
    qint64 addresses = 0;
    for (const Ipv4Network& n : plan.networks) addresses += n.HostCount();
    const QString among =
        stopped ? QStringLiteral("%1 of %2").arg(addressesTried).arg(addresses) : QString::number(addresses);
    return QStringLiteral("%1 printer%2 answered on %3 among %4 address%5 of %6, %7 %8 s")
        .arg(printers)
        .arg(printers == 1 ? "" : "s")
        .arg(portText, among)
        .arg(addresses == 1 ? "" : "es")
        .arg(networkText, stopped ? QStringLiteral("stopped after") : QStringLiteral("in"))
        .arg(QString::number(seconds, 'f', 1));
}

// ---------------------------------------------------------------- the search

// One connect under way, or one printer being heard.
struct PrinterSearch::Attempt {
    int fd = -1;
    qint64 host = 0;  // the address's index in the plan
    quint32 address = 0;
    quint16 port = 0;
    qint64 startedNs = 0;
    qint64 deadlineMs = 0;
    int found = -1;  // the printer's index once it accepted
    QSocketNotifier* notifier = nullptr;
};

// Where a lookup thread leaves its name: the search while it lives, null after.
struct PrinterSearch::NameMailbox {
    std::mutex mutex;
    PrinterSearch* search = nullptr;
    int running = 0;
};

PrinterSearch::PrinterSearch(QObject* parent) : QObject(parent), mailbox_(std::make_shared<NameMailbox>()) {
    mailbox_->search = this;
    tick_.setInterval(kTickMs);
    tick_.setTimerType(Qt::PreciseTimer);
    connect(&tick_, &QTimer::timeout, this, &PrinterSearch::Tick);
}

PrinterSearch::~PrinterSearch() {
    {
        const std::lock_guard lock(mailbox_->mutex);
        mailbox_->search = nullptr;
    }
    blockSignals(true);
    CloseAll();
}

void PrinterSearch::Start(SearchPlan plan) {
    // A search that still runs ends unheard: its printers are about to be forgotten.
    const bool blocked = blockSignals(true);
    CloseAll();
    blockSignals(blocked);
    plan_ = std::move(plan);
    if (plan_.ports.empty()) plan_.ports = {9100};
    plan_.maxInFlight = std::max(1, plan_.maxInFlight);
    found_.clear();
    listening_.clear();
    namePending_.clear();
    next_ = tried_ = 0;
    total_ = 0;
    for (const Ipv4Network& n : plan_.networks) total_ += n.HostCount();
    connects_ = total_ * static_cast<qint64>(plan_.ports.size());
    portsLeft_.assign(static_cast<size_t>(total_), static_cast<quint16>(plan_.ports.size()));
    ++generation_;
    countLine_.clear();
    seconds_ = 0;
    running_ = true;
    clock_.start();
    tick_.start();
}

void PrinterSearch::Stop() {
    if (running_) End(true);
}

double PrinterSearch::Seconds() const { return running_ ? static_cast<double>(clock_.nsecsElapsed()) / 1e9 : seconds_; }

void PrinterSearch::Tick() {
    const qint64 now = NowMs();
    // One at a time, looked for afresh: what a signal's receiver does (Stop, say)
    // may change the list.
    while (running_) {
        const auto due =
            std::find_if(live_.begin(), live_.end(), [now](const auto& a) { return a->deadlineMs <= now; });
        if (due == live_.end()) break;
        Attempt& a = **due;
        // A connect that went through while this process waited for the CPU counts.
        if (pollfd ready{a.fd, POLLOUT, 0}; a.found < 0 && ::poll(&ready, 1, 0) == 1) {
            Writable(a);
            continue;
        }
        const bool gaveUp = a.found < 0;  // not accepted in time
        const qint64 host = a.host;
        Finish(a);
        if (gaveUp) Decided(host);
    }
    Pump();
}

bool PrinterSearch::Alive(const Attempt* attempt) const {
    return std::any_of(live_.begin(), live_.end(), [attempt](const auto& a) { return a.get() == attempt; });
}

void PrinterSearch::Pump() {
    while (running_ && next_ < connects_ && static_cast<int>(live_.size()) < plan_.maxInFlight)
        if (!StartOne()) break;
    if (running_ && next_ == connects_ && live_.empty()) End(false);
}

bool PrinterSearch::CountDecided(qint64 host) {
    if (--portsLeft_[static_cast<size_t>(host)] > 0) return false;
    ++tried_;
    return true;
}

void PrinterSearch::Decided(qint64 host) {
    if (CountDecided(host)) emit Progress(tried_, total_);
}

bool PrinterSearch::StartOne() {
    const auto ports = static_cast<qint64>(plan_.ports.size());
    const qint64 host = next_ / ports;
    const quint16 port = plan_.ports[static_cast<size_t>(next_ % ports)];
    quint32 address = 0;
    qint64 rest = host;  // its index within the network it is in
    for (const Ipv4Network& n : plan_.networks) {
        if (rest < n.HostCount()) {
            address = n.Host(static_cast<quint32>(rest));
            break;
        }
        rest -= n.HostCount();
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        // Out of descriptors: try again once a connection here has closed.
        if ((errno == EMFILE || errno == ENFILE) && !live_.empty()) return false;
        ++next_;
        Decided(host);
        return true;
    }
    auto attempt = std::make_unique<Attempt>();
    attempt->host = host;
    ++next_;
    attempt->fd = fd;
    attempt->address = address;
    attempt->port = port;
    attempt->startedNs = clock_.nsecsElapsed();
    attempt->deadlineMs = NowMs() + plan_.connectLimitMs;
    Attempt& a = *attempt;
    live_.push_back(std::move(attempt));

    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        Connected(a);
    } else if (errno == EINPROGRESS) {
        a.notifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(a.notifier, &QSocketNotifier::activated, this, [this, p = &a] { Writable(*p); });
    } else {
        const qint64 done = a.host;
        Finish(a);
        Decided(done);  // refused, or no way there
    }
    return true;
}

void PrinterSearch::Writable(Attempt& a) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(a.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) return Connected(a);
    if (error == ECONNRESET) {
        // Accepted, then reset before this was heard: a listener all the same.
        Connected(a);
        if (Alive(&a)) Finish(a);
    } else {
        const qint64 host = a.host;
        Finish(a);
        Decided(host);
    }
    Pump();
}

void PrinterSearch::Connected(Attempt& a) {
    FoundPrinter printer;
    printer.address = a.address;
    printer.port = a.port;
    printer.connectMs = static_cast<double>(clock_.nsecsElapsed() - a.startedNs) / 1e6;
    const int index = static_cast<int>(found_.size());
    found_.push_back(printer);
    listening_.push_back(true);
    namePending_.push_back(false);
    a.found = index;
    a.deadlineMs = NowMs() + plan_.listenMs;
    if (a.notifier) {
        a.notifier->setEnabled(false);
        a.notifier->deleteLater();
    }
    a.notifier = new QSocketNotifier(a.fd, QSocketNotifier::Read, this);
    connect(a.notifier, &QSocketNotifier::activated, this, [this, p = &a] { Readable(*p); });

    if (plan_.lookup) {
        const std::lock_guard lock(mailbox_->mutex);
        if (mailbox_->running < kMaxLookups) {
            ++mailbox_->running;
            namePending_[static_cast<size_t>(index)] = true;
            std::thread([box = mailbox_, lookup = plan_.lookup, address = a.address, generation = generation_, index] {
                const QString name = lookup(address);
                const std::lock_guard held(box->mutex);
                --box->running;
                // Posted while the search still lives; Qt drops it if the search goes first.
                if (PrinterSearch* search = box->search)
                    QMetaObject::invokeMethod(
                        search, [search, generation, index, name] { search->NameCame(generation, index, name); },
                        Qt::QueuedConnection);
            }).detach();
        }
    }
    // Counted before it is told, so a Stop on its news counts it too.
    const bool addressDone = CountDecided(a.host);
    emit PrinterFound(index);
    if (addressDone && running_) emit Progress(tried_, total_);
}

void PrinterSearch::Readable(Attempt& a) {
    FoundPrinter& printer = found_[static_cast<size_t>(a.found)];
    char buffer[1024];
    bool said = false;
    for (;;) {
        const ssize_t n = ::recv(a.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            const qsizetype room = kMaxSaid - printer.said.size();
            if (room > 0) printer.said.append(buffer, std::min<qsizetype>(room, n)), said = true;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0 && errno == EINTR) continue;
        // Closed or reset by the printer: nothing more to hear.
        if (said) emit PrinterChanged(a.found);
        if (Alive(&a)) Finish(a);
        Pump();
        return;
    }
    if (said) emit PrinterChanged(a.found);
}

void PrinterSearch::Finish(Attempt& a) {
    if (a.notifier) {
        a.notifier->setEnabled(false);
        a.notifier->deleteLater();
        a.notifier = nullptr;
    }
    // A printer heard is closed in order, so its side reads 0, never a reset.
    // Our end goes out first; what it sent last is read; bytes that come even
    // later, which the system answers with a reset, find that end already there.
    if (a.found >= 0) {
        ::shutdown(a.fd, SHUT_WR);
        FoundPrinter& printer = found_[static_cast<size_t>(a.found)];
        char buffer[1024];
        ssize_t n;
        while ((n = ::recv(a.fd, buffer, sizeof buffer, 0)) > 0)
            if (printer.said.size() < kMaxSaid)
                printer.said.append(buffer, std::min<qsizetype>(kMaxSaid - printer.said.size(), n));
    }
    ::close(a.fd);
    const int found = a.found;
    const auto it = std::find_if(live_.begin(), live_.end(), [&a](const auto& p) { return p.get() == &a; });
    if (it != live_.end()) live_.erase(it);
    if (found >= 0) {
        listening_[static_cast<size_t>(found)] = false;
        if (!namePending_[static_cast<size_t>(found)]) MarkComplete(found);
    }
}

void PrinterSearch::NameCame(int generation, int index, const QString& name) {
    if (generation != generation_ || !running_ || !namePending_[static_cast<size_t>(index)]) return;
    namePending_[static_cast<size_t>(index)] = false;
    if (!name.isEmpty()) {
        found_[static_cast<size_t>(index)].name = name;
        emit PrinterChanged(index);
    }
    if (!listening_[static_cast<size_t>(index)]) MarkComplete(index);
}

void PrinterSearch::MarkComplete(int index) {
    found_[static_cast<size_t>(index)].complete = true;
    emit PrinterDone(index);
}

void PrinterSearch::End(bool stopped) {
    running_ = false;
    tick_.stop();
    CloseAll();
    // Names that have not come by now are not waited for.
    for (size_t i = 0; i < found_.size(); ++i)
        if (!found_[i].complete) {
            namePending_[i] = false;
            MarkComplete(static_cast<int>(i));
        }
    seconds_ = static_cast<double>(clock_.nsecsElapsed()) / 1e9;
    countLine_ = SearchCountLine(static_cast<qsizetype>(found_.size()), plan_, tried_, seconds_, stopped);
    emit Finished(stopped);
}

void PrinterSearch::CloseAll() {
    while (!live_.empty()) {
        Attempt& a = *live_.back();
        if (a.notifier) {
            // Not inside its own signal here: Stop and Start come from elsewhere.
            a.notifier->setEnabled(false);
            a.notifier->deleteLater();
            a.notifier = nullptr;
        }
        Finish(a);
    }
}

}  // namespace kivo
