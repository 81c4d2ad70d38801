#include "platform/icmp.h"

#include <time.h>  // linux/errqueue.h needs struct timespec

#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

namespace ws {

struct IcmpFile {
    int fd = -1;
    bool raw = false;  // raw sockets see every ICMP packet and the IP header
};

namespace {

using Clock = std::chrono::steady_clock;


constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kMinIpHeaderSize = 20;
constexpr std::size_t kMaxPacket = 65536;

std::uint16_t Read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void Write16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// The Internet checksum; over a received message, 0 means it is intact.
std::uint16_t Checksum(const std::uint8_t* p, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += Read16(p + i);
    if (n % 2) sum += static_cast<std::uint32_t>(p[n - 1]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// Raw sockets share all ICMP traffic of the host: this process's echoes carry an
// identifier of their own. On datagram sockets the kernel sets it.
std::uint16_t RawIdentifier() {
    static const std::uint16_t id = static_cast<std::uint16_t>(std::random_device{}());
    return id;
}

std::uint16_t NextSequence() {
    static std::atomic<std::uint16_t> sequence{static_cast<std::uint16_t>(std::random_device{}())};
    return sequence.fetch_add(1, std::memory_order_relaxed);
}

std::optional<std::uint32_t> StatusOfIcmpError(int type, int code) {
    switch (type) {
    case ICMP_DEST_UNREACH:
        switch (code) {
        case ICMP_NET_UNREACH:
        case ICMP_NET_UNKNOWN:
        case ICMP_NET_ANO:
        case ICMP_NET_UNR_TOS: return IP_DEST_NET_UNREACHABLE;
        case ICMP_PROT_UNREACH: return IP_DEST_PROT_UNREACHABLE;
        case ICMP_PORT_UNREACH: return IP_DEST_PORT_UNREACHABLE;
        case ICMP_FRAG_NEEDED: return IP_PACKET_TOO_BIG;
        case ICMP_SR_FAILED: return IP_BAD_ROUTE;
        default: return IP_DEST_HOST_UNREACHABLE;
        }
    case ICMP_TIME_EXCEEDED: return code == ICMP_EXC_FRAGTIME ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case ICMP_PARAMETERPROB: return IP_PARAM_PROBLEM;
    case ICMP_SOURCE_QUENCH: return IP_SOURCE_QUENCH;
    default: return std::nullopt;  // redirects and the like say nothing about the echo
    }
}

// A local failure to send, or one the kernel queued for the socket.
std::uint32_t StatusOfSendError(int error) {
    switch (error) {
    case ENETUNREACH: return IP_DEST_NET_UNREACHABLE;
    case EHOSTUNREACH:
    case EHOSTDOWN: return IP_DEST_HOST_UNREACHABLE;
    case EMSGSIZE: return IP_PACKET_TOO_BIG;
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN: return IP_NO_RESOURCES;
    case EACCES:  // a broadcast address
    case EPERM:   // refused by the local firewall
    case EINVAL:
    case EADDRNOTAVAIL: return IP_BAD_DESTINATION;
    default: return IP_HW_ERROR;
    }
}

// What came back for one echo: the reply or an ICMP error about it.
struct Answer {
    std::uint32_t status = IP_SUCCESS;
    std::uint32_t from = 0;  // network byte order
    IP_OPTION_INFORMATION ip;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    bool local = false;  // a failure found on this host, not an answer from the network
};

struct PendingEcho {
    std::uint16_t id = 0;
    std::uint16_t sequence = 0;
};

// Whether an ICMP header with the data after it is the quoted request of this echo.
bool QuotesEcho(const std::uint8_t* icmp, std::size_t n, const PendingEcho& echo, bool checkId) {
    return n >= kIcmpHeaderSize && icmp[0] == ICMP_ECHO && Read16(icmp + 6) == echo.sequence &&
           (!checkId || Read16(icmp + 4) == echo.id);
}

// A packet read from a raw socket: IP header, ICMP message.
std::optional<Answer> ParseRawPacket(const std::uint8_t* p, std::size_t n, const PendingEcho& echo) {
    if (n < kMinIpHeaderSize || p[0] >> 4 != 4) return std::nullopt;
    const std::size_t ipSize = (p[0] & 0x0Fu) * 4u;
    if (ipSize < kMinIpHeaderSize || n < ipSize + kIcmpHeaderSize || p[9] != IPPROTO_ICMP) return std::nullopt;
    const std::uint8_t* icmp = p + ipSize;
    const std::size_t icmpSize = n - ipSize;
    if (Checksum(icmp, icmpSize) != 0) return std::nullopt;

    Answer answer;
    std::memcpy(&answer.from, p + 12, 4);
    answer.ip.Tos = p[1];
    answer.ip.Flags = static_cast<std::uint8_t>(p[6] >> 5);
    answer.ip.Ttl = p[8];
    if (icmp[0] == ICMP_ECHOREPLY) {
        if (Read16(icmp + 4) != echo.id || Read16(icmp + 6) != echo.sequence) return std::nullopt;
        answer.data = icmp + kIcmpHeaderSize;
        answer.size = icmpSize - kIcmpHeaderSize;
        return answer;
    }
    const auto status = StatusOfIcmpError(icmp[0], icmp[1]);
    if (!status) return std::nullopt;
    // The error quotes the IP header and the first 8 bytes of the request it is about.
    const std::uint8_t* quoted = icmp + kIcmpHeaderSize;
    const std::size_t quotedSize = icmpSize - kIcmpHeaderSize;
    if (quotedSize < kMinIpHeaderSize || quoted[9] != IPPROTO_ICMP) return std::nullopt;
    const std::size_t quotedIpSize = (quoted[0] & 0x0Fu) * 4u;
    if (quotedIpSize < kMinIpHeaderSize || quotedSize < quotedIpSize ||
        !QuotesEcho(quoted + quotedIpSize, quotedSize - quotedIpSize, echo, true))
        return std::nullopt;
    answer.status = *status;
    return answer;
}

// A reply read from a datagram socket: ICMP message only, the TTL and TOS in
// control messages. The kernel hands this socket only replies with its identifier.
std::optional<Answer> ParseDatagramReply(const std::uint8_t* p, std::size_t n, msghdr& msg, const PendingEcho& echo) {
    if (n < kIcmpHeaderSize || p[0] != ICMP_ECHOREPLY || Read16(p + 6) != echo.sequence) return std::nullopt;
    Answer answer;
    answer.from = static_cast<const sockaddr_in*>(msg.msg_name)->sin_addr.s_addr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP) continue;
        if (c->cmsg_type == IP_TTL) {
            int ttl = 0;
            std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
            answer.ip.Ttl = static_cast<std::uint8_t>(ttl);
        } else if (c->cmsg_type == IP_TOS) {
            std::memcpy(&answer.ip.Tos, CMSG_DATA(c), 1);
        }
    }
    answer.data = p + kIcmpHeaderSize;
    answer.size = n - kIcmpHeaderSize;
    return answer;
}

// An entry of a datagram socket's error queue; its data is the quoted request.
std::optional<Answer> ParseQueuedError(const std::uint8_t* p, std::size_t n, msghdr& msg, const PendingEcho& echo) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
        sock_extended_err error;
        std::memcpy(&error, CMSG_DATA(c), sizeof error);
        Answer answer;
        if (error.ee_origin == SO_EE_ORIGIN_LOCAL) {
            answer.status = StatusOfSendError(static_cast<int>(error.ee_errno));
            answer.local = true;
            return answer;
        }
        if (error.ee_origin != SO_EE_ORIGIN_ICMP || !QuotesEcho(p, n, echo, false)) return std::nullopt;
        const auto status = StatusOfIcmpError(error.ee_type, error.ee_code);
        if (!status) return std::nullopt;
        answer.status = *status;
        sockaddr_in offender;
        std::memcpy(&offender, SO_EE_OFFENDER(reinterpret_cast<sock_extended_err*>(CMSG_DATA(c))), sizeof offender);
        answer.from = offender.sin_addr.s_addr;
        return answer;
    }
    return std::nullopt;
}

// One message read from an ICMP socket, with its sender and control messages.
struct Message {
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(kMaxPacket);
    sockaddr_in from{};
    alignas(cmsghdr) char control[512];
    iovec io{};
    msghdr header{};

    // Reads the next message of the error queue or of the data queue; its size,
    // or -1 when that queue is empty. A pending socket error with nothing
    // queued is cleared by the read that reports it.
    ssize_t Read(int fd, bool errorQueue) {
        io = {data.data(), data.size()};
        header = {};
        header.msg_name = &from;
        header.msg_namelen = sizeof from;
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        return ::recvmsg(fd, &header, MSG_DONTWAIT | (errorQueue ? MSG_ERRQUEUE : 0));
    }
};

}  // namespace

HANDLE IcmpCreateFile(unsigned kinds) {
    const int on = 1;
    if (kinds & kIcmpDatagramSocket) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd >= 0) {
            if (setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0)
                return new IcmpFile{fd, false};
            ::close(fd);
        }
    }
    if (kinds & kIcmpRawSocket) {
        const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd >= 0) {
            // Let through only replies and the errors that can be about an echo.
            icmp_filter filter{~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_SOURCE_QUENCH) |
                                 (1u << ICMP_TIME_EXCEEDED) | (1u << ICMP_PARAMETERPROB))};
            if (setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) == 0) return new IcmpFile{fd, true};
            ::close(fd);
        }
    }
    return nullptr;
}

bool IcmpCloseHandle(HANDLE icmp) {
    if (!icmp) return false;
    ::close(icmp->fd);
    delete icmp;
    return true;
}

int IcmpDescriptor(HANDLE icmp) { return icmp ? icmp->fd : -1; }

std::uint32_t IcmpSendRequest(HANDLE icmp, std::uint32_t destination, const void* data, std::size_t size,
                              IcmpRequest& request) {
    if (!icmp) return IP_GENERAL_FAILURE;
    if (size > kMaxPacket - kIcmpHeaderSize) return IP_PACKET_TOO_BIG;
    request.id = RawIdentifier();
    request.sequence = NextSequence();
    std::vector<std::uint8_t> packet(kIcmpHeaderSize + size);
    packet[0] = ICMP_ECHO;
    Write16(packet.data() + 4, request.id);
    Write16(packet.data() + 6, request.sequence);
    if (size) std::memcpy(packet.data() + kIcmpHeaderSize, data, size);
    Write16(packet.data() + 2, Checksum(packet.data(), packet.size()));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = destination;
    request.sentAt = Clock::now();
    if (::sendto(icmp->fd, packet.data(), packet.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0)
        return StatusOfSendError(errno);
    return IP_SUCCESS;
}

IcmpAnswer IcmpReadAnswer(HANDLE icmp, const IcmpRequest& request, EchoReply& reply) {
    if (!icmp) return IcmpAnswer::None;
    const PendingEcho echo{request.id, request.sequence};
    Message message;
    // A datagram socket queues the errors about its requests apart from the
    // replies; a raw one reads them as packets.
    for (const bool errorQueue : {true, false}) {
        if (errorQueue && icmp->raw) continue;
        for (ssize_t n; (n = message.Read(icmp->fd, errorQueue)) >= 0;) {
            const auto* p = message.data.data();
            const auto size = static_cast<std::size_t>(n);
            const std::optional<Answer> answer = icmp->raw    ? ParseRawPacket(p, size, echo)
                                                 : errorQueue ? ParseQueuedError(p, size, message.header, echo)
                                                              : ParseDatagramReply(p, size, message.header, echo);
            if (!answer) continue;

            ICMP_ECHO_REPLY head;
            head.Status = answer->status;
            if (answer->local) {
                reply.header = head;
                return IcmpAnswer::Refused;
            }
            const std::size_t copied = std::min(answer->size, sizeof reply.data);
            head.Address = answer->from;
            head.RoundTripTime = static_cast<std::uint32_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - request.sentAt).count());
            head.DataSize = static_cast<std::uint16_t>(copied);
            head.Data = copied ? sizeof(ICMP_ECHO_REPLY) : 0;
            head.Options = answer->ip;
            reply.header = head;
            if (copied) std::memcpy(reply.data, answer->data, copied);
            return IcmpAnswer::Answered;
        }
    }
    return IcmpAnswer::None;
}

}  // namespace ws
