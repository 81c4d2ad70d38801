// The printer's acknowledgements of a TCP stream, read from the system's own
// record of the connection. Kept apart from tcp_stream.cpp: the kernel's
// tcp_info (with its byte counters) and the C library's netinet/tcp.h cannot
// share a file.
#include "platform/socket_errors.h"
#include "platform/tcp_stream.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace platform {

int GetStreamDelivery(int fd, StreamDelivery& delivery, int& error) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        error = ws::ErrnoToWsa(errno);
        return -1;
    }
    // A kernel too old to fill the byte counters leaves them out of the record.
    if (length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
        error = ws::WSAEINVAL;
        return -1;
    }
    // The count includes the connect's SYN, and the FIN once the close is acknowledged.
    delivery.acknowledged = info.tcpi_bytes_acked > 0 ? static_cast<qint64>(info.tcpi_bytes_acked) - 1 : 0;
    delivery.notSent = length >= offsetof(tcp_info, tcpi_notsent_bytes) + sizeof info.tcpi_notsent_bytes
                           ? static_cast<qint64>(info.tcpi_notsent_bytes)
                           : 0;
    return 0;
}

int LimitUnsentBytes(int fd, int bytes) {
    const int value = std::max(bytes, 1);
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &value, sizeof value) == 0 ? 0 : -1;
}

}  // namespace platform
