// The "all" command: runs every measurement in a process of its own (so peak
// memory and CPU time belong to that measurement alone), takes medians, and
// prints the table. Progress and the raw figures go to standard error.
#include "bench/bench.h"
#include "link/numbers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

namespace kivo::bench {
namespace {

struct Settings {
    int sendRuns = 5;
    int decodeRuns = 3;
    int startupRuns = 10;
    qint64 bigFile = 100'000'000;
    qint64 smallFile = 10'000'000;
    qint64 burst = 10'000'000;
    qint64 logLines = 1'000'000;
    double waitSeconds = 5;
    double naiveSeconds = 2;
    // What Disconnect waits for, at 8 KB/s: no more than the system takes at
    // once, as the program keeps its backlog that small.
    qint64 disconnectFile = 48'000;
    double disconnectSeconds = 4;
    qint64 sendWaitFile = 2'000'000;  // what kivo-send waits on, at 100 KB/s
    int findRuns = 3;
};

Figures RunSelf(const QStringList& args, double timeoutSeconds) {
    std::fprintf(stderr, "  %s\n", qPrintable(args.join(QLatin1Char(' '))));
    std::optional<Child> child = Spawn(SelfPath(), args, {}, true);
    if (!child) return {};
    const QByteArray output = CollectAndReap(*child, timeoutSeconds);
    const Figures figures = ParseResult(output);
    std::fprintf(stderr, "    %s\n", figures.isEmpty() ? "(no result)" : output.trimmed().constData());
    return figures;
}

// The median of one figure over several runs.
double MedianOf(const std::vector<Figures>& runs, const QString& key) {
    std::vector<double> values;
    for (const Figures& f : runs) values.push_back(Figure(f, key));
    return Median(values);
}

// A number with the given decimals, or "n/a" for NaN.
QString Num(double value, int decimals) {
    if (std::isnan(value)) return QStringLiteral("n/a");
    return QString::number(value, 'f', decimals);
}

QString Rate(double mbps) { return Num(mbps, mbps >= 100 ? 0 : 1) + QStringLiteral(" MB/s"); }
QString Percent(double value) { return Num(value, value < 10 ? 2 : 1) + QStringLiteral(" %"); }
QString Count(double value) { return std::isnan(value) ? QStringLiteral("n/a") : kivo::Grouped(std::llround(value)); }
QString Thousands(double value) {
    return std::isnan(value) ? QStringLiteral("n/a") : QString::number(value / 1000, 'f', 0) + QStringLiteral("k");
}
double Ratio(double a, double b) { return b == 0 ? std::nan("") : a / b; }
QString Megabytes(qint64 bytes) { return QString::number(static_cast<double>(bytes) / 1e6) + QStringLiteral(" MB"); }
// A program's run that got every byte to the printer and said so in its exit code.
bool Delivered(const Figures& f, qint64 bytes) {
    return Figure(f, QStringLiteral("received")) == static_cast<double>(bytes) &&
           Figure(f, QStringLiteral("exit_code")) == 0;
}

QString Duration(double seconds) {
    if (std::isnan(seconds)) return QStringLiteral("n/a");
    if (seconds < 120) return Num(seconds, 2) + QStringLiteral(" s");
    if (seconds < 7200) return Num(seconds / 60, 0) + QStringLiteral(" min");
    return Num(seconds / 3600, 1) + QStringLiteral(" h");
}

// The system's load averages over 1, 5 and 15 minutes.
QString LoadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("n/a");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

// kivo-send against nc -N on the same file and sink, one run of each in turn so
// that a load from elsewhere hits both alike; kivo-send also sends the small
// file, whose peak memory should be that of the big one.
struct SendAgainstNc {
    std::vector<Figures> kivo, nc, kivoSmall;
};

SendAgainstNc MeasureSendAgainstNc(const QString& bigFile, const QString& smallFile, int runs) {
    const QString m = QStringLiteral("measure");
    SendAgainstNc measured;
    for (int i = 0; i < runs; ++i) {
        measured.kivo.push_back(RunSelf({m, QStringLiteral("send-kivo"), QStringLiteral("--file"), bigFile}, 120));
        measured.nc.push_back(RunSelf({m, QStringLiteral("send-nc"), QStringLiteral("--file"), bigFile}, 120));
    }
    for (int i = 0; i < std::min(3, runs); ++i)
        measured.kivoSmall.push_back(
            RunSelf({m, QStringLiteral("send-kivo"), QStringLiteral("--file"), smallFile}, 60));
    return measured;
}

QString SendAgainstNcRow(const SendAgainstNc& measured, qint64 bigBytes, qint64 smallBytes) {
    const double rateKivo = MedianOf(measured.kivo, QStringLiteral("mbps"));
    const double rateNc = MedianOf(measured.nc, QStringLiteral("mbps"));
    const auto peak = [](const std::vector<Figures>& runs) {
        return MedianOf(runs, QStringLiteral("peak_rss_kb")) / 1024;
    };
    const double peakBig = peak(measured.kivo);
    const double peakSmall = peak(measured.kivoSmall);
    const auto failed = std::count_if(measured.kivo.begin(), measured.kivo.end(),
                                      [&](const Figures& f) { return !Delivered(f, bigBytes); }) +
                        std::count_if(measured.kivoSmall.begin(), measured.kivoSmall.end(),
                                      [&](const Figures& f) { return !Delivered(f, smallBytes); });
    const std::size_t runs = measured.kivo.size() + measured.kivoSmall.size();
    return MarkdownRow(
        {QStringLiteral("kivo-send, %1 file to a loopback sink, against nc -N (median of %2, taken in turn)")
             .arg(Megabytes(bigBytes))
             .arg(measured.kivo.size()),
         QStringLiteral("%1; %2 MB peak (GNU time); %3 file: %4 MB peak")
             .arg(Rate(rateKivo), Num(peakBig, 1), Megabytes(smallBytes), Num(peakSmall, 1)),
         QStringLiteral("nc -N: %1; %2 MB peak (GNU time)").arg(Rate(rateNc), Num(peak(measured.nc), 1)),
         Num(100 * Ratio(rateKivo, rateNc), 0) + QStringLiteral(" % (rate)"),
         failed != 0 ? QStringLiteral("FAIL: bytes missing or exit not 0 in %1 of %2 runs").arg(failed).arg(runs)
                     : QStringLiteral(">= 100 %: %1; memory flat (<= +5 MB): %2")
                           .arg(Verdict(Ratio(rateKivo, rateNc), Limit::AtLeast, 1),
                                Verdict(peakBig - peakSmall, Limit::AtMost, 5))});
}

}  // namespace

int RunSendAgainstNc(const QStringList& args) {
    const Settings s;
    const qsizetype option = args.indexOf(QStringLiteral("--runs"));
    const int runs = option < 0 ? s.sendRuns : std::max(1, args.value(option + 1).toInt());
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/kivo-bench-XXXXXX"));
    const QString bigFile = dir.filePath(QStringLiteral("big.txt"));
    const QString smallFile = dir.filePath(QStringLiteral("small.txt"));
    if (!dir.isValid() || !WriteTicketFile(bigFile, s.bigFile) || !WriteTicketFile(smallFile, s.smallFile)) {
        std::fprintf(stderr, "cannot write the test files\n");
        return 1;
    }
    const QString before = LoadAverage();
    const SendAgainstNc measured = MeasureSendAgainstNc(bigFile, smallFile, runs);
    std::printf("Load average before: %s; after: %s\n\n", qPrintable(before), qPrintable(LoadAverage()));
    std::printf("| Benchmark | Figure | Baseline | Ratio | Limit / verdict |\n|---|---|---|---|---|\n%s\n",
                qPrintable(SendAgainstNcRow(measured, s.bigFile, s.smallFile)));
    return 0;
}

int RunAll(const QStringList& args) {
    Settings s;
    if (args.contains(QStringLiteral("--quick"))) {
        s = Settings{1, 1, 3, 20'000'000, 10'000'000, 2'000'000, 100'000, 2, 1};
        s.sendWaitFile = 500'000;
        s.findRuns = 1;
    }
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/kivo-bench-XXXXXX"));
    const QString bigFile = dir.filePath(QStringLiteral("big.txt"));
    const QString smallFile = dir.filePath(QStringLiteral("small.txt"));
    const QString disconnectFile = dir.filePath(QStringLiteral("disconnect.txt"));
    const QString sendWaitFile = dir.filePath(QStringLiteral("send-wait.txt"));
    if (!dir.isValid() || !WriteTicketFile(bigFile, s.bigFile) || !WriteTicketFile(smallFile, s.smallFile) ||
        !WriteTicketFile(disconnectFile, s.disconnectFile) || !WriteTicketFile(sendWaitFile, s.sendWaitFile)) {
        std::fprintf(stderr, "cannot write the test files\n");
        return 1;
    }
    const QString big = Megabytes(s.bigFile);
    const QString small = Megabytes(s.smallFile);
    const QString m = QStringLiteral("measure");

    std::fprintf(stderr, "1/5 CPU while a send waits\n");
    const Figures cpu =
        RunSelf({m, QStringLiteral("cpu-wait"), QStringLiteral("--file"), smallFile, QStringLiteral("--seconds"),
                 QString::number(s.waitSeconds), QStringLiteral("--naive-seconds"), QString::number(s.naiveSeconds)},
                60);
    const Figures disconnect = RunSelf(
        {m, QStringLiteral("disconnect-wait"), QStringLiteral("--file"), disconnectFile, QStringLiteral("--seconds"),
         QString::number(s.disconnectSeconds), QStringLiteral("--naive-seconds"), QString::number(s.naiveSeconds)},
        60);
    const Figures sendWait = RunSelf({m, QStringLiteral("send-kivo"), QStringLiteral("--file"), sendWaitFile,
                                      QStringLiteral("--rate"), QStringLiteral("100000")},
                                     150);

    std::fprintf(stderr, "2/5 file send rate\n");
    std::vector<Figures> program, loop, nc, programSmall;
    for (int i = 0; i < s.sendRuns; ++i) {
        program.push_back(RunSelf({m, QStringLiteral("send-program"), QStringLiteral("--file"), bigFile}, 120));
        nc.push_back(RunSelf({m, QStringLiteral("send-nc"), QStringLiteral("--file"), bigFile}, 120));
        loop.push_back(RunSelf({m, QStringLiteral("send-loop"), QStringLiteral("--file"), bigFile}, 120));
    }
    const SendAgainstNc kivoSend = MeasureSendAgainstNc(bigFile, smallFile, s.sendRuns);
    for (int i = 0; i < std::min(3, s.sendRuns); ++i)
        programSmall.push_back(RunSelf({m, QStringLiteral("send-program"), QStringLiteral("--file"), smallFile}, 60));

    std::fprintf(stderr, "3/5 decode and log a burst\n");
    std::vector<Figures> decode, decodePlain;
    for (int i = 0; i < s.decodeRuns; ++i) {
        const QString seed = QString::number(7 + i);
        decode.push_back(RunSelf({m, QStringLiteral("decode-window"), QStringLiteral("--bytes"),
                                  QString::number(s.burst), QStringLiteral("--seed"), seed},
                                 150));
        decodePlain.push_back(RunSelf({m, QStringLiteral("decode-plain"), QStringLiteral("--bytes"),
                                       QString::number(s.burst), QStringLiteral("--seed"), seed},
                                      60));
    }

    const Figures decodeFull =
        RunSelf({m, QStringLiteral("decode-window"), QStringLiteral("--bytes"), QString::number(s.burst),
                 QStringLiteral("--prefill"), QString::number(s.logLines)},
                150);

    std::fprintf(stderr, "4/5 a million log lines\n");
    const QString lines = QString::number(s.logLines);
    const Figures single = RunSelf({m, QStringLiteral("log-single"), QStringLiteral("--lines"), lines}, 150);
    const Figures modelOnly = RunSelf({m, QStringLiteral("log-model-only"), QStringLiteral("--lines"), lines}, 150);
    const Figures batch = RunSelf({m, QStringLiteral("log-batch"), QStringLiteral("--lines"), lines}, 120);
    const Figures plainModel = RunSelf({m, QStringLiteral("log-plain-model"), QStringLiteral("--lines"), lines}, 120);
    const Figures copy = RunSelf({m, QStringLiteral("log-copy"), QStringLiteral("--lines"), lines}, 120);
    const Figures copyPlain =
        RunSelf({m, QStringLiteral("log-copy"), QStringLiteral("--lines"), lines, QStringLiteral("--plain")}, 120);
    const Figures save = RunSelf({m, QStringLiteral("log-save"), QStringLiteral("--lines"), lines}, 120);
    const Figures savePlain =
        RunSelf({m, QStringLiteral("log-save"), QStringLiteral("--lines"), lines, QStringLiteral("--plain")}, 120);

    std::fprintf(stderr, "5/5 start-up\n");
    // Two figures each, taken in turn: the time to the shown window, and the
    // whole process from launch to exit (wall and CPU time).
    std::vector<double> startWindow, startBare, wholeWindow, wholeBare, cpuWindow, cpuBare;
    for (int i = 0; i < s.startupRuns; ++i) {
        for (const QString& kind : {QStringLiteral("window"), QStringLiteral("bare")}) {
            const bool window = kind == QLatin1String("window");
            const double spawned = Now();
            std::optional<Child> child = Spawn(SelfPath(), {QStringLiteral("startup"), kind}, {}, true);
            if (!child) continue;
            QByteArray output;
            char buffer[4096];
            for (ssize_t n; (n = ::read(child->outFd, buffer, sizeof buffer)) > 0;) output.append(buffer, n);
            const std::optional<Ending> ending = WaitEnding(*child, 30);
            if (!ending) continue;
            (window ? startWindow : startBare).push_back((Figure(ParseResult(output), "exposed") - spawned) * 1000);
            (window ? wholeWindow : wholeBare).push_back((ending->at - spawned) * 1000);
            (window ? cpuWindow : cpuBare).push_back(ending->cpuSeconds * 1000);
        }
    }

    std::fprintf(stderr, "finding printers, against nmap\n");
    std::vector<Figures> find;
    for (int i = 0; i < s.findRuns; ++i) find.push_back(RunSelf({m, QStringLiteral("find")}, 120));

    std::fprintf(stderr, "many printers at once, against a shell loop of kivo-send\n");
    std::vector<Figures> fleet;
    for (int i = 0; i < s.findRuns; ++i) fleet.push_back(RunSelf({m, QStringLiteral("fleet")}, 600));

    // ---------------------------------------------------------------- table
    QStringList table;
    table << MarkdownRow({QStringLiteral("Benchmark"), QStringLiteral("Figure"), QStringLiteral("Baseline"),
                          QStringLiteral("Ratio"), QStringLiteral("Limit / verdict")});
    table << QStringLiteral("|---|---|---|---|---|");

    const double cpuProgram = Figure(cpu, QStringLiteral("program_cpu_pct"));
    const double cpuNaive = Figure(cpu, QStringLiteral("naive_cpu_pct"));
    table << MarkdownRow(
        {QStringLiteral("CPU while a %1 \"Send Text File\" waits on a printer reading 100 KB/s (%2 s)")
             .arg(small, QString::number(s.waitSeconds)),
         QStringLiteral("%1 of one core (printer read %2 KB/s; Send-Q at most %3 KB, of it at most "
                        "%4 KB not yet on the wire)")
             .arg(Percent(cpuProgram), Num(Figure(cpu, QStringLiteral("program_peer_bytes_per_s")) / 1000, 0),
                  Num(Figure(cpu, QStringLiteral("program_most_send_queue")) / 1024, 0),
                  Num(Figure(cpu, QStringLiteral("program_most_not_sent")) / 1024, 0)),
         QStringLiteral("retry at once, spinning processEvents: %1 (%2 s, %3 retries/s)")
             .arg(Percent(cpuNaive), QString::number(s.naiveSeconds),
                  Thousands(Figure(cpu, QStringLiteral("naive_retries_per_s")))),
         Num(Ratio(cpuProgram, cpuNaive), 3), QStringLiteral("< 5 %: ") + Verdict(cpuProgram, Limit::Below, 5)});

    const double cpuDisconnect = Figure(disconnect, QStringLiteral("program_cpu_pct"));
    const double cpuSpin = Figure(disconnect, QStringLiteral("naive_cpu_pct"));
    const bool waited = Figure(disconnect, QStringLiteral("program_waiting")) == 1;
    table << MarkdownRow(
        {QStringLiteral("CPU while Disconnect waits for a printer reading 8 KB/s to take the last %1 KB of a send "
                        "(%2 s)")
             .arg(Num(Figure(disconnect, QStringLiteral("program_left_bytes")) / 1000, 0),
                  QString::number(s.disconnectSeconds)),
         QStringLiteral("%1 of one core (printer took %2 KB/s meanwhile%3)")
             .arg(Percent(cpuDisconnect),
                  Num(Figure(disconnect, QStringLiteral("program_taken_bytes_per_s")) / 1000, 1),
                  waited ? QString() : QStringLiteral("; THE WAIT ENDED EARLY")),
         QStringLiteral("ask for the count again at once, spinning processEvents: %1 (%2 s, %3 asks/s)")
             .arg(Percent(cpuSpin), QString::number(s.naiveSeconds),
                  Thousands(Figure(disconnect, QStringLiteral("naive_polls_per_s")))),
         Num(Ratio(cpuDisconnect, cpuSpin), 3),
         QStringLiteral("< 1 %: ") + (waited ? Verdict(cpuDisconnect, Limit::Below, 1) : QStringLiteral("FAIL"))});

    // kivo-send's whole run, start-up included, against the same spinning retry
    // and the window's wait on the same printer (the first row).
    const double cpuSend = Figure(sendWait, QStringLiteral("cpu_pct"));
    const bool sendWaitDelivered = Delivered(sendWait, s.sendWaitFile);
    table << MarkdownRow(
        {QStringLiteral("kivo-send, %1 file to a printer reading 100 KB/s (--quiet 0)").arg(Megabytes(s.sendWaitFile)),
         QStringLiteral("%1 of one core over its %2 s (%3 CPU s; the printer had every byte after %4 s)")
             .arg(Percent(cpuSend), Num(Figure(sendWait, QStringLiteral("exit_seconds")), 2),
                  Num(Figure(sendWait, QStringLiteral("cpu_s")), 3),
                  Num(Figure(sendWait, QStringLiteral("seconds")), 2)),
         QStringLiteral("retry at once, spinning processEvents: %1; the window's own wait: %2")
             .arg(Percent(cpuNaive), Percent(cpuProgram)),
         Num(Ratio(cpuSend, cpuNaive), 3),
         sendWaitDelivered
             ? QStringLiteral("every byte taken, exit 0; < 5 %: ") + Verdict(cpuSend, Limit::Below, 5)
             : QStringLiteral("FAIL: the printer got %1 of %2 bytes, exit %3")
                   .arg(Count(Figure(sendWait, QStringLiteral("received"))), Count(static_cast<double>(s.sendWaitFile)),
                        Num(Figure(sendWait, QStringLiteral("exit_code")), 0))});

    const double rateProgram = MedianOf(program, QStringLiteral("mbps"));
    const double rateLoop = MedianOf(loop, QStringLiteral("mbps"));
    const double rateNc = MedianOf(nc, QStringLiteral("mbps"));
    const QString runs = QStringLiteral("median of %1").arg(s.sendRuns);
    table << MarkdownRow(
        {QStringLiteral("File send rate, %1 file, \"Send Text File\" to a loopback sink (%2)").arg(big, runs),
         Rate(rateProgram), QStringLiteral("plain loop, 1024-byte blocking send(): %1").arg(Rate(rateLoop)),
         Num(100 * Ratio(rateProgram, rateLoop), 0) + QStringLiteral(" %"),
         QStringLiteral(">= 80 % of the loop: ") + Verdict(Ratio(rateProgram, rateLoop), Limit::AtLeast, 0.8)});
    table << MarkdownRow({QStringLiteral("File send rate, %1 file, against nc (%2)").arg(big, runs), Rate(rateProgram),
                          QStringLiteral("nc -N: %1").arg(Rate(rateNc)),
                          Num(100 * Ratio(rateProgram, rateNc), 0) + QStringLiteral(" %"),
                          QStringLiteral("for comparison")});
    table << SendAgainstNcRow(kivoSend, s.bigFile, s.smallFile);

    const double peakBig = MedianOf(program, QStringLiteral("peak_rss_kb")) / 1024;
    const double peakSmall = MedianOf(programSmall, QStringLiteral("peak_rss_kb")) / 1024;
    table << MarkdownRow(
        {QStringLiteral("Peak memory (ru_maxrss) of the program sending a file"),
         QStringLiteral("%1 file: %2 MB").arg(big, Num(peakBig, 1)),
         QStringLiteral("%1 file: %2 MB").arg(small, Num(peakSmall, 1)), Num(Ratio(peakBig, peakSmall), 3),
         QStringLiteral("no growth with the file (<= 5 MB): ") + Verdict(peakBig - peakSmall, Limit::AtMost, 5)});

    const double decodeSeconds = MedianOf(decode, QStringLiteral("seconds"));
    const double decodeRate = MedianOf(decode, QStringLiteral("mbps"));
    const double plainRate = MedianOf(decodePlain, QStringLiteral("mbps"));
    bool intact = !decode.empty();
    for (const Figures& f : decode)
        intact = intact && Figure(f, QStringLiteral("bytes_sent")) == Figure(f, QStringLiteral("bytes_in_log"));
    const QString burst = Megabytes(s.burst);
    table << MarkdownRow(
        {QStringLiteral("Decode and log a %1 burst of replies until the last line is in the log (median of %2)")
             .arg(burst)
             .arg(s.decodeRuns),
         QStringLiteral("%1 s; %2; %3 lines/s (%4 lines)")
             .arg(Num(decodeSeconds, 2), Rate(decodeRate), Thousands(MedianOf(decode, QStringLiteral("lines_per_s"))),
                  Count(MedianOf(decode, QStringLiteral("lines")))),
         QStringLiteral("plain recv + DecodeReply into a QStringList: %1; %2 lines/s")
             .arg(Rate(plainRate), Thousands(MedianOf(decodePlain, QStringLiteral("lines_per_s")))),
         Num(100 * Ratio(decodeRate, plainRate), 0) + QStringLiteral(" %"),
         intact ? QStringLiteral("every byte accounted for in the log")
                : QStringLiteral("BYTES MISSING from the log")});
    table << MarkdownRow(
        {QStringLiteral("Memory taken by the %1 burst (ru_maxrss delta)").arg(burst),
         QStringLiteral("+%1 MB").arg(Num(MedianOf(decode, QStringLiteral("mem_mb")), 1)),
         QStringLiteral("plain list: +%1 MB").arg(Num(MedianOf(decodePlain, QStringLiteral("mem_mb")), 1)),
         Num(Ratio(MedianOf(decode, QStringLiteral("mem_mb")), MedianOf(decodePlain, QStringLiteral("mem_mb"))), 2),
         QStringLiteral("for comparison")});
    table << MarkdownRow(
        {QStringLiteral("The same burst into a log that already holds %1 lines")
             .arg(Count(static_cast<double>(s.logLines))),
         QStringLiteral("%1 s; %2; %3 lines/s; worst timer lateness %4 ms")
             .arg(Num(Figure(decodeFull, QStringLiteral("seconds")), 2),
                  Rate(Figure(decodeFull, QStringLiteral("mbps"))),
                  Thousands(Figure(decodeFull, QStringLiteral("lines_per_s"))),
                  Num(Figure(decodeFull, QStringLiteral("worst_late_ms")), 1)),
         QStringLiteral("into an empty log: %1").arg(Rate(decodeRate)),
         Num(100 * Ratio(Figure(decodeFull, QStringLiteral("mbps")), decodeRate), 0) + QStringLiteral(" %"),
         QStringLiteral("lateness <= 1000 ms: ") +
             Verdict(Figure(decodeFull, QStringLiteral("worst_late_ms")), Limit::AtMost, 1000)});
    std::vector<double> worst;
    for (const Figures& f : decode) worst.push_back(Figure(f, QStringLiteral("worst_late_ms")));
    const double worstLate = worst.empty() ? std::nan("") : *std::max_element(worst.begin(), worst.end());
    table << MarkdownRow({QStringLiteral("Window answers during the burst: worst lateness of a timer due every 100 ms"),
                          QStringLiteral("%1 ms (worst of %2 runs)").arg(Num(worstLate, 1)).arg(s.decodeRuns),
                          QStringLiteral("—"), QStringLiteral("—"),
                          QStringLiteral("<= 1000 ms: ") + Verdict(worstLate, Limit::AtMost, 1000)});

    const QString million = Count(static_cast<double>(s.logLines));
    const auto timeAndMemory = [](const Figures& f) {
        return QStringLiteral("%1; %2 lines/s; +%3 MB")
            .arg(Duration(Figure(f, QStringLiteral("seconds"))), Thousands(Figure(f, QStringLiteral("lines_per_s"))),
                 Num(Figure(f, QStringLiteral("mem_mb")), 1));
    };
    // A run that hit its time cap: how far it got in that time.
    const auto partial = [&](const Figures& f) {
        return QStringLiteral("stopped after %1 lines in %2 (%3 lines/s; +%4 MB)")
            .arg(Count(Figure(f, QStringLiteral("lines"))), Duration(Figure(f, QStringLiteral("seconds"))),
                 Num(Figure(f, QStringLiteral("lines_per_s")), 0), Num(Figure(f, QStringLiteral("mem_mb")), 1));
    };
    const bool singleDone = Figure(single, QStringLiteral("lines")) >= static_cast<double>(s.logLines);
    const double singleAll =
        singleDone ? Figure(single, QStringLiteral("seconds")) : Figure(single, QStringLiteral("projected_s"));
    const auto costAt = [&](qint64 lineCount) {
        return Figure(single, QStringLiteral("ms_per_call_at_") + QString::number(lineCount));
    };
    const qint64 smallLines1 = s.logLines / 100, smallLines2 = s.logLines / 10;  // whole lines
    const QString small1 = Count(static_cast<double>(smallLines1));
    const QString small2 = Count(static_cast<double>(smallLines2));
    const double costSmall = costAt(s.logLines / 100);
    const double costBig = costAt(s.logLines);
    table << MarkdownRow(
        {QStringLiteral("%1 LogMessage calls, one line at a time").arg(million),
         singleDone ? timeAndMemory(single)
                    : partial(single) +
                          QStringLiteral("; one call takes %1 ms with %2 lines in the log, %3 ms with %4, %5 ms with "
                                         "%6; all %6: ~%7 projected")
                              .arg(Num(costSmall, 2), small1, Num(costAt(s.logLines / 10), 2), small2, Num(costBig, 1),
                                   million, Duration(singleAll)),
         QStringLiteral("the same lines into the log's model alone, no select + scroll per line: ") +
             timeAndMemory(modelOnly),
         Num(Ratio(singleAll, Figure(modelOnly, QStringLiteral("seconds"))), 0) + QStringLiteral("x (time)"),
         singleDone ? QStringLiteral("for comparison")
                    : QStringLiteral("a call costs %1x more with %2 lines than with %3")
                          .arg(Num(Ratio(costBig, costSmall), 0), million, small1)});
    table << MarkdownRow(
        {QStringLiteral("Qt's QStringListModel in the same view, one line at a time, selected and "
                        "scrolled to"),
         Figure(plainModel, QStringLiteral("lines")) >= static_cast<double>(s.logLines) ? timeAndMemory(plainModel)
                                                                                        : partial(plainModel),
         QStringLiteral("LogMessage: ") + (singleDone ? timeAndMemory(single) : partial(single)),
         Num(Ratio(Figure(plainModel, QStringLiteral("lines_per_s")), Figure(single, QStringLiteral("lines_per_s"))),
             2) +
             QStringLiteral(" (lines/s)"),
         QStringLiteral("for comparison")});
    table << MarkdownRow(
        {QStringLiteral("%1 lines in one LogLines batch").arg(million),
         timeAndMemory(batch) +
             QStringLiteral(" (plus the caller's list: %1 MB)").arg(Num(Figure(batch, QStringLiteral("list_mb")), 1)),
         QStringLiteral("one LogMessage at a time: %1%2")
             .arg(singleDone ? QString() : QStringLiteral("~"), Duration(singleAll)),
         Num(Ratio(singleAll, Figure(batch, QStringLiteral("seconds"))), 0) + QStringLiteral("x faster"),
         QStringLiteral("for comparison")});

    const auto secondsAndMemory = [](const Figures& f) {
        return QStringLiteral("%1; +%2 MB")
            .arg(Duration(Figure(f, QStringLiteral("seconds"))), Num(Figure(f, QStringLiteral("mem_mb")), 1));
    };
    table << MarkdownRow(
        {QStringLiteral("Ctrl+A then Ctrl+C of a %1-line log").arg(million),
         secondsAndMemory(copy) +
             QStringLiteral(" (%1 MB of text on the clipboard)").arg(Num(Figure(copy, QStringLiteral("text_mb")), 1)),
         QStringLiteral("Lines().join() put on the clipboard: ") + secondsAndMemory(copyPlain),
         Num(Ratio(Figure(copy, QStringLiteral("seconds")), Figure(copyPlain, QStringLiteral("seconds"))), 2) +
             QStringLiteral(" (time)"),
         QStringLiteral("for comparison")});
    const double saveSeconds = Figure(save, QStringLiteral("seconds"));
    table << MarkdownRow(
        {QStringLiteral("Save As of a %1-line log, every line with its ISO time").arg(million),
         secondsAndMemory(save) + QStringLiteral(" (%1 MB file)").arg(Num(Figure(save, QStringLiteral("file_mb")), 1)),
         QStringLiteral("plain QFile loop, the same lines and times: ") + secondsAndMemory(savePlain),
         Num(Ratio(saveSeconds, Figure(savePlain, QStringLiteral("seconds"))), 2) + QStringLiteral(" (time)"),
         QStringLiteral("< 2 s: ") + Verdict(saveSeconds, Limit::Below, 2)});

    const double startProgram = Median(startWindow);
    const double startBareMs = Median(startBare);
    table << MarkdownRow(
        {QStringLiteral("Start-up: launch to the shown window, offscreen (median of %1, taken in turn)")
             .arg(s.startupRuns),
         QStringLiteral("%1 ms").arg(Num(startProgram, 1)),
         QStringLiteral("bare QWidget: %1 ms").arg(Num(startBareMs, 1)), Num(Ratio(startProgram, startBareMs), 2),
         QStringLiteral("for comparison")});
    table << MarkdownRow(
        {QStringLiteral("Start-up: the whole process, launch to exit once shown (the same runs)"),
         QStringLiteral("%1 ms wall, %2 ms CPU").arg(Num(Median(wholeWindow), 1), Num(Median(cpuWindow), 1)),
         QStringLiteral("bare QWidget: %1 ms wall, %2 ms CPU").arg(Num(Median(wholeBare), 1), Num(Median(cpuBare), 1)),
         QStringLiteral("%1 (wall), %2 (CPU)")
             .arg(Num(Ratio(Median(wholeWindow), Median(wholeBare)), 2),
                  Num(Ratio(Median(cpuWindow), Median(cpuBare)), 2)),
         QStringLiteral("for comparison")});

    const double findSeconds = MedianOf(find, QStringLiteral("find_seconds"));
    const double nmapSeconds = MedianOf(find, QStringLiteral("nmap_seconds"));
    const bool allFound = std::all_of(find.begin(), find.end(), [](const Figures& f) {
        return Figure(f, QStringLiteral("find_found")) == 3 && Figure(f, QStringLiteral("find_exit")) == 0;
    });
    table << MarkdownRow(
        {QStringLiteral("Find Printers: a /24 with 3 printers on a veth pair, kivo-send --find to its count line "
                        "(median of %1)")
             .arg(s.findRuns),
         QStringLiteral("%1 s, %2 found; CPU %3 of a core for the search, %4 for the whole program; "
                        "at most %5 connections open")
             .arg(Num(findSeconds, 2), Num(MedianOf(find, QStringLiteral("find_found")), 0),
                  Percent(MedianOf(find, QStringLiteral("search_cpu_pct"))),
                  Percent(MedianOf(find, QStringLiteral("find_cpu_pct"))),
                  Num(MedianOf(find, QStringLiteral("search_in_flight")), 0)),
         QStringLiteral("nmap -n -Pn -p 9100 --open: %1 s, %2 found")
             .arg(Num(nmapSeconds, 2), Num(MedianOf(find, QStringLiteral("nmap_found")), 0)),
         Num(Ratio(findSeconds, nmapSeconds), 3),
         !allFound ? QStringLiteral("FAIL: not exactly the 3 printers found")
                   : QStringLiteral("<= 1 s: %1; <= 1/10 of nmap: %2; search CPU < 10 %: %3")
                         .arg(Verdict(findSeconds, Limit::AtMost, 1),
                              Verdict(Ratio(findSeconds, nmapSeconds), Limit::AtMost, 0.1),
                              Verdict(MedianOf(find, QStringLiteral("search_cpu_pct")), Limit::Below, 10))});

    const double fleetSeconds = MedianOf(fleet, QStringLiteral("fleet_seconds"));
    const double loopSeconds = MedianOf(fleet, QStringLiteral("loop_seconds"));
    const bool allOk = std::all_of(fleet.begin(), fleet.end(), [](const Figures& f) {
        return Figure(f, QStringLiteral("fleet_ok")) == 250 && Figure(f, QStringLiteral("fleet_exit")) == 0;
    });
    const double peak = MedianOf(fleet, QStringLiteral("fleet_peak_kb")) / 1024;
    const double peakTenth = MedianOf(fleet, QStringLiteral("fleet_tenth_peak_kb")) / 1024;
    table << MarkdownRow(
        {QStringLiteral("kivo-send --vek-test to 250 printers on a veth /24, each answering Ticket ACK (median of %1)")
             .arg(s.findRuns),
         QStringLiteral("%1 s; peak %2 MB (25 printers: %3 MB)")
             .arg(Num(fleetSeconds, 2), Num(peak, 1), Num(peakTenth, 1)),
         QStringLiteral("shell loop of kivo-send a printer: %1 s; peak %2 MB")
             .arg(Num(loopSeconds, 2), Num(MedianOf(fleet, QStringLiteral("loop_peak_kb")) / 1024, 1)),
         Num(Ratio(fleetSeconds, loopSeconds), 3),
         !allOk ? QStringLiteral("FAIL: not every printer ok")
                : QStringLiteral("<= 3 s: %1; memory flat (<= +5 MB for 10x the printers): %2")
                      .arg(Verdict(fleetSeconds, Limit::AtMost, 3), Verdict(peak - peakTenth, Limit::AtMost, 5))});

    std::printf("%s\n", qPrintable(table.join(QLatin1Char('\n'))));
    return 0;
}

}  // namespace kivo::bench
