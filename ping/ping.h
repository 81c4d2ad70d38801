// The Ping button: four ICMP echoes to the typed address and a report in the
// manner of the system ping command; the single echo; the ICMP status texts.
#pragma once

#include "link/console_port.h"
#include "platform/icmp.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

namespace kivo {

// The 278-byte reply record: the echo's head and room for the echoed data.
using EchoReply = ws::EchoReply;

// What every echo carries, how long it waits and how many one click sends.
inline constexpr char kPingPayload[] = "Kivo Systems Thermal Ticket Printer";
inline constexpr std::uint32_t kPingTimeoutMs = 500;
inline constexpr int kPingCount = 4;
// PingOnce's status for a text that is not a dotted IPv4 address.
inline constexpr std::int32_t kBadAddressStatus = -1;

// One echo to an address in network byte order: fills reply, returns its status.
using EchoFunction = std::function<std::int32_t(std::uint32_t address, const QByteArray& payload, EchoReply& reply)>;

// The click handler of the Ping button: a header line, four echoes to the
// address field (read afresh for each), one line and a repaint per echo, and
// two statistics lines. Works whether or not a printer connection is open.
// Each echo goes through `echo`; an empty one is the real IcmpEcho.
void Cmdping_Click(Console& console, const EchoFunction& echo = {});

// One echo to the address text. 0 for a reply, its details then in reply;
// kBadAddressStatus when inet_addr rejects the text (reply untouched); else the
// echo's IP status. reply is cleared before the echo, so nothing of an earlier
// one can pass for this one's result. An empty echo is the real IcmpEcho.
[[nodiscard]] std::int32_t PingOnce(const QString& address, const QByteArray& payload, EchoReply& reply,
                                    const EchoFunction& echo = {});

// The operator's text for a status of PingOnce; "unknown  msg returned" for
// a status not in the table.
[[nodiscard]] QString IcmpStatusText(std::int32_t status);

// The echo through the ICMP library, with a handle of its own (of the socket
// kinds allowed) and the 500 ms time-out; ws::IP_GENERAL_FAILURE when no ICMP
// socket can be opened.
[[nodiscard]] std::int32_t IcmpEcho(std::uint32_t address, const QByteArray& payload, EchoReply& reply,
                                    unsigned socketKinds = ws::kIcmpAnySocket);

}  // namespace kivo
