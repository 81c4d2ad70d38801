// Sending: the CPU the window takes while a send waits for a slow printer and
// while Disconnect waits for it to take the last bytes, and how fast "Send Text
// File" moves a file compared with nc and a plain loop. The same for kivo-send:
// its rate and memory against nc, and its CPU while a slow printer reads.
#include "bench/measure.h"

#include "console/frmkivo.h"
#include "platform/tcp_stream.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kivo::bench {
namespace {

// Answers the window's file dialog with one file; asks nothing else.
class FileAnswer : public OperatorDialogs {
public:
    explicit FileAnswer(QString path) : path_(std::move(path)) {}
    QString ChooseFile(const CommonDialog&) override { return path_; }
    QString ChooseSaveFile(const QString&, const QString&, const QString&) override { return {}; }
    void ShowMessage(const QString&, const QString&) override {}
    int Ask(const Question& question) override { return question.defaultAnswer; }

private:
    QString path_;
};

// User and system CPU seconds of this process, all its threads.
double CpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU seconds over wall seconds, as a percentage of one core.
struct CpuWindow {
    double wall0 = 0;
    double cpu0 = 0;
    void Start() {
        wall0 = Now();
        cpu0 = CpuTime();
    }
    [[nodiscard]] double Seconds() const { return Now() - wall0; }
    [[nodiscard]] double Percent() const { return 100.0 * (CpuTime() - cpu0) / Seconds(); }
};

// GNU time reports the peak memory of the program it starts, which is that
// program's own: one spawned from here would start from this process's peak.
const QString kGnuTime = QStringLiteral("/usr/bin/time");

// Another program sends size bytes to a peer on a listener of its own; it gets
// the peer's address through args, and stdinPath as its standard input.
// Figures: seconds and mbps until the peer had its count and the program had
// ended; exit_seconds, exit_code, cpu_s and cpu_pct of the program's run; its
// peak_rss_kb (when GNU time is there); the peer's count as received (-1 for
// none). Nothing when the program did not start or end.
Figures SendWithProgram(const QString& program, const std::function<QStringList(const QString&)>& args,
                        const QString& stdinPath, const QStringList& peerArgs, int receiveBuffer, qint64 size) {
    std::optional<Peer> peer = StartListeningPeer(peerArgs, receiveBuffer);
    if (!peer) return {};
    QTemporaryDir dir;
    const QString peakFile = dir.filePath(QStringLiteral("peak"));
    const bool timed = dir.isValid() && QFileInfo(kGnuTime).isExecutable();
    const QStringList line = args(peer->address);
    const double start = Now();
    std::optional<Child> child =
        timed ? Spawn(kGnuTime,
                      QStringList{QStringLiteral("-f"), QStringLiteral("%M"), QStringLiteral("-o"), peakFile, program} +
                          line,
                      {}, false, stdinPath)
              : Spawn(program, line, {}, false, stdinPath);
    const std::optional<Ending> ending = child ? WaitEnding(*child, 100) : std::nullopt;
    const std::optional<qint64> received = ending ? WaitReport(*peer, 30) : std::nullopt;
    const double done = Now();
    Stop(*peer);
    if (!ending) {
        std::fprintf(stderr, "%s did not start or end\n", qPrintable(program));
        return {};
    }
    const double run = ending->at - start;
    Figures figures{{QStringLiteral("mbps"), static_cast<double>(size) / 1e6 / (done - start)},
                    {QStringLiteral("seconds"), done - start},
                    {QStringLiteral("exit_seconds"), run},
                    {QStringLiteral("exit_code"), static_cast<double>(ending->exitCode)},
                    {QStringLiteral("cpu_s"), ending->cpuSeconds},
                    {QStringLiteral("cpu_pct"), 100 * ending->cpuSeconds / run},
                    {QStringLiteral("received"), static_cast<double>(received.value_or(-1))}};
    // The file holds "%M", after a line on how the program ended when it failed.
    QFile peak(peakFile);
    if (timed && peak.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const long kb = QString::fromLatin1(peak.readAll()).trimmed().split(QLatin1Char('\n')).last().toLong(&ok);
        if (ok) figures[QStringLiteral("peak_rss_kb")] = static_cast<double>(kb);
    }
    return figures;
}

}  // namespace

// The naive wait for a slow printer: a send offered again at once, the event
// loop turned between the offers, for `seconds`. Returns its CPU percent and offers a second.
std::pair<double, double> SpinSend(int fd, double seconds) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const QByteArray data(10'000'000, 'x');
    qint64 at = 0;
    long long offers = 0;
    CpuWindow cpu;
    cpu.Start();
    while (cpu.Seconds() < seconds && at < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + at, static_cast<size_t>(data.size() - at), MSG_NOSIGNAL);
        if (n > 0) at += n;
        ++offers;
        QCoreApplication::processEvents();
    }
    return {cpu.Percent(), static_cast<double>(offers) / cpu.Seconds()};
}

int MeasureCpuWait(const QStringList& args) {
    const QString file = TextOption(args, QStringLiteral("--file"));
    const double seconds = NumberOption(args, QStringLiteral("--seconds"), 5);
    const double naiveSeconds = NumberOption(args, QStringLiteral("--naive-seconds"), 2);
    const double rate = NumberOption(args, QStringLiteral("--rate"), 100000);
    const QStringList slow{QStringLiteral("slow"), QStringLiteral("--rate"), QString::number(rate, 'f', 0)};
    const auto app = MakeApplication();
    Figures figures;
    FileAnswer answer(file);
    frmkivo window(&answer);
    if (!ShowAndExpose(window)) return 1;

    // The program: "Send Text File" of the file to a printer that reads slowly.
    // The first second fills the socket buffers; then the send only waits.
    {
        std::optional<Peer> peer = StartListeningPeer(slow, 64 * 1024);
        if (!peer || !ConnectWindow(window, peer->address)) return 1;
        CpuWindow cpu;
        const double clicked = Now();
        // What the system holds for the printer meanwhile: its Send-Q (as ss
        // shows it: sent and not acknowledged, and not yet sent), and of it the
        // part not yet on the wire, sampled every 50 ms.
        int mostSendQueue = 0;
        qint64 mostNotSent = 0;
        QTimer sample;
        QObject::connect(&sample, &QTimer::timeout, &window, [&] {
            if (!window.Connected()) return;
            mostSendQueue = std::max(mostSendQueue, platform::SendQueueBytes(window.PrinterSocketHandle()));
            mostNotSent = std::max(mostNotSent, window.Session().Connection().NotSent());
        });
        sample.start(50);
        window.CmdFile_Click();
        RunLoopFor(1);
        figures[QStringLiteral("program_waiting")] = window.Session().Busy() ? 1 : 0;
        cpu.Start();
        RunLoopFor(seconds);
        figures[QStringLiteral("program_cpu_pct")] = cpu.Percent();
        figures[QStringLiteral("program_seconds")] = cpu.Seconds();
        figures[QStringLiteral("program_most_send_queue")] = mostSendQueue;
        figures[QStringLiteral("program_most_not_sent")] = static_cast<double>(mostNotSent);
        window.CmdConnect_Click();  // Disconnect: ends the waiting send
        // The peer still reads what its socket holds after the disconnect, then reports.
        if (const std::optional<qint64> read = WaitReportLooping(*peer, 10))
            figures[QStringLiteral("program_peer_bytes_per_s")] = static_cast<double>(*read) / (Now() - clicked);
        Stop(*peer);
    }

    // The naive wait: offer the bytes again at once, turning the event loop between offers.
    {
        std::optional<Peer> peer = StartListeningPeer(slow, 64 * 1024);
        const int fd = peer ? ConnectPlain(peer->address) : -1;
        if (fd < 0) return 1;
        RunLoopFor(0.2);
        const auto [percent, offers] = SpinSend(fd, naiveSeconds);
        figures[QStringLiteral("naive_cpu_pct")] = percent;
        figures[QStringLiteral("naive_seconds")] = naiveSeconds;
        figures[QStringLiteral("naive_retries_per_s")] = offers;
        ::close(fd);
        Stop(*peer);
    }
    PrintResult(figures);
    return 0;
}

int MeasureDisconnectWait(const QStringList& args) {
    const QString file = TextOption(args, QStringLiteral("--file"));
    const double seconds = NumberOption(args, QStringLiteral("--seconds"), 4);
    const double naiveSeconds = NumberOption(args, QStringLiteral("--naive-seconds"), 2);
    const double rate = NumberOption(args, QStringLiteral("--rate"), 8000);
    const QByteArray bytes = [&file] {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    if (bytes.isEmpty()) return 1;
    const QStringList slow{QStringLiteral("slow"), QStringLiteral("--rate"), QString::number(rate, 'f', 0)};
    const auto app = MakeApplication();
    Figures figures;
    FileAnswer answer(file);
    frmkivo window(&answer);
    if (!ShowAndExpose(window)) return 1;

    // The program: "Send Text File" of a file the system takes at once, then
    // Disconnect, which waits for the printer to take it. The printer's receive
    // buffer is small, so its window opens every few hundred bytes read, as over
    // Ethernet; with loopback's 64 KB segments a big buffer would open it in
    // steps of 64 KB, several seconds apart at this rate.
    {
        std::optional<Peer> peer = StartListeningPeer(slow, 4096);
        if (!peer || !ConnectWindow(window, peer->address)) return 1;
        const int s = window.PrinterSocketHandle();
        const int sendBuffer = 4 * static_cast<int>(bytes.size());
        ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        // Nor does the window's own limit on what waits unsent hold the file back.
        window.Session().Connection().SetUnsentLimit(sendBuffer);
        window.CmdFile_Click();
        if (!RunLoopUntil([&window] { return !window.Session().Busy(); }, 10)) {
            std::fprintf(stderr, "disconnect-wait: the system did not take the file at once\n");
            Stop(*peer);
            return 1;
        }
        const auto unacked = [&window] {
            return static_cast<double>(window.Session().Sent() - window.Session().Acknowledged());
        };
        const double left0 = unacked();
        window.CmdConnect_Click();  // Disconnect: waits for the printer
        if (!window.WaitingForPrinter()) {
            std::fprintf(stderr, "disconnect-wait: the printer had taken the file before Disconnect\n");
            Stop(*peer);
            return 1;
        }
        CpuWindow cpu;
        cpu.Start();
        RunLoopFor(seconds);
        figures[QStringLiteral("program_cpu_pct")] = cpu.Percent();
        figures[QStringLiteral("program_seconds")] = cpu.Seconds();
        figures[QStringLiteral("program_waiting")] = window.WaitingForPrinter() ? 1 : 0;
        const double left = window.WaitingForPrinter() ? unacked() : 0;
        figures[QStringLiteral("program_taken_bytes_per_s")] = (left0 - left) / cpu.Seconds();
        figures[QStringLiteral("program_left_bytes")] = left0;
        if (window.WaitingForPrinter()) window.CmdConnect_Click();  // Disconnect again: discards the rest
        Stop(*peer);
    }

    // The naive wait: the same count, asked again at once between turns of the
    // event loop until it reaches zero.
    {
        std::optional<Peer> peer = StartListeningPeer(slow, 4096);
        const int fd = peer ? ConnectPlain(peer->address) : -1;
        if (fd < 0) return 1;
        const int sendBuffer = 4 * static_cast<int>(bytes.size());
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        if (::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL) != bytes.size()) return 1;
        CpuWindow cpu;
        cpu.Start();
        long long polls = 0;
        while (platform::SendQueueBytes(fd) > 0 && cpu.Seconds() < naiveSeconds) {
            QCoreApplication::processEvents();
            ++polls;
        }
        figures[QStringLiteral("naive_cpu_pct")] = cpu.Percent();
        figures[QStringLiteral("naive_seconds")] = cpu.Seconds();
        figures[QStringLiteral("naive_polls_per_s")] = static_cast<double>(polls) / cpu.Seconds();
        ::close(fd);
        Stop(*peer);
    }
    PrintResult(figures);
    return 0;
}

int MeasureSendProgram(const QStringList& args) {
    const QString file = TextOption(args, QStringLiteral("--file"));
    const qint64 size = QFileInfo(file).size();
    const auto app = MakeApplication();
    FileAnswer answer(file);
    frmkivo window(&answer);
    if (!ShowAndExpose(window)) return 1;
    std::optional<Peer> peer =
        StartListeningPeer({QStringLiteral("sink"), QStringLiteral("--expect"), QString::number(size)});
    if (!peer || !ConnectWindow(window, peer->address)) return 1;

    const long rssBefore = PeakRssKb();
    const double start = Now();
    double handed = 0;
    QObject::connect(&window.Session(), &PrinterSession::JobHanded, &window, [&handed] { handed = Now(); });
    window.CmdFile_Click();
    const std::optional<qint64> received = WaitReportLooping(*peer, 300);
    const double done = Now();
    Stop(*peer);
    if (!received || *received != size) {
        std::fprintf(stderr, "send-program: the peer got %lld of %lld bytes\n",
                     static_cast<long long>(received.value_or(-1)), static_cast<long long>(size));
        return 1;
    }
    PrintResult({{QStringLiteral("mbps"), static_cast<double>(size) / 1e6 / (done - start)},
                 {QStringLiteral("seconds"), done - start},
                 {QStringLiteral("handed_seconds"), handed > 0 ? handed - start : done - start},
                 {QStringLiteral("rss_before_kb"), static_cast<double>(rssBefore)},
                 {QStringLiteral("peak_rss_kb"), static_cast<double>(PeakRssKb())}});
    return 0;
}

int MeasureSendLoop(const QStringList& args) {
    const QString file = TextOption(args, QStringLiteral("--file"));
    const qint64 size = QFileInfo(file).size();
    std::optional<Peer> peer =
        StartListeningPeer({QStringLiteral("sink"), QStringLiteral("--expect"), QString::number(size)});
    const int fd = peer ? ConnectPlain(peer->address) : -1;
    if (fd < 0) return 1;

    // The file in pieces of 1024 bytes, one blocking send() each.
    const double start = Now();
    std::FILE* in = std::fopen(QFile::encodeName(file).constData(), "rb");
    if (!in) return 1;
    char piece[1024];
    std::size_t n = 0;
    bool failed = false;
    while (!failed && (n = std::fread(piece, 1, sizeof piece, in)) > 0) {
        std::size_t offset = 0;
        while (offset < n) {
            const ssize_t sent = ::send(fd, piece + offset, n - offset, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) {
                failed = true;
                break;
            }
            offset += static_cast<std::size_t>(sent);
        }
    }
    std::fclose(in);
    const std::optional<qint64> received = WaitReport(*peer, 300);
    const double done = Now();
    ::close(fd);
    Stop(*peer);
    if (failed || !received || *received != size) return 1;
    PrintResult({{QStringLiteral("mbps"), static_cast<double>(size) / 1e6 / (done - start)},
                 {QStringLiteral("seconds"), done - start},
                 {QStringLiteral("peak_rss_kb"), static_cast<double>(PeakRssKb())}});
    return 0;
}

int MeasureSendNc(const QStringList& args) {
    const QString file = TextOption(args, QStringLiteral("--file"));
    const qint64 size = QFileInfo(file).size();
    const QString nc = QStandardPaths::findExecutable(QStringLiteral("nc"));
    if (nc.isEmpty()) {
        std::fprintf(stderr, "send-nc: nc is not installed\n");
        return 1;
    }
    const Figures figures = SendWithProgram(
        nc,
        [](const QString& address) {
            return QStringList{QStringLiteral("-N"), address, QString::number(kPrinterPort)};
        },
        file, {QStringLiteral("sink"), QStringLiteral("--expect"), QString::number(size)}, 0, size);
    if (Figure(figures, QStringLiteral("received")) != static_cast<double>(size)) return 1;
    PrintResult(figures);
    return 0;
}

int MeasureSendKivo(const QStringList& args) {
    const QString file = TextOption(args, QStringLiteral("--file"));
    const qint64 size = QFileInfo(file).size();
    const double rate = NumberOption(args, QStringLiteral("--rate"), 0);
    const QString program = QFileInfo(SelfPath()).absolutePath() + QStringLiteral("/kivo-send");
    if (!QFileInfo(program).isExecutable()) {
        std::fprintf(stderr, "send-kivo: no %s beside this program\n", qPrintable(program));
        return 1;
    }
    // With a rate, a slow printer with the receive buffer of the window's wait
    // above; else a sink. It closes as soon as the printer has taken every byte.
    const QStringList peer =
        rate > 0 ? QStringList{QStringLiteral("slow"), QStringLiteral("--rate"), QString::number(rate, 'f', 0)}
                 : QStringList{QStringLiteral("sink"), QStringLiteral("--expect"), QString::number(size)};
    const Figures figures = SendWithProgram(
        program,
        [&file](const QString& address) {
            return QStringList{QStringLiteral("--port"),         QString::number(kPrinterPort),
                               QStringLiteral("--quiet"),        QStringLiteral("0"),
                               QStringLiteral("--quiet-output"), address,
                               QStringLiteral("--file"),         file};
        },
        {}, peer, rate > 0 ? 64 * 1024 : 0, size);
    if (figures.isEmpty()) return 1;
    PrintResult(figures);  // the count and exit code tell whether every byte arrived
    return 0;
}

}  // namespace kivo::bench
