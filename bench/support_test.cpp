// The benchmark's own helpers: medians and verdicts that a failed run must not
// pass, the figures handed between processes, the reply burst and its byte
// accounting, and the peers as real processes on loopback.
#include "bench/bench.h"

#include "link/reply_decoder.h"

#include <QTemporaryDir>
#include <QTest>

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cmath>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kivo::bench;

namespace {

const double kNaN = std::nan("");

bool SendAll(int fd, const QByteArray& data) {
    qsizetype sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + sent, static_cast<size_t>(data.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += n;
    }
    return true;
}

std::optional<Peer> Start(const QStringList& args, Listener& listener) {
    return StartPeer(listener, args, QStringLiteral(KIVO_BENCH_EXE));
}

}  // namespace

class BenchSupportTest : public QObject {
    Q_OBJECT
private slots:
    void medianSkipsMissingRuns_data();
    void medianSkipsMissingRuns();
    void failedRunNeverPasses_data();
    void failedRunNeverPasses();
    void resultLineIsFoundInOutput_data();
    void resultLineIsFoundInOutput();
    void tableCellsKeepTheirPipes();
    void projectionAddsUpTheCalls_data();
    void projectionAddsUpTheCalls();
    void childrenAreCollectedAndStopped_data();
    void childrenAreCollectedAndStopped();
    void endingTellsHowTheChildEnded_data();
    void endingTellsHowTheChildEnded();
    void listenersTakeThePrinterPortOfTheirOwnAddress();
    void burstAccountsForEveryByte_data();
    void burstAccountsForEveryByte();
    void ticketFileHasExactSize_data();
    void ticketFileHasExactSize();
    void sinkPeerReportsEveryByte();
    void slowPeerNeverReadsFasterThanItsRate();
    void burstPeerSendsTheBurstAfterTheFirstByte();
};

void BenchSupportTest::medianSkipsMissingRuns_data() {
    QTest::addColumn<std::vector<double>>("values");
    QTest::addColumn<double>("median");
    QTest::newRow("odd count") << std::vector<double>{3, 1, 2} << 2.0;
    QTest::newRow("even count: mean of the middle two") << std::vector<double>{4, 1, 3, 2} << 2.5;
    QTest::newRow("one run") << std::vector<double>{5} << 5.0;
    QTest::newRow("a failed run is left out") << std::vector<double>{kNaN, 2, 4} << 3.0;
    QTest::newRow("no runs") << std::vector<double>{} << kNaN;
    QTest::newRow("only failed runs") << std::vector<double>{kNaN, kNaN} << kNaN;
}

void BenchSupportTest::medianSkipsMissingRuns() {
    QFETCH(std::vector<double>, values);
    QFETCH(double, median);
    const double got = Median(values);
    if (std::isnan(median))
        QVERIFY(std::isnan(got));
    else
        QCOMPARE(got, median);
}

void BenchSupportTest::failedRunNeverPasses_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("limit");
    QTest::addColumn<QString>("verdict");
    const int below = static_cast<int>(Limit::Below);
    const int atLeast = static_cast<int>(Limit::AtLeast);
    const int atMost = static_cast<int>(Limit::AtMost);
    QTest::newRow("CPU under 5 %") << 4.99 << below << 5.0 << "PASS";
    QTest::newRow("CPU at 5 % is not under it") << 5.0 << below << 5.0 << "FAIL";
    QTest::newRow("rate at 80 % of the loop") << 0.8 << atLeast << 0.8 << "PASS";
    QTest::newRow("rate under 80 % of the loop") << 0.79 << atLeast << 0.8 << "FAIL";
    QTest::newRow("lateness at one second") << 1000.0 << atMost << 1000.0 << "PASS";
    QTest::newRow("lateness over one second") << 1000.5 << atMost << 1000.0 << "FAIL";
    QTest::newRow("no CPU figure") << kNaN << below << 5.0 << "no figure";
    QTest::newRow("no rate figure") << kNaN << atLeast << 0.8 << "no figure";
    QTest::newRow("no lateness figure") << kNaN << atMost << 1000.0 << "no figure";
}

void BenchSupportTest::failedRunNeverPasses() {
    QFETCH(double, value);
    QFETCH(int, kind);
    QFETCH(double, limit);
    QFETCH(QString, verdict);
    QCOMPARE(Verdict(value, static_cast<Limit>(kind), limit), verdict);
}

void BenchSupportTest::resultLineIsFoundInOutput_data() {
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QList<double>>("values");
    QTest::newRow("one line") << QByteArray("RESULT a=1 b=2.5\n") << QStringList{"a", "b"} << QList<double>{1, 2.5};
    QTest::newRow("among other output") << QByteArray("starting\nRESULT mbps=812.25\nbye\n") << QStringList{"mbps"}
                                        << QList<double>{812.25};
    QTest::newRow("exponent notation") << QByteArray("RESULT t=1.5e-05") << QStringList{"t"} << QList<double>{1.5e-05};
    QTest::newRow("pairs that are no numbers are left out")
        << QByteArray("RESULT a= b=x =4 c=3") << QStringList{"c"} << QList<double>{3};
    QTest::newRow("a crashed run has none") << QByteArray("Segmentation fault\n") << QStringList{} << QList<double>{};
}

void BenchSupportTest::resultLineIsFoundInOutput() {
    QFETCH(QByteArray, output);
    QFETCH(QStringList, keys);
    QFETCH(QList<double>, values);
    const Figures figures = ParseResult(output);
    QCOMPARE(figures.keys(), keys);
    for (qsizetype i = 0; i < keys.size(); ++i) QCOMPARE(Figure(figures, keys[i]), values[i]);
    QVERIFY(std::isnan(Figure(figures, QStringLiteral("absent"))));
}

void BenchSupportTest::tableCellsKeepTheirPipes() {
    QCOMPARE(MarkdownRow({"a|b", "c"}), QStringLiteral("| a\\|b | c |"));
}

void BenchSupportTest::projectionAddsUpTheCalls_data() {
    QTest::addColumn<std::vector<double>>("sizes");
    QTest::addColumn<std::vector<double>>("costs");
    QTest::addColumn<double>("count");
    QTest::addColumn<double>("seconds");
    QTest::newRow("flat cost") << std::vector<double>{10, 100, 1000} << std::vector<double>{0.5, 0.5, 0.5} << 1000.0
                               << 500.0;
    // A call with k lines in the log costs k ms: 0 + 1 + ... + 999 ms.
    QTest::newRow("cost grows with the log")
        << std::vector<double>{10, 100, 1000} << std::vector<double>{0.01, 0.1, 1.0} << 1000.0 << 499.5;
    QTest::newRow("one size only: flat") << std::vector<double>{100} << std::vector<double>{0.002} << 10.0 << 0.02;
    QTest::newRow("a cost that falls is noise: flat")
        << std::vector<double>{10, 1000} << std::vector<double>{0.003, 0.001} << 100.0 << 0.2;
    QTest::newRow("nothing measured") << std::vector<double>{} << std::vector<double>{} << 100.0 << kNaN;
}

void BenchSupportTest::projectionAddsUpTheCalls() {
    QFETCH(std::vector<double>, sizes);
    QFETCH(std::vector<double>, costs);
    QFETCH(double, count);
    QFETCH(double, seconds);
    const double got = ProjectLinearCost(sizes, costs, count);
    if (std::isnan(seconds))
        QVERIFY(std::isnan(got));
    else
        QVERIFY2(std::abs(got - seconds) < 1e-9 * std::max(1.0, seconds), qPrintable(QString::number(got)));
}

void BenchSupportTest::childrenAreCollectedAndStopped_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<double>("timeout");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("output is captured") << "/bin/echo" << QStringList{"RESULT a=1"} << QByteArray() << 10.0
                                        << QByteArray("RESULT a=1\n");
    QTest::newRow("a file becomes standard input, as for nc")
        << "/bin/cat" << QStringList{} << QByteArray("ticket\0bytes\xff", 13) << 10.0
        << QByteArray("ticket\0bytes\xff", 13);
    QTest::newRow("a stuck child is ended at its time limit")
        << "/bin/sleep" << QStringList{"30"} << QByteArray() << 0.3 << QByteArray();
}

void BenchSupportTest::childrenAreCollectedAndStopped() {
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(double, timeout);
    QFETCH(QByteArray, output);
    QTemporaryDir dir;
    QString stdinPath;
    if (!input.isEmpty()) {
        stdinPath = dir.filePath(QStringLiteral("input"));
        QFile file(stdinPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(input);
    }
    std::optional<Child> child = Spawn(program, args, {}, true, stdinPath);
    QVERIFY(child);
    const pid_t pid = child->pid;
    const double start = Now();
    QCOMPARE(CollectAndReap(*child, timeout), output);
    QVERIFY(Now() - start < timeout + 2);
    QCOMPARE(child->pid, pid_t{-1});
    QCOMPARE(::kill(pid, 0), -1);  // reaped: no such process any more
}

void BenchSupportTest::endingTellsHowTheChildEnded_data() {
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<double>("timeout");
    QTest::addColumn<int>("exitCode");  // -2: no ending, the time ran out
    QTest::addColumn<double>("minCpu");
    QTest::newRow("exit code 0") << QStringList{"/bin/true"} << 10.0 << 0 << 0.0;
    QTest::newRow("another exit code") << QStringList{"/bin/sh", "-c", "exit 3"} << 10.0 << 3 << 0.0;
    QTest::newRow("ended by a signal") << QStringList{"/bin/sh", "-c", "kill -9 $$"} << 10.0 << -1 << 0.0;
    QTest::newRow("its CPU time") << QStringList{"/bin/sh", "-c", "i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done"}
                                  << 60.0 << 0 << 0.05;
    QTest::newRow("a stuck child is ended at its time limit") << QStringList{"/bin/sleep", "30"} << 0.3 << -2 << 0.0;
}

void BenchSupportTest::endingTellsHowTheChildEnded() {
    QFETCH(QStringList, command);
    QFETCH(double, timeout);
    QFETCH(int, exitCode);
    QFETCH(double, minCpu);
    std::optional<Child> child = Spawn(command.first(), command.mid(1), {}, false);
    QVERIFY(child);
    const pid_t pid = child->pid;
    const double start = Now();
    const std::optional<Ending> ending = WaitEnding(*child, timeout);
    const double end = Now();
    QCOMPARE(child->pid, pid_t{-1});
    QCOMPARE(::kill(pid, 0), -1);  // reaped either way
    if (exitCode == -2) {
        QVERIFY(!ending);
        QVERIFY(end - start < timeout + 2);
        return;
    }
    QVERIFY(ending);
    QCOMPARE(ending->exitCode, exitCode);
    QVERIFY(ending->at >= start && ending->at <= end);
    QVERIFY2(ending->cpuSeconds >= minCpu, qPrintable(QString::number(ending->cpuSeconds)));
}

void BenchSupportTest::listenersTakeThePrinterPortOfTheirOwnAddress() {
    std::optional<Listener> first = ListenOnPrinterPort();
    std::optional<Listener> second = ListenOnPrinterPort(64 * 1024);
    QVERIFY(first && second);
    QVERIFY(first->address != second->address);
    for (const Listener& l : {*first, *second}) {
        QVERIFY(l.address.startsWith(QStringLiteral("127.")));
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        QCOMPARE(::getsockname(l.fd, reinterpret_cast<sockaddr*>(&bound), &len), 0);
        QCOMPARE(ntohs(bound.sin_port), quint16{kPrinterPort});
        ::close(l.fd);
    }
}

void BenchSupportTest::burstAccountsForEveryByte_data() {
    QTest::addColumn<qsizetype>("bytes");
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<qsizetype>("piece");
    QTest::newRow("one byte") << qsizetype{1} << 7u << qsizetype{65536};
    QTest::newRow("100 kB in one piece") << qsizetype{100'000} << 7u << qsizetype{100'000};
    QTest::newRow("100 kB read as the window reads it, 64 KiB per event")
        << qsizetype{100'000} << 8u << qsizetype{65536};
    QTest::newRow("1 MB in pieces that cut runs") << qsizetype{1'000'000} << 9u << qsizetype{1000};
}

void BenchSupportTest::burstAccountsForEveryByte() {
    QFETCH(qsizetype, bytes);
    QFETCH(quint32, seed);
    QFETCH(qsizetype, piece);
    const QByteArray burst = MakeBurst(bytes, seed);
    QCOMPARE(burst.size(), bytes);
    QCOMPARE(MakeBurst(bytes, seed), burst);  // the peer and the check make the same bytes
    QStringList lines;
    for (qsizetype at = 0; at < burst.size(); at += piece)
        lines += kivo::DecodeReply(QByteArrayView(burst).sliced(at, std::min(piece, burst.size() - at)));
    QCOMPARE(BytesBehindLines(lines), qint64{bytes});
    if (bytes > 1000) {
        QVERIFY(lines.contains(QStringLiteral("Ticket ACK")) || lines.contains(QStringLiteral("Out of Tickets")));
        QVERIFY(lines.contains(QStringLiteral("Byte 0x80 (128)")));  // bytes without a name: 127 and above
    }
}

void BenchSupportTest::ticketFileHasExactSize_data() {
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("empty") << qint64{0};
    QTest::newRow("one byte") << qint64{1};
    QTest::newRow("past a whole chunk") << qint64{1024 * 1024 + 7};
}

void BenchSupportTest::ticketFileHasExactSize() {
    QFETCH(qint64, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ticket.txt"));
    QVERIFY(WriteTicketFile(path, bytes));
    QCOMPARE(QFileInfo(path).size(), bytes);
}

void BenchSupportTest::sinkPeerReportsEveryByte() {
    std::optional<Listener> listener = ListenOnPrinterPort();
    QVERIFY(listener);
    QVERIFY(listener->address.startsWith(QStringLiteral("127.")));
    std::optional<Peer> peer = Start({"sink", "--expect", "300000"}, *listener);
    QVERIFY(peer);
    const int fd = ConnectPlain(listener->address);
    QVERIFY(fd >= 0);
    QVERIFY(SendAll(fd, QByteArray(300'000, 'k')));
    QCOMPARE(WaitReport(*peer, 30), std::optional<qint64>(300'000));
    ::close(fd);
    Stop(*peer);
}

void BenchSupportTest::slowPeerNeverReadsFasterThanItsRate() {
    std::optional<Listener> listener = ListenOnPrinterPort();
    QVERIFY(listener);
    std::optional<Peer> peer = Start({"slow", "--rate", "100000"}, *listener);
    QVERIFY(peer);
    const int fd = ConnectPlain(listener->address);
    QVERIFY(fd >= 0);
    // 40 kB at 100 kB/s take at least 0.4 s; the peer reports once it sees the end.
    const double start = Now();
    QVERIFY(SendAll(fd, QByteArray(40'000, 's')));
    ::shutdown(fd, SHUT_WR);
    QCOMPARE(WaitReport(*peer, 30), std::optional<qint64>(40'000));
    const double seconds = Now() - start;
    QVERIFY2(seconds >= 0.38, qPrintable(QStringLiteral("read 40 kB in %1 s").arg(seconds)));
    ::close(fd);
    Stop(*peer);
}

void BenchSupportTest::burstPeerSendsTheBurstAfterTheFirstByte() {
    std::optional<Listener> listener = ListenOnPrinterPort();
    QVERIFY(listener);
    std::optional<Peer> peer = Start({"burst", "--bytes", "200000", "--seed", "11"}, *listener);
    QVERIFY(peer);
    const int fd = ConnectPlain(listener->address);
    QVERIFY(fd >= 0);
    QVERIFY(SendAll(fd, "g"));
    QByteArray received;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received.append(buffer, n);
    }
    QCOMPARE(received.size(), qsizetype{200'000});
    QVERIFY(received == MakeBurst(200'000, 11));
    QCOMPARE(WaitReport(*peer, 30), std::optional<qint64>(200'000));
    ::close(fd);
    Stop(*peer);
}

QTEST_GUILESS_MAIN(BenchSupportTest)
#include "support_test.moc"
