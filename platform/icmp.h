// The ICMP echo library: an echo request sent without waiting, and the answer
// to it found among what the socket holds, written into a fixed reply record;
// carried out over an ICMP datagram socket where the system allows one
// (net.ipv4.ping_group_range) or a raw socket where the program has the
// privilege (CAP_NET_RAW). Nothing here waits: the caller watches the socket's
// descriptor and keeps the time-out.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace ws {

// IP status codes of an echo.
inline constexpr std::uint32_t IP_SUCCESS = 0;
inline constexpr std::uint32_t IP_BUF_TOO_SMALL = 11001;
inline constexpr std::uint32_t IP_DEST_NET_UNREACHABLE = 11002;
inline constexpr std::uint32_t IP_DEST_HOST_UNREACHABLE = 11003;
inline constexpr std::uint32_t IP_DEST_PROT_UNREACHABLE = 11004;
inline constexpr std::uint32_t IP_DEST_PORT_UNREACHABLE = 11005;
inline constexpr std::uint32_t IP_NO_RESOURCES = 11006;
inline constexpr std::uint32_t IP_BAD_OPTION = 11007;
inline constexpr std::uint32_t IP_HW_ERROR = 11008;
inline constexpr std::uint32_t IP_PACKET_TOO_BIG = 11009;
inline constexpr std::uint32_t IP_REQ_TIMED_OUT = 11010;
inline constexpr std::uint32_t IP_BAD_REQ = 11011;
inline constexpr std::uint32_t IP_BAD_ROUTE = 11012;
inline constexpr std::uint32_t IP_TTL_EXPIRED_TRANSIT = 11013;
inline constexpr std::uint32_t IP_TTL_EXPIRED_REASSEM = 11014;
inline constexpr std::uint32_t IP_PARAM_PROBLEM = 11015;
inline constexpr std::uint32_t IP_SOURCE_QUENCH = 11016;
inline constexpr std::uint32_t IP_OPTION_TOO_BIG = 11017;
inline constexpr std::uint32_t IP_BAD_DESTINATION = 11018;
// Reported only when no ICMP socket could be opened: the system lets this
// program open neither kind.
inline constexpr std::uint32_t IP_GENERAL_FAILURE = 11050;

// Request options and, in a reply, what the reply's IP header carried.
struct IP_OPTION_INFORMATION {
    std::uint8_t Ttl = 0;
    std::uint8_t Tos = 0;
    std::uint8_t Flags = 0;        // IP header flags: 0x2 don't fragment
    std::uint8_t OptionsSize = 0;  // IP options are not supported: must be 0
    std::uint32_t OptionsData = 0;
};
static_assert(sizeof(IP_OPTION_INFORMATION) == 8);

// The 28-byte head of a reply buffer. Pointers are 32-bit: Data holds the offset
// of the echoed data from the start of the buffer (0 when none was copied).
struct ICMP_ECHO_REPLY {
    std::uint32_t Address = 0;        // replying address, network byte order
    std::uint32_t Status = 0;         // IP status code
    std::uint32_t RoundTripTime = 0;  // milliseconds
    std::uint16_t DataSize = 0;       // bytes of echoed data copied to Data
    std::uint16_t Reserved = 0;
    std::uint32_t Data = 0;
    IP_OPTION_INFORMATION Options;
};
static_assert(sizeof(ICMP_ECHO_REPLY) == 28);
static_assert(offsetof(ICMP_ECHO_REPLY, Status) == 4 && offsetof(ICMP_ECHO_REPLY, RoundTripTime) == 8);
static_assert(offsetof(ICMP_ECHO_REPLY, DataSize) == 12 && offsetof(ICMP_ECHO_REPLY, Data) == 16);
static_assert(offsetof(ICMP_ECHO_REPLY, Options) == 20);

// A whole reply buffer for one echo: the head and room for 250 echoed bytes,
// 278 bytes with no padding.
#pragma pack(push, 1)
struct EchoReply {
    ICMP_ECHO_REPLY header;
    std::uint8_t data[250] = {};
};
#pragma pack(pop)
static_assert(sizeof(EchoReply) == 278 && offsetof(EchoReply, data) == 28);

// An open ICMP socket; null stands for none.
struct IcmpFile;
using HANDLE = IcmpFile*;

// The socket kinds IcmpCreateFile may open, tried in this order.
inline constexpr unsigned kIcmpDatagramSocket = 1u;
inline constexpr unsigned kIcmpRawSocket = 2u;
inline constexpr unsigned kIcmpAnySocket = kIcmpDatagramSocket | kIcmpRawSocket;

// Opens an ICMP socket of one of the kinds allowed (a test may allow one kind
// only, or none), non-blocking; null when the system allows none of them.
[[nodiscard]] HANDLE IcmpCreateFile(unsigned kinds = kIcmpAnySocket);
// Closes the socket; false for a null handle.
bool IcmpCloseHandle(HANDLE icmp);
// The socket's descriptor, to watch for readability; -1 for a null handle.
[[nodiscard]] int IcmpDescriptor(HANDLE icmp);

// An echo request that went out: what its answer quotes, and when it left.
struct IcmpRequest {
    std::uint16_t id = 0;
    std::uint16_t sequence = 0;
    std::chrono::steady_clock::time_point sentAt;
};

// Sends one echo request carrying `data` to destination (network byte order)
// without waiting. IP_SUCCESS when the system took it, `request` then naming it;
// else the status of the system's refusal, and nothing left this host. Never
// raises SIGPIPE.
[[nodiscard]] std::uint32_t IcmpSendRequest(HANDLE icmp, std::uint32_t destination, const void* data, std::size_t size,
                                            IcmpRequest& request);

// What IcmpReadAnswer found.
enum class IcmpAnswer {
    None,      // nothing the socket held was about the request
    Answered,  // a reply, or an ICMP error about the request
    Refused,   // this host failed to send it after all: nothing left
};

// Reads, without waiting, all the socket holds, and looks for the answer to
// `request`; packets about anything else are dropped. On Answered or Refused,
// writes the head into reply (and after a reply the echoed data, as much as
// fits), the round-trip time measured from request.sentAt.
[[nodiscard]] IcmpAnswer IcmpReadAnswer(HANDLE icmp, const IcmpRequest& request, EchoReply& reply);

}  // namespace ws
