// "Find Printers" against nmap: a /24 on a veth pair in a network namespace of
// this measurement's own, with three printers listening on port 9100; the time
// from starting `kivo-send --find` to its count line, and nmap's time on the same
// network in the same run.
#include "bench/measure.h"

#include "link/printer_search.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>

namespace kivo::bench {
namespace {

const char* const kPrinters[] = {"192.168.77.10", "192.168.77.20", "192.168.77.30"};

bool Ip(const QStringList& arguments) {
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    return ip.waitForFinished(10000) && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
}

// This process in a namespace of its own: loopback, and a veth pair whose one end
// holds the machine's address 192.168.77.1/24 and the printers' addresses.
QString MakeNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) return QStringLiteral("cannot create a network namespace (needs CAP_SYS_ADMIN)");
    QList<QStringList> steps = {{"link", "set", "lo", "up"},
                                {"link", "add", "kbench0", "type", "veth", "peer", "name", "kbench1"},
                                {"addr", "add", "192.168.77.1/24", "dev", "kbench0"},
                                {"link", "set", "kbench0", "up"},
                                {"link", "set", "kbench1", "up"}};
    for (const char* printer : kPrinters)
        steps.push_back({"addr", "add", QString::fromLatin1(printer) + "/24", "dev", "kbench0"});
    for (const QStringList& step : steps)
        if (!Ip(step)) return QStringLiteral("ip ") + step.join(' ') + QStringLiteral(" failed");
    return {};
}

// A printer that the kernel accepts for: a listener nobody calls accept() on.
int ListenOn(const char* address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kPrinterPort);
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Timed {
    double seconds = 0;
    double cpuSeconds = 0;
    int exitCode = -1;
    QByteArray output;
};

// Runs the program to its end: from the spawn to the end of its output, and its CPU time.
std::optional<Timed> RunTimed(const QString& program, const QStringList& args) {
    const double start = Now();
    std::optional<Child> child = Spawn(program, args, {}, true);
    if (!child) return std::nullopt;
    Timed timed;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(child->outFd, buffer, sizeof buffer)) > 0) timed.output.append(buffer, n);
    timed.seconds = Now() - start;
    const std::optional<Ending> ending = WaitEnding(*child, 60);
    if (!ending) return std::nullopt;
    timed.exitCode = ending->exitCode;
    timed.cpuSeconds = ending->cpuSeconds;
    return timed;
}

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// The same search in this process: its CPU time against its wall time, without
// a program's start-up and exit; and the most connections it had open at once.
Figures SearchInProcess() {
    PrinterSearch search;
    QEventLoop loop;
    int mostInFlight = 0;
    QObject::connect(&search, &PrinterSearch::Progress,
                     [&] { mostInFlight = std::max(mostInFlight, search.InFlight()); });
    QObject::connect(&search, &PrinterSearch::Finished, &loop, &QEventLoop::quit);
    SearchPlan plan;
    plan.networks = {*ReadNetwork(QStringLiteral("192.168.77.0/24"))};
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const double start = Now();
    search.Start(plan);
    loop.exec();
    const double wall = Now() - start;
    ::getrusage(RUSAGE_SELF, &after);
    return {{QStringLiteral("search_cpu_pct"), 100 * (CpuSeconds(after) - CpuSeconds(before)) / wall},
            {QStringLiteral("search_in_flight"), mostInFlight},
            {QStringLiteral("search_found"), static_cast<double>(search.Printers().size())}};
}

}  // namespace

int MeasureFind(const QStringList& args) {
    Q_UNUSED(args);
    const auto app = MakeApplication();
    const QString kivoSend = QFileInfo(SelfPath()).absolutePath() + QStringLiteral("/kivo-send");
    const QString nmap = QStandardPaths::findExecutable(QStringLiteral("nmap"));
    if (!QFileInfo(kivoSend).isExecutable() || nmap.isEmpty()) {
        std::fprintf(stderr, "find: needs kivo-send beside this program and nmap installed\n");
        return 1;
    }
    if (const QString why = MakeNetwork(); !why.isEmpty()) {
        std::fprintf(stderr, "find: %s\n", qPrintable(why));
        return 1;
    }
    for (const char* printer : kPrinters)
        if (ListenOn(printer) < 0) return 1;

    const std::optional<Timed> find =
        RunTimed(kivoSend, {QStringLiteral("--find"), QStringLiteral("192.168.77.0/24"), QStringLiteral("--numeric")});
    const std::optional<Timed> scan =
        RunTimed(nmap, {QStringLiteral("-n"), QStringLiteral("-Pn"), QStringLiteral("-p"), QStringLiteral("9100"),
                        QStringLiteral("--open"), QStringLiteral("192.168.77.0/24")});
    if (!find || !scan) return 1;
    Figures figures = SearchInProcess();
    std::fprintf(stderr, "%s%s", find->output.constData(), scan->output.constData());
    // Each printer is one line of kivo-send before its count line, and one
    // "9100/tcp open" line of nmap.
    const auto found = find->output.count('\n') - 1;
    const auto nmapFound = scan->output.count("9100/tcp open");
    figures.insert({{QStringLiteral("find_seconds"), find->seconds},
                    {QStringLiteral("find_cpu_pct"), 100 * find->cpuSeconds / find->seconds},
                    {QStringLiteral("find_found"), static_cast<double>(found)},
                    {QStringLiteral("find_exit"), find->exitCode},
                    {QStringLiteral("nmap_seconds"), scan->seconds},
                    {QStringLiteral("nmap_found"), static_cast<double>(nmapFound)}});
    PrintResult(figures);
    return 0;
}

}  // namespace kivo::bench
