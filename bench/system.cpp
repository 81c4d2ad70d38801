// Clocks, resource figures, child processes and the loopback listener.
#include "bench/bench.h"

#include <QFile>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kivo::bench {
namespace {

// Moves a descriptor above the ones a child gets (0 to 9), close-on-exec, so it
// reaches no child except where a spawn hands it on explicitly.
int MoveHigh(int fd) {
    if (fd < 0) return fd;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return high;
}

double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; }

// One read of at most size bytes, waiting for them until the deadline (a
// Now() time); 0 at the end of the input, when the time ran out, or on an error.
ssize_t ReadBefore(int fd, char* buffer, std::size_t size, double deadline) {
    for (;;) {
        const double left = deadline - Now();
        if (left <= 0) return 0;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return 0;
        const ssize_t n = ::read(fd, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return std::max<ssize_t>(n, 0);
    }
}

// Port 9100 of the address.
sockaddr_in PrinterPortOf(const QString& address) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPrinterPort);
    ::inet_pton(AF_INET, address.toLatin1().constData(), &addr.sin_addr);
    return addr;
}

// Ends a child that is still running and reaps it; closes its output pipe.
void Stop(Child& child) {
    if (child.outFd >= 0) {
        ::close(child.outFd);
        child.outFd = -1;
    }
    if (child.pid <= 0) return;
    int status = 0;
    // Give a child that has finished its work a moment to exit on its own.
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(child.pid, &status, WNOHANG) == child.pid) {
            child.pid = -1;
            return;
        }
        ::usleep(2000);
    }
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, &status, 0);
    child.pid = -1;
}

}  // namespace

double Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long PeakRssKb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double Median(std::vector<double> values) {
    std::erase_if(values, [](double v) { return std::isnan(v); });
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

QString SelfPath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? QString::fromLocal8Bit(path, n) : QString();
}

std::optional<Child> Spawn(const QString& program, const QStringList& args, const std::vector<int>& inheritFds,
                           bool captureOutput, const QString& stdinPath) {
    int out[2] = {-1, -1};
    if (captureOutput) {
        if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
        out[0] = MoveHigh(out[0]);
        out[1] = MoveHigh(out[1]);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdinPath.isEmpty())
        posix_spawn_file_actions_addopen(&actions, 0, QFile::encodeName(stdinPath).constData(), O_RDONLY, 0);
    if (captureOutput)
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    // The handed-on descriptors all lie at 10 and above, so these dup2s never
    // overwrite one another.
    for (std::size_t i = 0; i < inheritFds.size(); ++i)
        posix_spawn_file_actions_adddup2(&actions, inheritFds[i], static_cast<int>(3 + i));

    const QByteArray programBytes = QFile::encodeName(program);
    std::vector<QByteArray> argBytes;
    argBytes.push_back(programBytes);
    for (const QString& a : args) argBytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : argBytes) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, programBytes.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (captureOutput) ::close(out[1]);
    if (rc != 0) {
        if (captureOutput) ::close(out[0]);
        return std::nullopt;
    }
    return Child{pid, captureOutput ? out[0] : -1};
}

QByteArray CollectAndReap(Child& child, double timeoutSeconds) {
    QByteArray output;
    const double deadline = Now() + timeoutSeconds;
    char buffer[4096];
    ssize_t n = 0;
    while (child.outFd >= 0 && (n = ReadBefore(child.outFd, buffer, sizeof buffer, deadline)) > 0)
        output.append(buffer, n);
    Stop(child);
    return output;
}

std::optional<Ending> WaitEnding(Child& child, double timeoutSeconds) {
    std::optional<Ending> ending;
    // The pidfd turns readable the moment the child ends; without one (an old
    // kernel) it looks every millisecond.
    const int pidfd = child.pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)) : -1;
    const double deadline = Now() + timeoutSeconds;
    while (child.pid > 0) {
        int status = 0;
        rusage usage{};
        if (::wait4(child.pid, &status, WNOHANG, &usage) == child.pid) {
            ending = Ending{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Now(),
                            Seconds(usage.ru_utime) + Seconds(usage.ru_stime)};
            child.pid = -1;
            break;
        }
        const double left = deadline - Now();
        if (left <= 0) break;
        pollfd p{pidfd, POLLIN, 0};
        ::poll(&p, 1, pidfd >= 0 ? static_cast<int>(left * 1000) + 1 : 1);
    }
    if (pidfd >= 0) ::close(pidfd);
    Stop(child);  // closes its output; ends it if the time ran out
    return ending;
}

std::optional<Listener> ListenOnPrinterPort(int receiveBuffer) {
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 50; ++attempt) {
        const QString address = QStringLiteral("127.%1.%2.%3")
                                    .arg(std::uniform_int_distribution<int>(1, 254)(random))
                                    .arg(std::uniform_int_distribution<int>(0, 255)(random))
                                    .arg(std::uniform_int_distribution<int>(1, 254)(random));
        const int fd = MoveHigh(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd < 0) return std::nullopt;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const sockaddr_in addr = PrinterPortOf(address);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, 4) == 0)
            return Listener{fd, address};
        ::close(fd);
    }
    return std::nullopt;
}

int ConnectPlain(const QString& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in addr = PrinterPortOf(address);
    int rc = 0;
    do rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<Peer> StartPeer(Listener& listener, const QStringList& args, const QString& program) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return std::nullopt;
    report[0] = MoveHigh(report[0]);
    report[1] = MoveHigh(report[1]);
    std::optional<Child> child =
        Spawn(program, QStringList{QStringLiteral("peer")} + args, {listener.fd, report[1]}, false);
    ::close(report[1]);
    // The peer holds the listening socket now; connections queue there until it accepts.
    ::close(listener.fd);
    listener.fd = -1;
    if (!child) {
        ::close(report[0]);
        return std::nullopt;
    }
    return Peer{*child, report[0], listener.address};
}

std::optional<qint64> WaitReport(Peer& peer, double timeoutSeconds) {
    if (peer.reportFd < 0) return std::nullopt;
    const double deadline = Now() + timeoutSeconds;
    char bytes[sizeof(qint64)];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ReadBefore(peer.reportFd, bytes + got, sizeof bytes - got, deadline);
        if (n <= 0) return std::nullopt;
        got += static_cast<std::size_t>(n);
    }
    qint64 count = 0;
    std::memcpy(&count, bytes, sizeof count);
    return count;
}

void Stop(Peer& peer) {
    if (peer.reportFd >= 0) {
        ::close(peer.reportFd);
        peer.reportFd = -1;
    }
    Stop(peer.process);
}

}  // namespace kivo::bench
