#include "ping/ping.h"

#include "link/printer_socket.h"

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

std::int32_t IcmpEcho(std::uint32_t address, const QByteArray& payload, EchoReply& reply, unsigned socketKinds) {
    if (payload.size() > 0xFFFF) {
        reply.header.Status = ws::IP_BAD_REQ;
        return ws::IP_BAD_REQ;
    }
    const ws::HANDLE icmp = ws::IcmpCreateFile(socketKinds);
    if (!icmp) {
        reply.header.Status = ws::IP_GENERAL_FAILURE;
        return ws::IP_GENERAL_FAILURE;
    }
    ws::IcmpSendEcho(icmp, address, payload.constData(), static_cast<std::uint16_t>(payload.size()), nullptr, &reply,
                     sizeof reply, kPingTimeoutMs);
    ws::IcmpCloseHandle(icmp);
    return static_cast<std::int32_t>(reply.header.Status);
}

std::int32_t PingOnce(const QString& address, const QByteArray& payload, EchoReply& reply, const EchoFunction& echo) {
    const QByteArray text = address.toLatin1();
    // A NUL would end the text early: "127.0.0.1\0junk" is not an address.
    if (text.contains('\0')) return kBadAddressStatus;
    const std::uint32_t destination = DottedAddress(address);
    if (destination == kNoAddress) return kBadAddressStatus;
    reply = EchoReply{};
    return echo ? echo(destination, payload, reply) : IcmpEcho(destination, payload, reply);
}

void Cmdping_Click(Console& console, const EchoFunction& echo) {
    if (console.AddressText().trimmed().isEmpty()) {
        console.LogMessage(LogKind::Outgoing,
                           "No printer address to connect to: enter its IP address or host name first",
                           Severity::Fault);
        return;
    }
    const QByteArray payload(kPingPayload);
    EchoReply reply{};
    int received = 0;
    std::uint64_t fastest = UINT64_MAX, slowest = 0, total = 0;
    // Lines are joined, never built with QString::arg: a typed "%1" stays text.
    console.LogMessage(LogKind::Outgoing, "Pinging " + console.AddressText() + " with " +
                                              QString::number(payload.size()) + " bytes of data.");
    // Only echoes that went out count as sent: not those to a text that is no
    // address, nor those the system would not let out.
    int sent = 0;
    for (int echoes = 0; echoes < kPingCount; ++echoes) {
        const QString address = console.AddressText();
        const std::int32_t status = PingOnce(address, payload, reply, echo);
        if (status != kBadAddressStatus && status != static_cast<std::int32_t>(ws::IP_GENERAL_FAILURE)) ++sent;
        if (status == 0) {
            ++received;
            const std::uint64_t rtt = reply.header.RoundTripTime;
            fastest = std::min(fastest, rtt), slowest = std::max(slowest, rtt), total += rtt;
            // The size is the 16-bit data size alone; the reserved word beside it is not part of it.
            console.LogMessage(LogKind::Incoming, "Reply from " + address +
                                                      ": bytes=" + QString::number(reply.header.DataSize) +
                                                      " Time = " + QString::number(reply.header.RoundTripTime) +
                                                      " ms TTL =" + QString::number(reply.header.Options.Ttl));
        } else {
            console.LogMessage(LogKind::Incoming, IcmpStatusText(status));
            if (status == static_cast<std::int32_t>(ws::IP_GENERAL_FAILURE)) {
                // Every further echo would meet the same refusal.
                console.LogMessage(LogKind::Outgoing, kIcmpNotAllowed, Severity::Fault);
                break;
            }
        }
    }
    console.LogMessage(LogKind::Outgoing, "Ping statistics for " + console.AddressText());
    console.LogMessage(LogKind::Outgoing, "Packets: Sent = " + QString::number(sent) +
                                              " Received = " + QString::number(received) +
                                              " Lost = " + QString::number(sent - received));
    // The round-trip times of the echoes that came back; none, no line.
    if (received > 0) {
        const std::uint64_t average =
            (total + static_cast<std::uint64_t>(received) / 2) / static_cast<std::uint64_t>(received);
        console.LogMessage(LogKind::Outgoing, "Times: Minimum = " + QString::number(fastest) +
                                                  " ms Maximum = " + QString::number(slowest) +
                                                  " ms Average = " + QString::number(average) + " ms");
    }
}

}  // namespace kivo
