// Many printers at once: kivo-send --vek-test to 250 printers on a veth /24 of
// this measurement's own network namespace, each answering Ticket ACK for every
// print command, against a shell loop of one kivo-send a printer over the same
// addresses, in the same run; and kivo-send's peak memory for 25 and for 250.
#include "bench/measure.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kivo::bench {
namespace {

constexpr int kPrinters = 250;

QString PrinterAddress(int i) { return QStringLiteral("10.78.0.%1").arg(i + 2); }

bool Ip(const QStringList& arguments) {
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    return ip.waitForFinished(30000) && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
}

// This process in a namespace of its own, with a veth pair whose one end holds
// the machine's address 10.78.0.1/24 and the printers' addresses.
QString MakeNetwork(const QTemporaryDir& dir) {
    if (::unshare(CLONE_NEWNET) != 0) return QStringLiteral("cannot create a network namespace (needs CAP_SYS_ADMIN)");
    QFile batch(dir.filePath(QStringLiteral("ip.batch")));
    if (!batch.open(QIODevice::WriteOnly)) return QStringLiteral("cannot write the ip batch");
    batch.write(
        "link set lo up\nlink add kfleet0 type veth peer name kfleet1\naddr add 10.78.0.1/24 dev kfleet0\n"
        "link set kfleet0 up\nlink set kfleet1 up\n");
    for (int i = 0; i < kPrinters; ++i) batch.write(("addr add " + PrinterAddress(i) + "/24 dev kfleet0\n").toLatin1());
    batch.close();
    if (!Ip({QStringLiteral("-batch"), batch.fileName()})) return QStringLiteral("ip -batch failed");
    return {};
}

// The printers: one thread, a listener on port 9100 of each address, every
// connection answered with 06 for each "<p>" it brings, closed when its sender
// closes. It stops when told, or after its time limit.
class PrinterFarm {
public:
    bool Start() {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        for (int i = 0; i < kPrinters; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(9100);
            ::inet_pton(AF_INET, PrinterAddress(i).toLatin1().constData(), &sa.sin_addr);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0)
                return false;
            listeners_.push_back(fd);
            Watch(fd);
        }
        thread_ = std::thread([this] { Serve(); });
        return true;
    }
    ~PrinterFarm() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (const auto& [fd, tail] : clients_) ::close(fd);
        for (int fd : listeners_) ::close(fd);
        if (epoll_ >= 0) ::close(epoll_);
    }

private:
    void Watch(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    bool IsListener(int fd) const { return std::find(listeners_.begin(), listeners_.end(), fd) != listeners_.end(); }
    void Serve() {
        const double deadline = Now() + 600;
        epoll_event events[64];
        while (!stop_ && Now() < deadline) {
            const int n = ::epoll_wait(epoll_, events, 64, 100);
            for (int e = 0; e < n; ++e) {
                const int fd = events[e].data.fd;
                if (IsListener(fd)) {
                    for (int client; (client = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                        clients_[client] = {};
                        Watch(client);
                    }
                    continue;
                }
                char buffer[4096];
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    if (got < 0 && errno == EAGAIN) continue;
                    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
                    ::close(fd);
                    clients_.erase(fd);
                    continue;
                }
                // "<p>" may be split over reads: the last two bytes go on.
                std::string& tail = clients_[fd];
                tail.append(buffer, static_cast<std::size_t>(got));
                std::size_t at = 0;
                std::string answers;
                while ((at = tail.find("<p>", at)) != std::string::npos) answers += '\x06', at += 3;
                tail.erase(0, tail.size() > 2 ? tail.size() - 2 : 0);
                if (tail.find("<p>") != std::string::npos) tail.clear();
                if (!answers.empty()) (void)::send(fd, answers.data(), answers.size(), MSG_NOSIGNAL);
            }
        }
    }

    int epoll_ = -1;
    std::vector<int> listeners_;
    std::unordered_map<int, std::string> clients_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Run {
    double seconds = 0;
    int exitCode = -1;
    double peakKb = 0;
    QByteArray output;
};

// Runs a program under GNU time (its peak memory), to its end.
Run RunMeasured(const QString& program, const QStringList& args, const QTemporaryDir& dir) {
    const QString peak = dir.filePath(QStringLiteral("peak"));
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    const double start = Now();
    child.start(QStringLiteral("/usr/bin/time"),
                QStringList{QStringLiteral("-f"), QStringLiteral("%M"), QStringLiteral("-o"), peak, program} + args);
    Run run;
    if (!child.waitForFinished(600000)) return run;
    run.seconds = Now() - start;
    run.exitCode = child.exitCode();
    run.output = child.readAllStandardOutput();
    QFile file(peak);
    if (file.open(QIODevice::ReadOnly))
        run.peakKb = QString::fromLatin1(file.readAll()).trimmed().split(QLatin1Char('\n')).last().toDouble();
    return run;
}

}  // namespace

int MeasureFleet(const QStringList& args) {
    Q_UNUSED(args);
    const QString kivoSend = QFileInfo(SelfPath()).absolutePath() + QStringLiteral("/kivo-send");
    if (!QFileInfo(kivoSend).isExecutable() || !QFileInfo(QStringLiteral("/usr/bin/time")).isExecutable()) {
        std::fprintf(stderr, "fleet: needs kivo-send beside this program and GNU time\n");
        return 1;
    }
    QTemporaryDir dir;
    if (const QString why = MakeNetwork(dir); !why.isEmpty()) {
        std::fprintf(stderr, "fleet: %s\n", qPrintable(why));
        return 1;
    }
    PrinterFarm farm;
    if (!farm.Start()) {
        std::fprintf(stderr, "fleet: cannot listen on the printers' addresses\n");
        return 1;
    }
    QStringList addresses;
    for (int i = 0; i < kPrinters; ++i) addresses << PrinterAddress(i);
    const QStringList action{QStringLiteral("--vek-test")};

    const Run all = RunMeasured(kivoSend, action + addresses, dir);
    const Run tenth = RunMeasured(kivoSend, action + addresses.mid(0, kPrinters / 10), dir);
    // Today's way: one kivo-send a printer, one after the other.
    const QString loop =
        QStringLiteral("for a in %1; do \"%2\" --quiet-output --vek-test \"$a\" || s=$?; done; exit ${s:-0}")
            .arg(addresses.join(QLatin1Char(' ')), kivoSend);
    const Run serial = RunMeasured(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), loop}, dir);
    const auto okRows = all.output.count(" 0 ok");
    std::fprintf(stderr, "%s", all.output.right(200).constData());
    PrintResult({{QStringLiteral("fleet_seconds"), all.seconds},
                 {QStringLiteral("fleet_exit"), all.exitCode},
                 {QStringLiteral("fleet_ok"), static_cast<double>(okRows)},
                 {QStringLiteral("fleet_peak_kb"), all.peakKb},
                 {QStringLiteral("fleet_tenth_peak_kb"), tenth.peakKb},
                 {QStringLiteral("fleet_tenth_seconds"), tenth.seconds},
                 {QStringLiteral("loop_seconds"), serial.seconds},
                 {QStringLiteral("loop_exit"), serial.exitCode},
                 {QStringLiteral("loop_peak_kb"), serial.peakKb}});
    return 0;
}

}  // namespace kivo::bench
