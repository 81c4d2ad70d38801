// The Ping button: four ICMP echoes to the typed address, one after another on
// the event loop, and a report in the manner of the system ping command; the
// single echo; the ICMP status texts.
#pragma once

#include "link/console_port.h"
#include "platform/icmp.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace kivo {

// The 278-byte reply record: the echo's head and room for the echoed data.
using EchoReply = ws::EchoReply;

// What every echo carries, how long it waits and how many one run sends.
inline constexpr char kPingPayload[] = "Kivo Systems Thermal Ticket Printer";
inline constexpr std::uint32_t kPingTimeoutMs = 500;
inline constexpr int kPingCount = 4;
// The status of an echo to a text that is not a dotted IPv4 address.
inline constexpr std::int32_t kBadAddressStatus = -1;

// What one echo came to: its status (0 for a reply, whose details are then in
// the record; else an IP status), and whether the request left this host.
struct EchoResult {
    std::int32_t status = 0;
    bool sent = true;
};
using EchoDone = std::function<void(EchoResult)>;

// Starts one echo to an address in network byte order, the reply going into
// `reply`, and returns what carries it out. `done` is called once, at once or
// later from the event loop, when the echo has ended; destroying the returned
// object ends the echo unfinished, and `done` is then never called.
using EchoStart = std::function<std::unique_ptr<QObject>(std::uint32_t address, const QByteArray& payload,
                                                         EchoReply& reply, EchoDone done)>;

// The echo through the ICMP library: a socket of its own (of the kinds allowed),
// watched on the event loop, and a 500 ms time-out (IP_REQ_TIMED_OUT). No socket
// that can be opened: ws::IP_GENERAL_FAILURE, not sent.
[[nodiscard]] std::unique_ptr<QObject> IcmpEcho(std::uint32_t address, const QByteArray& payload, EchoReply& reply,
                                                EchoDone done, unsigned socketKinds = ws::kIcmpAnySocket);

// The operator's text for an echo's status; "unknown  msg returned" for a
// status not in the table.
[[nodiscard]] QString IcmpStatusText(std::int32_t status);

// What a run came to.
struct PingCounts {
    int sent = 0;             // echoes that left this host
    int received = 0;         // replies
    bool badAddress = false;  // the text was empty or no IPv4 address: nothing was tried
    bool notAllowed = false;  // the system lets the program open no ICMP socket
};

// One press of the Ping button: a header line, four echoes to the address, one
// after another, each with its line in the incoming log, and the statistics.
// Nothing waits in place: each echo ends on the event loop while the window, and
// any send, go on. Works whether or not a printer connection is open.
class PingRun : public QObject {
    Q_OBJECT
public:
    // Pings `address` (the address field's text when the run starts: it is the
    // one shown in every line, whatever the field says later), reporting to
    // `console`. An empty `echo` is the real IcmpEcho.
    PingRun(Console& console, QString address, EchoStart echo = {}, QObject* parent = nullptr);
    ~PingRun() override;

    // Writes the header and sends the first echo; at most once.
    void Start();

signals:
    // The report is written. Comes from the event loop, never from within Start.
    void Finished(const kivo::PingCounts& counts);

private:
    void SendEcho();
    void EchoEnded(EchoResult result);
    void Report();

    Console& console_;
    const QString address_;
    EchoStart echo_;
    const QByteArray payload_{kPingPayload};
    std::optional<std::uint32_t> destination_;
    EchoReply reply_{};
    std::unique_ptr<QObject> running_;  // the echo on its way
    int echoes_ = 0;
    PingCounts counts_;
    std::uint64_t fastest_ = UINT64_MAX, slowest_ = 0, total_ = 0;
    bool started_ = false;
};

}  // namespace kivo
