// The emulator program as a technician runs it: started on a free loopback port,
// driven by plain TCP clients, stopped by a signal.
#include "pcx_samples.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

constexpr int WaitMs = 20000;

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// One emulator process. It dies with the test process, and the destructor kills
// it if a test left it running.
class Emulator {
public:
    explicit Emulator(const QStringList& options, bool onFreePort = true) {
        process_.setProgram(QStringLiteral(KIVO_EMULATOR_PATH));
        process_.setArguments(onFreePort ? QStringList{"--listen", "127.0.0.1:0"} + options : options);
        process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { collect(); });
        process_.start();
    }
    ~Emulator() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(WaitMs);
        }
    }

    [[nodiscard]] bool waitListening() {
        (void)QTest::qWaitFor([&] { return port_ > 0 || process_.state() == QProcess::NotRunning; }, WaitMs);
        return port_ > 0;
    }
    // Waits for a stdout line that starts with the text.
    [[nodiscard]] bool waitLine(const QString& start) {
        return QTest::qWaitFor([&] { return hasLine(start); }, WaitMs);
    }
    [[nodiscard]] bool hasLine(const QString& start) const {
        return std::any_of(lines_.begin(), lines_.end(), [&](const QString& l) { return l.startsWith(start); });
    }
    // Signals the emulator and checks that it ends cleanly with its summary.
    [[nodiscard]] bool stop(int signal = SIGTERM) {
        ::kill(pid_t(process_.processId()), signal);
        const bool finished = process_.waitForFinished(WaitMs);
        collect();
        return finished && process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0 &&
               !lines_.isEmpty() && lines_.constLast().startsWith("summary: ");
    }
    // Peak resident memory of the emulator, in KiB.
    [[nodiscard]] long peakMemoryKiB() const {
        const QByteArray status = readFile(QString("/proc/%1/status").arg(process_.processId()));
        const auto m = QRegularExpression(R"(VmHWM:\s+(\d+) kB)").match(QString::fromLatin1(status));
        return m.hasMatch() ? m.captured(1).toLong() : -1;
    }

    QProcess& process() { return process_; }
    int port() const { return port_; }
    const QStringList& lines() const { return lines_; }

private:
    void collect() {
        buffer_ += process_.readAllStandardOutput();
        for (qsizetype end; (end = buffer_.indexOf('\n')) >= 0; buffer_.remove(0, end + 1)) {
            const QString line = QString::fromUtf8(buffer_.left(end));
            lines_ << line;
            const auto m = QRegularExpression(R"(^listening on 127\.0\.0\.1:(\d+)$)").match(line);
            if (m.hasMatch()) port_ = m.captured(1).toInt();
        }
    }

    QProcess process_;
    QByteArray buffer_;
    QStringList lines_;
    int port_ = 0;
};

// A plain blocking TCP client on loopback; reads never block.
class Client {
public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval limit{WaitMs / 1000, 0};  // a send never hangs the test
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(std::uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(); }

    [[nodiscard]] bool connected() const { return connected_; }
    [[nodiscard]] bool send(const QByteArray& data) {
        for (qsizetype at = 0; at < data.size();) {
            const ssize_t n = ::send(fd_, data.constData() + at, std::size_t(data.size() - at), MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += n;
        }
        return true;
    }
    // Sends what the connection takes right now; returns the count.
    qint64 sendWithoutWaiting(const QByteArray& data) {
        const ssize_t n = ::send(fd_, data.constData(), std::size_t(data.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        return n < 0 ? 0 : n;
    }
    void pump() {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                received_.append(buffer, n);
            } else {
                if (n == 0) eof_ = true;
                else if (errno != EAGAIN && errno != EWOULDBLOCK) error_ = errno;
                return;
            }
        }
    }
    [[nodiscard]] bool waitFor(qsizetype count) {
        (void)QTest::qWaitFor([&] { pump(); return received_.size() >= count || eof_ || error_; }, WaitMs);
        return received_.size() >= count;
    }
    [[nodiscard]] bool waitEnd() {
        return QTest::qWaitFor([&] { pump(); return eof_ || error_; }, WaitMs);
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Ends the connection with a reset instead of a close.
    void abort() {
        const linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
    const QByteArray& received() const { return received_; }
    int error() const { return error_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    int error_ = 0;
    QByteArray received_;
};

}  // namespace

class TestEmulatorServer : public QObject {
    Q_OBJECT
private slots:
    void answersOverTheSocket_data();
    void answersOverTheSocket();
    void nextClientServedAfterImageCutShort_data();
    void nextClientServedAfterImageCutShort();
    void waitingClientServedWhenFirstLeaves();
    void resetAfterBytes();
    void stalledPrinterNeverReads();
    void readRateSlowsTheStream();
    void savesRecordTicketsAndImages();
    void longStreamKeepsMemoryFlat();
    void stopsCleanlyOnSignal_data();
    void stopsCleanlyOnSignal();
    void refusesBadArguments_data();
    void refusesBadArguments();
};

void TestEmulatorServer::answersOverTheSocket_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("VEK ticket and HP form feed")
        << QStringList{} << QByteArray("<RL><F6><RC90,40>1Hi<p>\x0c") << QByteArray("\x06\x06")
        << QStringList{"ticket 1: 23 bytes, Ticket ACK", "ticket 2: 1 bytes, Ticket ACK"};
    QTest::newRow("image data holding print commands")
        << QStringList{} << QByteArray("<SP100,100><pcx><G6><p><p><p>") << QByteArray("\x06")
        << QStringList{"image 1: 6 bytes", "ticket 1: 29 bytes, Ticket ACK"};
    QTest::newRow("stock runs out") << QStringList{"--tickets", "1"} << QByteArray("<p><p>")
                                    << QByteArray("\x06\x10") << QStringList{"ticket 2: 3 bytes, Out of Tickets"};
    QTest::newRow("jam") << QStringList{"--jam-after", "1"} << QByteArray("<p><p>") << QByteArray("\x06\x18")
                         << QStringList{"ticket 2: 3 bytes, Ticket Jam"};
    QTest::newRow("ribbon low") << QStringList{"--ribbon-low-after", "1"} << QByteArray("<p>")
                                << QByteArray("\x06\x16") << QStringList{"ticket 1: 3 bytes, Ticket ACK, Ribbon Low"};
    QTest::newRow("NAK") << QStringList{"--nak-on", "VOID"} << QByteArray("VOID<p>ok<p>") << QByteArray("\x15\x06")
                         << QStringList{"ticket 1: 7 bytes, Ticket NAK", "ticket 2: 5 bytes, Ticket ACK"};
    QTest::newRow("power on greeting") << QStringList{"--send-on-connect", "12"} << QByteArray("<p>")
                                       << QByteArray("\x12\x06") << QStringList{"ticket 1: 3 bytes, Ticket ACK"};
    QTest::newRow("malformed graphics length")
        << QStringList{} << QByteArray("<G1x><p>") << QByteArray("\x19\x06")
        << QStringList{"illegal data: graphics length in <G1x>"};
    QTest::newRow("control byte in a length is shown escaped")
        << QStringList{} << QByteArray("<G\x01><p>") << QByteArray("\x19\x06")
        << QStringList{"illegal data: graphics length in <G\\x01>"};
}

void TestEmulatorServer::answersOverTheSocket() {
    QFETCH(QStringList, options);
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, answers);
    QFETCH(QStringList, lines);

    Emulator emulator(options);
    QVERIFY(emulator.waitListening());
    Client client(emulator.port());
    QVERIFY(client.connected());
    QVERIFY(client.send(stream));
    QVERIFY(client.waitFor(answers.size()));
    QCOMPARE(client.received().toHex(' '), answers.toHex(' '));
    client.close();
    QVERIFY(emulator.waitLine("connection 1 closed by client"));
    for (const QString& line : lines) QVERIFY2(emulator.hasLine(line), qPrintable(emulator.lines().join('\n')));
    QVERIFY(emulator.stop());
}

void TestEmulatorServer::nextClientServedAfterImageCutShort_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("client closes") << false;
    QTest::newRow("client resets") << true;
}

void TestEmulatorServer::nextClientServedAfterImageCutShort() {
    QFETCH(bool, reset);
    Emulator emulator({});
    QVERIFY(emulator.waitListening());
    {
        Client first(emulator.port());
        QVERIFY(first.send("<SP100,100><pcx><G1000>" + QByteArray(100, 'z')));
        QVERIFY(emulator.waitLine("connection 1 from"));
        // The bytes are in before the client goes: the emulator has them all queued.
        if (reset)
            first.abort();
        else
            first.close();
    }
    QVERIFY(emulator.waitLine("connection 1 "));
    Client second(emulator.port());
    QVERIFY(second.send("<p>"));
    QVERIFY(second.waitFor(1));
    QCOMPARE(second.received(), QByteArray("\x06"));
    QVERIFY(emulator.hasLine("image 1: cut short after"));
    QVERIFY(emulator.hasLine("ticket 1: 3 bytes, Ticket ACK"));
    if (!reset) QVERIFY(emulator.hasLine("image 1: cut short after 100 of 1000 bytes, discarded"));
    QVERIFY(emulator.stop());
}

// A printer serves one connection at a time; the next waits until the first leaves.
void TestEmulatorServer::waitingClientServedWhenFirstLeaves() {
    Emulator emulator({});
    QVERIFY(emulator.waitListening());
    Client first(emulator.port());
    QVERIFY(first.send("<p>"));
    QVERIFY(first.waitFor(1));
    Client second(emulator.port());
    QVERIFY(second.connected());
    QVERIFY(second.send("<p>"));
    // A full round trip on the first connection after the second one sent.
    QVERIFY(first.send("<p>"));
    QVERIFY(first.waitFor(2));
    second.pump();
    QVERIFY(second.received().isEmpty());
    QVERIFY(!emulator.hasLine("connection 2"));
    first.close();
    QVERIFY(second.waitFor(1));
    QCOMPARE(second.received(), QByteArray("\x06"));
    QVERIFY(emulator.hasLine("ticket 3: 3 bytes, Ticket ACK"));
    QVERIFY(emulator.stop());
}

void TestEmulatorServer::resetAfterBytes() {
    QTemporaryDir dir;
    const QString record = dir.filePath("record.bin");
    Emulator emulator({"--reset-after", "10", "--record", record});
    QVERIFY(emulator.waitListening());
    {
        Client first(emulator.port());
        QVERIFY(first.send("0123456789ABCDEF<p>"));
        QVERIFY(first.waitEnd());
        QCOMPARE(first.error(), ECONNRESET);
        QVERIFY(first.received().isEmpty());
    }
    QVERIFY(emulator.hasLine("connection 1 reset by the emulator after 10 bytes: 10 bytes received"));
    Client second(emulator.port());
    QVERIFY(second.send("<p>"));
    QVERIFY(second.waitFor(1));
    QCOMPARE(second.received(), QByteArray("\x06"));
    QVERIFY(emulator.stop());
    QCOMPARE(readFile(record), QByteArray("0123456789<p>"));
}

void TestEmulatorServer::stalledPrinterNeverReads() {
    Emulator emulator({"--stall"});
    QVERIFY(emulator.waitListening());
    {
        Client client(emulator.port());
        QVERIFY(emulator.waitLine("connection 1 from"));
        const QByteArray chunk = QByteArray(64 * 1024, 'x') + "<p>";
        qint64 sent = 0;
        for (qint64 n; (n = client.sendWithoutWaiting(chunk)) > 0 && sent < (256 << 20);) sent += n;
        QVERIFY2(sent < (256 << 20), "the connection never filled up");
        client.pump();
        QVERIFY(client.received().isEmpty());
        client.abort();
    }
    QVERIFY(emulator.waitLine("connection 1 closed by client: 0 bytes received"));
    Client next(emulator.port());
    QVERIFY(emulator.waitLine("connection 2 from"));
    QVERIFY(emulator.stop());
    QVERIFY(emulator.lines().constLast().startsWith("summary: 2 connections, 0 bytes received"));
}

void TestEmulatorServer::readRateSlowsTheStream() {
    Emulator emulator({"--read-rate", "40000"});
    QVERIFY(emulator.waitListening());
    Client client(emulator.port());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(client.send(QByteArray(20000, 'x') + "<p>"));
    QVERIFY(client.waitFor(1));
    // 20003 bytes at 40000 per second, less one 2000-byte bucket: at least 450 ms.
    QVERIFY2(timer.elapsed() >= 400, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(client.received(), QByteArray("\x06"));
    QVERIFY(emulator.stop());
}

void TestEmulatorServer::savesRecordTicketsAndImages() {
    QTemporaryDir dir;
    const QString record = dir.filePath("record.bin"), tickets = dir.filePath("tickets"),
                  pictures = dir.filePath("pcx");
    const QImage picture = pcx_samples::picture(40, 20);
    const QByteArray pcx = pcx_samples::encode(picture);
    const QByteArray ticket1 = "<RL><F6><RC90,40>1Kivo test ticket\r\n<p>";
    const QByteArray ticket2 = "<SP100,100><pcx><G" + QByteArray::number(pcx.size()) + ">" + pcx + "<p>";
    const QByteArray ticket3 = "<SP100,100><pcx><G5>hello<p>";
    const QByteArray ticket4 = "\x1b" "E HP ticket\x0c";
    const QByteArray tail = "unprinted tail";

    Emulator emulator({"--record", record, "--tickets-dir", tickets, "--pcx-dir", pictures});
    QVERIFY(emulator.waitListening());
    {
        Client first(emulator.port());
        QVERIFY(first.send(ticket1 + ticket2));
        QVERIFY(first.waitFor(2));
    }
    QVERIFY(emulator.waitLine("connection 1 closed"));
    {
        Client second(emulator.port());
        QVERIFY(second.send(ticket3 + ticket4 + tail));
        QVERIFY(second.waitFor(2));
    }
    QVERIFY(emulator.waitLine("connection 2 closed"));
    QVERIFY(emulator.stop());

    QCOMPARE(readFile(record), ticket1 + ticket2 + ticket3 + ticket4 + tail);
    QCOMPARE(QDir(tickets).entryList(QDir::Files),
             (QStringList{"ticket-0001.txt", "ticket-0002.txt", "ticket-0003.txt", "ticket-0004.txt"}));
    QCOMPARE(readFile(tickets + "/ticket-0001.txt"), ticket1);
    QCOMPARE(readFile(tickets + "/ticket-0002.txt"), ticket2);
    QCOMPARE(readFile(tickets + "/ticket-0003.txt"), ticket3);
    QCOMPARE(readFile(tickets + "/ticket-0004.txt"), ticket4);
    QCOMPARE(QDir(pictures).entryList(QDir::Files),
             (QStringList{"image-0001.pcx", "image-0001.png", "image-0002.pcx"}));
    QCOMPARE(readFile(pictures + "/image-0001.pcx"), pcx);
    QCOMPARE(readFile(pictures + "/image-0002.pcx"), QByteArray("hello"));
    QVERIFY(pcx_samples::samePixels(QImage(pictures + "/image-0001.png"), picture));
    QVERIFY(emulator.hasLine(QString("image 1: %1 bytes, saved image-0001.pcx, image-0001.png (40x20)").arg(pcx.size())));
    QVERIFY(emulator.hasLine("image 2: 5 bytes, saved image-0002.pcx, no PNG: shorter than a PCX header"));
    QVERIFY(emulator.hasLine("ticket 4: 13 bytes, Ticket ACK, saved ticket-0004.txt"));
    QVERIFY(emulator.hasLine("unprinted ticket dropped: 14 bytes"));
}

void TestEmulatorServer::longStreamKeepsMemoryFlat() {
    // One MiB: eight text tickets, then an image of the rest.
    QByteArray block;
    for (int i = 0; i < 8; ++i) block += QByteArray(8000, 'T') + "<p>";
    const qsizetype imageLength = (1 << 20) - block.size() - 13;
    block += "<G" + QByteArray::number(imageLength).rightJustified(10, '0') + ">" + QByteArray(imageLength, 'i');
    constexpr int Blocks = 160;

    Emulator emulator({});
    QVERIFY(emulator.waitListening());
    const long before = emulator.peakMemoryKiB();
    QVERIFY(before > 0);
    Client client(emulator.port());
    for (int i = 0; i < Blocks; ++i) QVERIFY(client.send(block));
    QVERIFY(client.waitFor(8 * Blocks));
    QCOMPARE(client.received(), QByteArray(8 * Blocks, '\x06'));
    const long growth = emulator.peakMemoryKiB() - before;
    QVERIFY2(growth < 32 * 1024, qPrintable(QString("grew by %1 KiB").arg(growth)));
    client.close();
    QVERIFY(emulator.waitLine("connection 1 closed"));
    QVERIFY(emulator.stop());
    QVERIFY(emulator.lines().constLast().startsWith(
        QString("summary: 1 connections, %1 bytes received, %2 tickets").arg(qint64(Blocks) << 20).arg(8 * Blocks)));
}

void TestEmulatorServer::stopsCleanlyOnSignal_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

void TestEmulatorServer::stopsCleanlyOnSignal() {
    QFETCH(int, signal);
    Emulator emulator({});
    QVERIFY(emulator.waitListening());
    Client client(emulator.port());
    QVERIFY(client.send("abc<p>def"));
    QVERIFY(client.waitFor(1));
    QVERIFY(emulator.stop(signal));
    QVERIFY(emulator.hasLine("unprinted ticket dropped: 3 bytes"));
    QVERIFY(emulator.hasLine("connection 1 ended by stop: 9 bytes received"));
    QVERIFY(emulator.lines().constLast().startsWith("summary: 1 connections, 9 bytes received, 1 tickets (1 Ticket ACK"));
}

void TestEmulatorServer::refusesBadArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("listen without port") << QStringList{"--listen", "127.0.0.1"};
    QTest::newRow("port out of range") << QStringList{"--listen", "127.0.0.1:70000"};
    QTest::newRow("not an IPv4 address") << QStringList{"--listen", "printer:9100"};
    QTest::newRow("negative stock") << QStringList{"--tickets", "-1"};
    QTest::newRow("stock not a number") << QStringList{"--tickets", "many"};
    QTest::newRow("zero read rate") << QStringList{"--read-rate", "0"};
    QTest::newRow("hex with a bad digit") << QStringList{"--send-on-connect", "1G"};
    QTest::newRow("hex with half a byte") << QStringList{"--send-on-connect", "123"};
    QTest::newRow("empty NAK text") << QStringList{"--nak-on", ""};
    QTest::newRow("stray argument") << QStringList{"9100"};
}

void TestEmulatorServer::refusesBadArguments() {
    QFETCH(QStringList, arguments);
    Emulator emulator(arguments, false);
    QVERIFY(emulator.process().waitForFinished(WaitMs));
    QCOMPARE(emulator.process().exitCode(), 2);
    QVERIFY(!emulator.process().readAllStandardError().isEmpty());
    QVERIFY(!emulator.hasLine("listening"));
}

QTEST_GUILESS_MAIN(TestEmulatorServer)
#include "tst_emu_server.moc"
