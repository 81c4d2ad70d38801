#include "ping/ping.h"

#include "link/printer_socket.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <iterator>
#include <utility>

namespace kivo {

namespace {

// Told once, in place of the echoes, when the system lets no echo out.
constexpr char kIcmpNotAllowed[] =
    "No echo was sent: this system lets the program open neither an ICMP datagram socket nor a raw one. "
    "Allow its group in net.ipv4.ping_group_range (sysctl), or give it the cap_net_raw capability.";

constexpr std::pair<std::int32_t, const char*> kStatusTexts[] = {
    {0, "IP Success"},
    {-1, "inet_addr: bad IP format"},
    {500, "ping timeout"},
    {11001, "ip buf too_small"},
    {11002, "ip dest net unreachable"},
    {11003, "ip dest host unreachable"},
    {11004, "ip dest prot unreachable"},
    {11005, "ip dest port unreachable"},
    {11006, "ip no resources"},
    {11007, "ip bad option"},
    {11008, "ip hw_error"},
    {11009, "ip packet too_big"},
    {11010, "IP Request timed out"},
    {11011, "ip bad req"},
    {11012, "ip bad route"},
    {11013, "ip ttl expired transit"},
    {11014, "ip ttl expired reassem"},
    {11015, "ip param_problem"},
    {11016, "ip source quench"},
    {11017, "ip option too_big"},
    {11018, "ip bad destination"},
    {11019, "ip addr deleted"},
    {11020, "ip spec mtu change"},
    {11021, "ip mtu_change"},
    {11022, "ip unload"},
    {11023, "ip addr added"},
    {11050, "ip general failure"},
    {11255, "ip pending"},
};

}  // namespace

QString IcmpStatusText(std::int32_t status) {
    const auto* found = std::find_if(std::begin(kStatusTexts), std::end(kStatusTexts),
                                     [status](const auto& entry) { return entry.first == status; });
    return QString::fromLatin1(found != std::end(kStatusTexts) ? found->second : "unknown  msg returned");
}

namespace {

// The dotted IPv4 address of a text, in network byte order, as inet_addr reads
// it; none for anything else (a host name, "255.255.255.255", a NUL inside).
std::optional<std::uint32_t> PingAddress(const QString& text) {
    // A NUL inside ("127.0.0.1\0junk") makes it no address either.
    const std::uint32_t address = DottedAddress(text);
    if (address == kNoAddress) return std::nullopt;
    return address;
}

// One echo over an ICMP socket of its own: the request goes out at once; the
// socket's notifier reads what comes back, a single-shot timer ends the wait.
// The socket is closed as soon as the echo has ended.
class IcmpEchoWatch : public QObject {
public:
    IcmpEchoWatch(EchoReply& reply, EchoDone done) : reply_(reply), done_(std::move(done)) {
        timeout_.setSingleShot(true);
        timeout_.setTimerType(Qt::PreciseTimer);  // a coarse timer may end the wait early
        connect(&timeout_, &QTimer::timeout, this, [this] {
            // An answer the socket already holds came in time; without one, the echo timed out.
            if (!Read()) End({static_cast<std::int32_t>(ws::IP_REQ_TIMED_OUT), true});
        });
    }
    ~IcmpEchoWatch() override {
        notifier_.reset();  // before its descriptor goes
        ws::IcmpCloseHandle(icmp_);
    }
    IcmpEchoWatch(const IcmpEchoWatch&) = delete;
    IcmpEchoWatch& operator=(const IcmpEchoWatch&) = delete;

    void Start(std::uint32_t address, const QByteArray& payload, unsigned socketKinds) {
        icmp_ = ws::IcmpCreateFile(socketKinds);
        if (!icmp_) return End({static_cast<std::int32_t>(ws::IP_GENERAL_FAILURE), false});
        const std::uint32_t refused = ws::IcmpSendRequest(icmp_, address, payload.constData(),
                                                          static_cast<std::size_t>(payload.size()), request_);
        if (refused != ws::IP_SUCCESS) return End({static_cast<std::int32_t>(refused), false});
        notifier_.emplace(ws::IcmpDescriptor(icmp_), QSocketNotifier::Read);
        connect(&*notifier_, &QSocketNotifier::activated, this, [this] { Read(); });
        timeout_.start(static_cast<int>(kPingTimeoutMs));
    }

private:
    // Ends the echo when the socket holds its answer; whether it did.
    bool Read() {
        const ws::IcmpAnswer answer = ws::IcmpReadAnswer(icmp_, request_, reply_);
        if (answer == ws::IcmpAnswer::None) return false;
        End({static_cast<std::int32_t>(reply_.header.Status), answer == ws::IcmpAnswer::Answered});
        return true;
    }

    void End(EchoResult result) {
        reply_.header.Status = static_cast<std::uint32_t>(result.status);
        if (notifier_) notifier_->setEnabled(false);
        timeout_.stop();
        ws::IcmpCloseHandle(std::exchange(icmp_, nullptr));
        if (done_) std::exchange(done_, {})(result);
    }

    EchoReply& reply_;
    EchoDone done_;
    ws::HANDLE icmp_ = nullptr;
    ws::IcmpRequest request_;
    std::optional<QSocketNotifier> notifier_;
    QTimer timeout_;
};

}  // namespace

std::unique_ptr<QObject> IcmpEcho(std::uint32_t address, const QByteArray& payload, EchoReply& reply, EchoDone done,
                                  unsigned socketKinds) {
    auto echo = std::make_unique<IcmpEchoWatch>(reply, std::move(done));
    echo->Start(address, payload, socketKinds);
    return echo;
}

PingRun::PingRun(Console& console, QString address, EchoStart echo, QObject* parent)
    : QObject(parent), console_(console), address_(std::move(address)), echo_(std::move(echo)) {
    if (!echo_)
        echo_ = [](std::uint32_t to, const QByteArray& payload, EchoReply& reply, EchoDone done) {
            return IcmpEcho(to, payload, reply, std::move(done));
        };
}

PingRun::~PingRun() = default;

void PingRun::Start() {
    if (std::exchange(started_, true)) return;
    if (address_.trimmed().isEmpty()) {
        console_.LogMessage(LogKind::Outgoing,
                            "No printer address to connect to: enter its IP address or host name first",
                            Severity::Fault);
        counts_.badAddress = true;
        QMetaObject::invokeMethod(
            this, [this] { emit Finished(counts_); }, Qt::QueuedConnection);
        return;
    }
    // Lines are joined, never built with QString::arg: a typed "%1" stays text.
    console_.LogMessage(LogKind::Outgoing,
                        "Pinging " + address_ + " with " + QString::number(payload_.size()) + " bytes of data.");
    destination_ = PingAddress(address_);
    counts_.badAddress = !destination_;
    SendEcho();
}

void PingRun::SendEcho() {
    // The record is cleared before each echo, so nothing of an earlier one can
    // pass for this one's result.
    reply_ = EchoReply{};
    // Each echo's end is taken on a later turn of the event loop, so an echo
    // that ends at once neither nests the next one nor ends the run inside Start.
    auto ended = [this](EchoResult result) {
        QMetaObject::invokeMethod(
            this, [this, result] { EchoEnded(result); }, Qt::QueuedConnection);
    };
    if (!destination_) return ended({kBadAddressStatus, false});
    running_ = echo_(*destination_, payload_, reply_, ended);
}

void PingRun::EchoEnded(EchoResult result) {
    running_.reset();
    ++echoes_;
    // Only echoes that went out count as sent: not those to a text that is no
    // address, nor those the system refused to send.
    if (result.sent) ++counts_.sent;
    if (result.status == 0) {
        ++counts_.received;
        const std::uint64_t rtt = reply_.header.RoundTripTime;
        fastest_ = std::min(fastest_, rtt), slowest_ = std::max(slowest_, rtt), total_ += rtt;
        // The size is the 16-bit data size alone; the reserved word beside it is not part of it.
        console_.LogMessage(LogKind::Incoming, "Reply from " + address_ +
                                                   ": bytes=" + QString::number(reply_.header.DataSize) +
                                                   " Time = " + QString::number(reply_.header.RoundTripTime) +
                                                   " ms TTL =" + QString::number(reply_.header.Options.Ttl));
    } else {
        console_.LogMessage(LogKind::Incoming, IcmpStatusText(result.status));
        if (result.status == static_cast<std::int32_t>(ws::IP_GENERAL_FAILURE)) {
            // Every further echo would meet the same refusal.
            counts_.notAllowed = true;
            console_.LogMessage(LogKind::Outgoing, kIcmpNotAllowed, Severity::Fault);
            return Report();
        }
    }
    if (echoes_ < kPingCount) return SendEcho();
    Report();
}

void PingRun::Report() {
    console_.LogMessage(LogKind::Outgoing, "Ping statistics for " + address_);
    console_.LogMessage(LogKind::Outgoing, "Packets: Sent = " + QString::number(counts_.sent) +
                                               " Received = " + QString::number(counts_.received) +
                                               " Lost = " + QString::number(counts_.sent - counts_.received));
    // The round-trip times of the echoes that came back; none, no line.
    if (counts_.received > 0) {
        const auto received = static_cast<std::uint64_t>(counts_.received);
        const std::uint64_t average = (total_ + received / 2) / received;
        console_.LogMessage(LogKind::Outgoing, "Times: Minimum = " + QString::number(fastest_) +
                                                   " ms Maximum = " + QString::number(slowest_) +
                                                   " ms Average = " + QString::number(average) + " ms");
    }
    emit Finished(counts_);
}

}  // namespace kivo
