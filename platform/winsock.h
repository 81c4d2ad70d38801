// The socket library as the printer link sees it: the Winsock 1.1 calls, their
// results and error codes, carried out over POSIX sockets.
//
// Handles are plain 32-bit descriptors. Every failing call returns -1 (or the
// call's own failure value) and leaves a WSA error code for WSAGetLastError().
// No call ever raises SIGPIPE.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {
class Window;
}

namespace ws {

using SOCKET = std::int32_t;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;
// The library's own values. They carry a WS_ prefix because the system headers
// define the plain names as macros with other values.
inline constexpr std::uint32_t WS_INADDR_NONE = 0xFFFFFFFFu;
inline constexpr int WS_AF_INET = 2;
inline constexpr int WS_SOCK_STREAM = 1;
inline constexpr int WS_IPPROTO_TCP = 6;
inline constexpr int WS_SOL_SOCKET = 0xFFFF;
inline constexpr int WS_SO_LINGER = 0x0080;

// Socket events, in the low word of a socket message's lParam.
inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE = 0x20;

// Error codes, as the library reports them.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;

// A blocking connect gives up after this long, as a timed-out connect.
inline constexpr int kConnectTimeoutMs = 20000;

struct WSADATA {
    std::uint16_t wVersion = 0;
    std::uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
};

struct in_addr {
    std::uint32_t s_addr = 0;  // network byte order
};

// The 16-byte IPv4 address record of the library.
struct sockaddr_in {
    std::int16_t sin_family = 0;
    std::uint16_t sin_port = 0;  // network byte order
    in_addr sin_addr;
    char sin_zero[8] = {};
};
static_assert(sizeof(sockaddr_in) == 16);

// The 4-byte linger record of the library.
struct linger {
    std::uint16_t l_onoff = 0;
    std::uint16_t l_linger = 0;
};
static_assert(sizeof(linger) == 4);

struct hostent {
    const char* h_name = nullptr;
    char** h_aliases = nullptr;
    std::int16_t h_addrtype = 0;
    std::int16_t h_length = 0;
    char** h_addr_list = nullptr;
};

int WSAStartup(std::uint16_t version, WSADATA* data);
int WSACleanup();
[[nodiscard]] int WSAGetLastError();
void WSASetLastError(int code);

// Whether a blocking call (the connect of a socket not yet registered) is in
// progress on this thread, and its cancellation: the call then fails with WSAEINTR.
[[nodiscard]] bool WSAIsBlocking();
int WSACancelBlockingCall();
// Called repeatedly while a blocking call waits, so the window can repaint.
// Returns the hook it replaces; an empty hook just waits.
std::function<void()> WSASetBlockingHook(std::function<void()> hook);

[[nodiscard]] SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, void* optval, int* optlen);
int connect(SOCKET s, const sockaddr_in* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);

// Bytes sent on a connected stream socket that the peer has not yet acknowledged
// (sent and waiting for the peer's acknowledgement, or not yet sent at all): 0
// once the peer's system has taken every byte. -1 on failure.
[[nodiscard]] int UnacknowledgedBytes(SOCKET s);

// What the peer's TCP stack has done with the bytes sent on a connected stream.
struct StreamDelivery {
    // Bytes of the stream the peer has acknowledged since the connect. The
    // system keeps the count after a reset or a close, so it stays true to the
    // end; once the stream's end has been acknowledged it is one more than the
    // bytes sent.
    std::int64_t acknowledged = 0;
    // Bytes the system holds and has not put on the wire yet.
    std::int64_t notSent = 0;
};
// Fills `delivery` for a TCP socket: 0, or -1 on failure.
[[nodiscard]] int GetStreamDelivery(SOCKET s, StreamDelivery& delivery);
// Lets the system hold at most about `bytes` unsent on the socket: beyond that a
// send is refused with WSAEWOULDBLOCK, and FD_WRITE comes once the unsent bytes
// fall below it. What is on the wire, up to the peer's receive window, is not
// counted. 0, or -1 on failure.
int LimitUnsentBytes(SOCKET s, int bytes);

// SendFromFile's result when the file's side failed: a read error, or a file
// the system cannot send from directly. The caller reads it the ordinary way.
inline constexpr int FILE_NOT_SENDABLE = -2;
// Sends up to `len` bytes of the file open on descriptor `fd`, from `offset`,
// on the socket without copying them through the program; the file's own
// position does not move. Returns the count taken, 0 when the file has no byte
// at `offset`, SOCKET_ERROR for the socket's errors (WSAEWOULDBLOCK when its
// buffer is full, with FD_WRITE as after a send), or FILE_NOT_SENDABLE.
int SendFromFile(SOCKET s, int fd, std::int64_t offset, int len);

// Registers the socket for socket messages: from then on it is non-blocking and
// `msg` is posted to the window for each of the events asked for, with wParam the
// socket and lParam the event in its low word and the error code in its high word.
//   FD_CONNECT when a pending connect completes (with its error, if it failed);
//   FD_READ while data waits, posted again after each recv that leaves data;
//   FD_WRITE when the socket is connected and again when room frees after a
//            send that was refused with WSAEWOULDBLOCK;
//   FD_CLOSE once the peer has closed: error 0 after an orderly close, once the
//            data before it has been read; WSAECONNRESET after a reset.
// An events mask of 0 cancels the registration. closesocket drops every message
// of the socket that is still queued.
int WSAAsyncSelect(SOCKET s, platform::Window* window, unsigned int msg, long events);

[[nodiscard]] constexpr std::uint16_t htons(std::uint16_t v) { return static_cast<std::uint16_t>((v << 8) | (v >> 8)); }
[[nodiscard]] constexpr std::uint16_t ntohs(std::uint16_t v) { return htons(v); }

// Dotted IPv4 text to an address in network byte order; WS_INADDR_NONE for anything
// else, and so also for "255.255.255.255".
[[nodiscard]] std::uint32_t inet_addr(const char* cp);
// Dotted text of an address, in storage owned by the library until the next call.
[[nodiscard]] const char* inet_ntoa(in_addr in);
// The IPv4 addresses of a host name, or null (the error is WSAHOST_NOT_FOUND).
// A blocking call: the blocking hook has its turns while the name is looked up,
// and the lookup ends by WSACancelBlockingCall or after kConnectTimeoutMs.
// The record lives in storage owned by the library until the next call.
[[nodiscard]] const hostent* gethostbyname(const char* name);

// The platform's text for an error code, ending in "\r\n", written into buf
// (NUL-terminated); returns the number of characters stored, or 0 when there is
// no text for the code or it does not fit in size characters.
int FormatMessageA(int code, char* buf, int size);

}  // namespace ws
