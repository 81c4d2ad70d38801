// The printer peers, each run in a process of its own: a sink that reads as fast
// as it can, a slow reader, and a printer that floods the window with replies.
// Also the data they move: the reply burst and the ticket files.
#include "bench/bench.h"

#include "link/reply_decoder.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace kivo::bench {
namespace {

constexpr int kListenFd = 3;
constexpr int kReportFd = 4;
// A peer that is left behind ends by itself after this many seconds.
constexpr unsigned kTimeLimitSeconds = 150;

qint64 Option(const QStringList& args, const QString& name, qint64 fallback) {
    const qsizetype i = args.indexOf(name);
    if (i < 0 || i + 1 >= args.size()) return fallback;
    bool ok = false;
    const qint64 value = args[i + 1].toLongLong(&ok);
    return ok ? value : fallback;
}

// The lines a byte outside 32 to 126 becomes: its name or its value.
const QSet<QString>& ByteLines() {
    static const QSet<QString> lines = [] {
        const QStringList all = ReplyByteLines();
        return QSet<QString>(all.cbegin(), all.cend());
    }();
    return lines;
}

bool IsPrintable(char c) { return c >= 32 && c <= 126; }

// A printable run that reads like the line of one byte would hide how many
// bytes it stands for; '#' begins no such line.
void KeepRunUnlikeNames(QByteArray& data, qsizetype start) {
    if (start < data.size() && ByteLines().contains(QString::fromLatin1(data.mid(start)))) data[start] = '#';
}

qint64 Sink(int conn, qint64 expect) {
    std::vector<char> buffer(256 * 1024);
    qint64 total = 0;
    while (total < expect) {
        const ssize_t n = ::recv(conn, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += n;
    }
    return total;
}

// Reads rate/100 bytes every 10 ms, on ticks of the monotonic clock so the
// rate does not drift, until the connection ends.
qint64 Slow(int conn, qint64 rate) {
    std::vector<char> buffer(64 * 1024);
    qint64 total = 0;
    timespec tick{};
    ::clock_gettime(CLOCK_MONOTONIC, &tick);
    for (long n = 1;; ++n) {
        tick.tv_nsec += 10'000'000;
        if (tick.tv_nsec >= 1'000'000'000) {
            tick.tv_nsec -= 1'000'000'000;
            ++tick.tv_sec;
        }
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr) == EINTR) {
        }
        qint64 allowed = rate * n / 100 - rate * (n - 1) / 100;
        while (allowed > 0) {
            const ssize_t got =
                ::recv(conn, buffer.data(), static_cast<std::size_t>(std::min<qint64>(allowed, 65536)), MSG_DONTWAIT);
            if (got > 0) {
                total += got;
                allowed -= got;
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
            return total;  // closed or reset
        }
    }
}

qint64 Burst(int conn, qint64 bytes, quint32 seed) {
    const QByteArray data = MakeBurst(bytes, seed);
    char go = 0;
    if (::recv(conn, &go, 1, 0) <= 0) return 0;
    qint64 sent = 0;
    while (sent < data.size()) {
        const ssize_t n =
            ::send(conn, data.constData() + sent, static_cast<std::size_t>(data.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += n;
    }
    // An orderly end: the window reads everything, then sees the close.
    ::shutdown(conn, SHUT_WR);
    return sent;
}

void Report(qint64 count) {
    ssize_t ignored = ::write(kReportFd, &count, sizeof count);
    (void)ignored;
    ::close(kReportFd);
}

// Reads what the window still sends until it closes (at most two seconds), so
// our close never turns into a reset that could cut the window's reading short.
void DrainUntilClosed(int conn) {
    timeval wait{2, 0};
    ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[4096];
    while (::recv(conn, buffer, sizeof buffer, 0) > 0) {
    }
}

}  // namespace

int RunPeer(const QStringList& args) {
    ::alarm(kTimeLimitSeconds);
    ::signal(SIGPIPE, SIG_IGN);
    const QString kind = args.value(0);
    int conn = -1;
    do conn = ::accept(kListenFd, nullptr, nullptr);
    while (conn < 0 && errno == EINTR);
    ::close(kListenFd);
    if (conn < 0) return 1;

    if (kind == QLatin1String("sink")) {
        Report(Sink(conn, Option(args, QStringLiteral("--expect"), 0)));
    } else if (kind == QLatin1String("slow")) {
        Report(Slow(conn, Option(args, QStringLiteral("--rate"), 100000)));
    } else if (kind == QLatin1String("burst")) {
        Report(Burst(conn, Option(args, QStringLiteral("--bytes"), 0),
                     static_cast<quint32>(Option(args, QStringLiteral("--seed"), 1))));
        DrainUntilClosed(conn);
    } else {
        ::close(conn);
        return 2;
    }
    ::close(conn);
    return 0;
}

QByteArray MakeBurst(qsizetype bytes, quint32 seed) {
    QByteArray out;
    out.reserve(bytes + 64);
    quint32 x = seed ? seed : 1;
    const auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    while (out.size() < bytes) {
        const qsizetype start = out.size();
        const quint32 run = 1 + next() % 60;
        for (quint32 i = 0; i < run; ++i) out.append(static_cast<char>(32 + next() % 95));
        KeepRunUnlikeNames(out, start);
        const quint32 controls = 1 + next() % 2;
        for (quint32 i = 0; i < controls; ++i) {
            // Mostly status and control bytes; now and then a byte of 127 or above.
            const bool high = next() % 10 >= 8;
            out.append(static_cast<char>(high ? 127 + next() % 129 : next() % 32));
        }
    }
    out.truncate(bytes);
    // The cut may have left a shorter run at the end.
    qsizetype start = out.size();
    while (start > 0 && IsPrintable(out[start - 1])) --start;
    KeepRunUnlikeNames(out, start);
    return out;
}

qint64 BytesBehindLines(const QStringList& lines) {
    qint64 bytes = 0;
    for (const QString& line : lines) bytes += ByteLines().contains(line) ? 1 : line.size();
    return bytes;
}

bool WriteTicketFile(const QString& path, qint64 bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QByteArray chunk;
    qint64 written = 0;
    qint64 ticket = 0;
    while (written < bytes) {
        chunk.clear();
        while (chunk.size() < 1024 * 1024) {
            ++ticket;
            chunk += "<RL><F6><RC90,40>ADMIT ONE  ROW " + QByteArray::number(ticket % 40 + 1) + " SEAT " +
                     QByteArray::number(ticket % 30 + 1) + "  No. " + QByteArray::number(ticket) + "<p>\r\n";
        }
        const qint64 take = std::min<qint64>(chunk.size(), bytes - written);
        if (file.write(chunk.constData(), take) != take) return false;
        written += take;
    }
    return file.flush();
}

}  // namespace kivo::bench
