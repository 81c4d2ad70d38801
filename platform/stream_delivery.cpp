// The peer's acknowledgements of a TCP stream, read from the system's own
// record of the connection. Kept apart from winsock.cpp: the kernel's tcp_info
// (with its byte counters) and the C library's netinet/tcp.h cannot share a file.
#include "platform/winsock.h"
#include "platform/wsa_errno.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace ws {

int GetStreamDelivery(SOCKET s, StreamDelivery& delivery) {
    if (s < 0) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        WSASetLastError(detail::ErrnoToWsa(errno));
        return SOCKET_ERROR;
    }
    // A kernel too old to fill the byte counters leaves them out of the record.
    if (length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    // The count includes the connect's SYN, and the FIN once the close is acknowledged.
    delivery.acknowledged = info.tcpi_bytes_acked > 0 ? static_cast<std::int64_t>(info.tcpi_bytes_acked) - 1 : 0;
    delivery.notSent = length >= offsetof(tcp_info, tcpi_notsent_bytes) + sizeof info.tcpi_notsent_bytes
                           ? static_cast<std::int64_t>(info.tcpi_notsent_bytes)
                           : 0;
    return 0;
}

int LimitUnsentBytes(SOCKET s, int bytes) {
    const int value = std::max(bytes, 1);
    if (::setsockopt(s, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &value, sizeof value) != 0) {
        WSASetLastError(detail::ErrnoToWsa(errno));
        return SOCKET_ERROR;
    }
    return 0;
}

}  // namespace ws
