// The socket calls over POSIX sockets. This file includes our own header before
// the system's, so the library's names are declared before any system macro.
#include "platform/winsock.h"

#include "platform/async_select.h"
#include "platform/wsa_errno.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>

namespace ws {
namespace {

thread_local int lastError = 0;
int startCount = 0;
bool blocking = false;
bool cancelRequested = false;
std::function<void()> blockingHook;

int Fail(int wsaError) {
    lastError = wsaError;
    return SOCKET_ERROR;
}
int FailErrno() { return Fail(detail::ErrnoToWsa(errno)); }

bool Started() {
    if (startCount > 0) return true;
    lastError = WSANOTINITIALISED;
    return false;
}

// A blocking call: marks this thread as blocking, then lets `step` wait up to
// 50 ms at a time until it has the call's result (nullopt: not yet), giving the
// blocking hook its turn between steps, until a cancellation or the connect
// time-out.
int BlockingWait(const std::function<std::optional<int>(std::chrono::milliseconds)>& step) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    blocking = true;
    cancelRequested = false;
    int result = 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result = WSAETIMEDOUT;
            break;
        }
        if (const std::optional<int> done = step(std::min(left, std::chrono::milliseconds(50)))) {
            result = *done;
            break;
        }
        if (blockingHook) blockingHook();
        if (cancelRequested) {
            result = WSAEINTR;
            break;
        }
    }
    blocking = false;
    cancelRequested = false;
    return result;
}

// Waits for a non-blocking connect to finish, as a blocking call.
int WaitForConnect(int fd) {
    return BlockingWait([fd](std::chrono::milliseconds slice) -> std::optional<int> {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(slice.count()));
        if (ready > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            return detail::ErrnoToWsa(err);
        }
        if (ready < 0 && errno != EINTR) return detail::ErrnoToWsa(errno);
        return std::nullopt;
    });
}

}  // namespace

int WSAStartup(std::uint16_t version, WSADATA* data) {
    const int major = version & 0xFF;
    if (major < 1) return WSAVERNOTSUPPORTED;
    if (data) {
        *data = WSADATA{};
        data->wVersion = 0x0101;
        data->wHighVersion = 0x0202;
        std::strncpy(data->szDescription, "Kivo socket layer over POSIX sockets", sizeof data->szDescription - 1);
        std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
    }
    ++startCount;
    return 0;
}

int WSACleanup() {
    if (startCount == 0) return Fail(WSANOTINITIALISED);
    --startCount;
    return 0;
}

int WSAGetLastError() { return lastError; }
void WSASetLastError(int code) { lastError = code; }

bool WSAIsBlocking() { return blocking; }

int WSACancelBlockingCall() {
    if (!blocking) return Fail(WSAEINVAL);
    cancelRequested = true;
    return 0;
}

std::function<void()> WSASetBlockingHook(std::function<void()> hook) {
    std::swap(hook, blockingHook);
    return hook;
}

SOCKET socket(int af, int type, int protocol) {
    if (!Started()) return INVALID_SOCKET;
    if (af != WS_AF_INET) return Fail(WSAEAFNOSUPPORT);
    if (type != WS_SOCK_STREAM || (protocol != WS_IPPROTO_TCP && protocol != 0)) return Fail(WSAEINVAL);
    const int fd = ::socket(PF_INET, ::SOCK_STREAM | SOCK_CLOEXEC, ::IPPROTO_TCP);
    if (fd < 0) return FailErrno();
    return fd;
}

int closesocket(SOCKET s) {
    if (s < 0) return Fail(WSAENOTSOCK);
    detail::UnregisterAsync(s);
    if (::close(s) != 0) return FailErrno();
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen) {
    if (!Started()) return SOCKET_ERROR;
    if (level != WS_SOL_SOCKET || optname != WS_SO_LINGER) return Fail(WSAEINVAL);
    if (!optval || optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
    linger in;
    std::memcpy(&in, optval, sizeof in);
    const ::linger out{in.l_onoff != 0 ? 1 : 0, in.l_linger};
    if (::setsockopt(s, SOL_SOCKET, SO_LINGER, &out, sizeof out) != 0) return FailErrno();
    return 0;
}

int getsockopt(SOCKET s, int level, int optname, void* optval, int* optlen) {
    if (!Started()) return SOCKET_ERROR;
    if (level != WS_SOL_SOCKET || optname != WS_SO_LINGER) return Fail(WSAEINVAL);
    if (!optval || !optlen || *optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
    ::linger got{};
    socklen_t len = sizeof got;
    if (::getsockopt(s, SOL_SOCKET, SO_LINGER, &got, &len) != 0) return FailErrno();
    const linger out{static_cast<std::uint16_t>(got.l_onoff != 0),
                     static_cast<std::uint16_t>(std::clamp(got.l_linger, 0, 0xFFFF))};
    std::memcpy(optval, &out, sizeof out);
    *optlen = sizeof out;
    return 0;
}

int connect(SOCKET s, const sockaddr_in* name, int namelen) {
    if (!Started()) return SOCKET_ERROR;
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    if (name->sin_family != WS_AF_INET) return Fail(WSAEAFNOSUPPORT);
    ::sockaddr_in addr{};
    addr.sin_family = PF_INET;
    addr.sin_port = name->sin_port;
    addr.sin_addr.s_addr = name->sin_addr.s_addr;

    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return FailErrno();
    if (detail::IsRegistered(s)) {
        // A registered socket never blocks: the outcome arrives as FD_CONNECT.
        if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 0;
        if (errno != EINPROGRESS) return FailErrno();
        detail::AfterConnectStarted(s);
        return Fail(WSAEWOULDBLOCK);
    }

    // A blocking connect, carried out without freezing: the socket is made
    // non-blocking for the attempt and waited on with a bounded poll.
    if (::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno();
    int result = 0;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        result = errno == EINPROGRESS ? WaitForConnect(s) : detail::ErrnoToWsa(errno);
    }
    ::fcntl(s, F_SETFL, flags);
    if (result != 0) return Fail(result);
    return 0;
}

int send(SOCKET s, const char* buf, int len, int flags) {
    if (!Started()) return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
    const ssize_t n = ::send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    const int err = detail::ErrnoToWsa(errno);
    if (err == WSAEWOULDBLOCK) detail::AfterSendRefused(s);
    return Fail(err);
}

int SendFromFile(SOCKET s, int fd, std::int64_t offset, int len) {
    if (!Started()) return SOCKET_ERROR;
    if (len < 0 || offset < 0) return Fail(WSAEFAULT);
    // sendfile has no MSG_NOSIGNAL: a peer that is gone would raise SIGPIPE,
    // even in a call that returns the bytes it sent before it met the reset.
    // The signal is held back for the call, and the one it raised is taken.
    sigset_t pipe{};
    sigset_t previous{};
    sigset_t pending{};
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    // One that the caller already held back is left for the caller.
    bool pendingBefore = false;
    if (::sigismember(&previous, SIGPIPE) == 1) {
        ::sigpending(&pending);
        pendingBefore = ::sigismember(&pending, SIGPIPE) == 1;
    }
    off_t at = static_cast<off_t>(offset);
    const ssize_t n = ::sendfile(s, fd, &at, static_cast<size_t>(len));
    const int error = errno;
    if (!pendingBefore) {
        const timespec now{};
        while (::sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (n >= 0) return static_cast<int>(n);
    switch (error) {
    // The file's side: it cannot be read, or not by the system on our behalf.
    case EIO:
    case EINVAL:
    case ENOSYS:
    case EOVERFLOW:
    case ESPIPE:
    case EBADF: return FILE_NOT_SENDABLE;
    default: break;
    }
    const int err = detail::ErrnoToWsa(error);
    if (err == WSAEWOULDBLOCK) detail::AfterSendRefused(s);
    return Fail(err);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    if (!Started()) return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
    const ssize_t n = ::recv(s, buf, static_cast<size_t>(len), flags);
    const int err = n < 0 ? detail::ErrnoToWsa(errno) : 0;
    detail::AfterRecv(s, err);
    if (n >= 0) return static_cast<int>(n);
    return Fail(err);
}

int UnacknowledgedBytes(SOCKET s) {
    if (!Started()) return SOCKET_ERROR;
    if (s < 0) return Fail(WSAENOTSOCK);
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return FailErrno();
    if (type != ::SOCK_STREAM) return Fail(WSAEINVAL);
    int count = 0;
    if (::ioctl(s, SIOCOUTQ, &count) != 0) return FailErrno();
    return count;
}

int WSAAsyncSelect(SOCKET s, platform::Window* window, unsigned int msg, long events) {
    if (!Started()) return SOCKET_ERROR;
    if (events != 0 && !window) return Fail(WSAEINVAL);
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return FailErrno();
    if (!detail::RegisterAsync(s, window, msg, events)) return FailErrno();
    return 0;
}

std::uint32_t inet_addr(const char* cp) {
    if (!cp) return WS_INADDR_NONE;
    return ::inet_addr(cp);
}

const char* inet_ntoa(in_addr in) {
    thread_local char text[INET_ADDRSTRLEN];
    ::in_addr a{};
    a.s_addr = in.s_addr;
    if (!::inet_ntop(PF_INET, &a, text, sizeof text)) return nullptr;
    return text;
}

namespace {

// One name lookup on a thread of its own. The state is shared, so a lookup
// that is given up on can still finish later without harm.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::vector<std::uint32_t> addresses;
};

void RunLookup(const std::shared_ptr<Lookup>& lookup, const std::string& name) {
    addrinfo hints{};
    hints.ai_family = PF_INET;
    hints.ai_socktype = ::SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<std::uint32_t> addresses;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0) {
        for (addrinfo* ai = found; ai; ai = ai->ai_next)
            if (ai->ai_family == PF_INET && ai->ai_addrlen >= sizeof(::sockaddr_in))
                addresses.push_back(reinterpret_cast<const ::sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
        ::freeaddrinfo(found);
    }
    std::lock_guard lock(lookup->mutex);
    lookup->addresses = std::move(addresses);
    lookup->done = true;
    lookup->finished.notify_all();
}

// Looks a name up like a blocking call: the caller waits, the blocking hook has
// its turns meanwhile, and the wait ends with the lookup, a cancellation or the
// connect time-out.
int ResolveBlocking(const std::string& name, std::vector<std::uint32_t>& addresses) {
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread(RunLookup, lookup, name).detach();
    } catch (const std::system_error&) {
        return WSAENOBUFS;
    }
    return BlockingWait([&](std::chrono::milliseconds slice) -> std::optional<int> {
        std::unique_lock lock(lookup->mutex);
        if (!lookup->finished.wait_for(lock, slice, [&] { return lookup->done; })) return std::nullopt;
        addresses = lookup->addresses;
        return 0;
    });
}

}  // namespace

const hostent* gethostbyname(const char* name) {
    constexpr std::size_t kMaxAddresses = 16;
    thread_local hostent host;
    thread_local char hostName[256];
    thread_local std::uint32_t addresses[kMaxAddresses];
    thread_local char* addressList[kMaxAddresses + 1];
    thread_local char* noAliases[1] = {nullptr};

    if (!Started()) return nullptr;
    if (!name || !*name) {
        lastError = WSAHOST_NOT_FOUND;
        return nullptr;
    }
    std::vector<std::uint32_t> found;
    const int error = ResolveBlocking(name, found);
    if (error != 0 || found.empty()) {
        lastError = error != 0 ? error : WSAHOST_NOT_FOUND;
        return nullptr;
    }
    const std::size_t count = std::min(found.size(), kMaxAddresses);
    for (std::size_t i = 0; i < count; ++i) {
        addresses[i] = found[i];
        addressList[i] = reinterpret_cast<char*>(&addresses[i]);
    }
    addressList[count] = nullptr;
    std::strncpy(hostName, name, sizeof hostName - 1);
    hostName[sizeof hostName - 1] = '\0';
    host.h_name = hostName;
    host.h_aliases = noAliases;
    host.h_addrtype = WS_AF_INET;
    host.h_length = 4;
    host.h_addr_list = addressList;
    return &host;
}

}  // namespace ws
