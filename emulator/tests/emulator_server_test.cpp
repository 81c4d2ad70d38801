// The emulator program as a technician runs it: started on a free loopback port,
// driven by plain TCP clients, stopped by a signal.
#include "emulator/tests/pcx_samples.h"

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

constexpr int kWaitMs = 20000;

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// One emulator process; it dies with the test process, or with this object.
class Emulator {
public:
    explicit Emulator(const QStringList& options, bool onFreePort = true) {
        process.setProgram(QStringLiteral(KIVO_EMULATOR_PATH));
        process.setArguments(onFreePort ? QStringList{"--listen", "127.0.0.1:0"} + options : options);
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { Collect(); });
        process.start();
    }
    ~Emulator() {
        process.kill();
        process.waitForFinished(kWaitMs);
    }
    [[nodiscard]] bool WaitListening() {
        (void)QTest::qWaitFor([&] { return port > 0 || process.state() == QProcess::NotRunning; }, kWaitMs);
        return port > 0;
    }
    // Lines are matched by their start.
    [[nodiscard]] bool HasLine(const QString& start) const {
        return std::any_of(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(start); });
    }
    [[nodiscard]] bool WaitLine(const QString& start) {
        return QTest::qWaitFor([&] { return HasLine(start); }, kWaitMs);
    }
    // Signals the emulator; true when it ended cleanly with its summary.
    [[nodiscard]] bool Stop(int signal = SIGTERM) {
        ::kill(pid_t(process.processId()), signal);
        const bool finished = process.waitForFinished(kWaitMs);
        Collect();
        return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 &&
               lines.constLast().startsWith("summary: ");
    }
    // The processor time it has used so far, user and system.
    [[nodiscard]] qint64 CpuMs() const {
        const QList<QByteArray> fields = ReadFile(QString("/proc/%1/stat").arg(process.processId())).split(' ');
        // Fields 14 and 15, after a name in parentheses that holds no blank here.
        if (fields.size() < 15) return -1;
        return (fields[13].toLongLong() + fields[14].toLongLong()) * 1000 / ::sysconf(_SC_CLK_TCK);
    }
    [[nodiscard]] long PeakMemoryKiB() const {
        const QString status = ReadFile(QString("/proc/%1/status").arg(process.processId()));
        const auto m = QRegularExpression(R"(VmHWM:\s+(\d+) kB)").match(status);
        return m.hasMatch() ? m.captured(1).toLong() : -1;
    }

    QProcess process;
    QStringList lines;
    int port = 0;

private:
    void Collect() {
        buffer_ += process.readAllStandardOutput();
        for (qsizetype end; (end = buffer_.indexOf('\n')) >= 0; buffer_.remove(0, end + 1)) {
            lines << QString::fromUtf8(buffer_.left(end));
            const auto m = QRegularExpression(R"(^listening on 127\.0\.0\.1:(\d+)$)").match(lines.constLast());
            if (m.hasMatch()) port = m.captured(1).toInt();
        }
    }
    QByteArray buffer_;
};

// A plain TCP client on loopback: blocking sends (with a time limit), reads that never block.
class Client {
public:
    explicit Client(int port) {
        clock_.start();
        const timeval limit{kWaitMs / 1000, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(std::uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { Close(); }
    [[nodiscard]] bool Send(const QByteArray& data, int flags = 0) {
        for (qsizetype at = 0; at < data.size();) {
            const ssize_t n = ::send(fd_, data.constData() + at, std::size_t(data.size() - at), MSG_NOSIGNAL | flags);
            if (n <= 0) return false;
            at += n;
        }
        return true;
    }
    void Pump() {
        char buffer[65536];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            if (received.isEmpty()) firstByteMs = clock_.elapsed();
            received.append(buffer, n);
        }
        if (n == 0) ended = true;
        if (n < 0 && errno != EAGAIN) ended = true, error = errno;
    }
    // Waits until that many bytes came, or the connection ended.
    [[nodiscard]] bool WaitFor(qsizetype count) {
        (void)QTest::qWaitFor(
            [&] {
                Pump();
                return received.size() >= count || ended;
            },
            kWaitMs);
        return received.size() >= count;
    }
    // Ends the sending side and reads until the emulator ends the connection:
    // everything it sent is then in `received`.
    [[nodiscard]] bool Finish() {
        ::shutdown(fd_, SHUT_WR);
        (void)QTest::qWaitFor(
            [&] {
                Pump();
                return ended;
            },
            kWaitMs);
        return ended && error == 0;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Ends the connection with a reset instead of a close.
    void Abort() {
        const linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        Close();
    }

    bool connected = false, ended = false;
    int error = 0;
    QByteArray received;
    qint64 firstByteMs = -1;  // when the first byte was read, from before the connect

private:
    QElapsedTimer clock_;
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

}  // namespace

class EmulatorServerTest : public QObject {
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
    void newRunNumbersOnFromTheLastOne();
    void longStreamKeepsMemoryFlat();
    void refusesBadArguments_data();
    void refusesBadArguments();
};

// One row per printer option: the parser's own tests cover the logic, these
// prove that the command line reaches it and the answers reach the client.
void EmulatorServerTest::answersOverTheSocket_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<QString>("line");
    const auto row = [](const char* name, const QStringList& options, const QByteArray& stream,
                        const QByteArray& answers,
                        const QString& line) { QTest::newRow(name) << options << stream << answers << line; };
    row("VEK ticket and HP form feed", {}, "<RL><F6><RC90,40>1Hi<p>\x0c", "\x06\x06", "ticket 2: 1 bytes, Ticket ACK");
    row("image data holding print commands", {}, "<SP100,100><pcx><G6><p><p><p>", "\x06",
        "ticket 1: 29 bytes, Ticket ACK");
    row("stock runs out", {"--tickets", "1"}, "<p><p>", "\x06\x10", "ticket 2: 3 bytes, Out of Tickets");
    row("jam", {"--jam-after", "1"}, "<p><p>", "\x06\x18", "ticket 2: 3 bytes, Ticket Jam");
    row("ribbon low", {"--ribbon-low-after", "1"}, "<p>", "\x06\x16", "ticket 1: 3 bytes, Ticket ACK, Ribbon Low");
    row("NAK", {"--nak-on", "VOID"}, "VOID<p>ok<p>", "\x15\x06", "ticket 1: 7 bytes, Ticket NAK");
    row("power on greeting", {"--send-on-connect", "12"}, "<p>", "\x12\x06", "ticket 1: 3 bytes, Ticket ACK");
    // Late answers, in order, still sent after the client has ended its side.
    row("answers late", {"--answer-delay", "400", "--ribbon-low-after", "2"}, "<p>\x0c<p>", "\x06\x06\x16\x06\x16",
        "ticket 3: 3 bytes, Ticket ACK, Ribbon Low");
    row("no answers, the greeting still goes", {"--no-answers", "--send-on-connect", "12"}, "<p>VOID<G1x><p>", "\x12",
        "ticket 2: 12 bytes, Ticket ACK, not answered");
    const auto pcx = [](char bits, char planes) {
        QByteArray header = pcx_samples::Header(8, 1, 8);
        header[3] = bits, header[65] = planes;
        return "<SP100,100><pcx><G128>" + header + "<p>";
    };
    row("24-bit PCX: depth named", {}, pcx(8, 3), "\x06",
        "image 1: 128 bytes, 24-bit colour PCX (3 planes of 8 bits): cannot draw");
    row("4 planes of 1 bit", {}, pcx(1, 4), "\x06",
        "image 1: 128 bytes, 4-bit palette PCX (4 planes of 1 bit): cannot draw");
    row("malformed graphics length", {}, "<G1x><p>", "\x19\x06", "illegal data: graphics length in <G1x>");
    row("control byte in a length is shown escaped", {}, "<G\x01><p>", "\x19\x06",
        "illegal data: graphics length in <G\\x01>");
}

void EmulatorServerTest::answersOverTheSocket() {
    QFETCH(QStringList, options);
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, answers);
    QFETCH(QString, line);
    Emulator emulator(options);
    QVERIFY(emulator.WaitListening());
    const qint64 cpu = emulator.CpuMs();
    Client client(emulator.port);
    QVERIFY(client.Send(stream));
    // Its side ended, the client gets what the emulator owes it, then the end: nothing more.
    QVERIFY(client.Finish());
    QCOMPARE(client.received.toHex(' '), answers.toHex(' '));
    QVERIFY(emulator.WaitLine("connection 1 closed by client"));
    // --answer-delay MS: the first answer no sooner, and the wait spent asleep
    // (a loop polling the time would burn a good part of it, even on a busy machine).
    if (const qsizetype at = options.indexOf("--answer-delay"); at >= 0) {
        const int delay = options[at + 1].toInt();
        QVERIFY2(client.firstByteMs >= delay, qPrintable(QString::number(client.firstByteMs)));
        QVERIFY2(emulator.CpuMs() - cpu < delay / 8, qPrintable(QString::number(emulator.CpuMs() - cpu) + " ms"));
    }
    QVERIFY2(emulator.HasLine(line), qPrintable(emulator.lines.join('\n')));
    QVERIFY(emulator.Stop());
}

void EmulatorServerTest::nextClientServedAfterImageCutShort_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("client closes") << false;
    QTest::newRow("client resets") << true;
}

void EmulatorServerTest::nextClientServedAfterImageCutShort() {
    QFETCH(bool, reset);
    Emulator emulator({});
    QVERIFY(emulator.WaitListening());
    {
        Client first(emulator.port);
        QVERIFY(first.Send("<SP100,100><pcx><G1000>" + QByteArray(100, 'z')));
        QVERIFY(emulator.WaitLine("connection 1 from"));
        reset ? first.Abort() : first.Close();
    }
    QVERIFY(emulator.WaitLine("connection 1 "));
    Client second(emulator.port);
    QVERIFY(second.Send("<p>"));
    QVERIFY(second.WaitFor(1));
    QCOMPARE(second.received, QByteArray("\x06"));
    QVERIFY(emulator.WaitLine("ticket 1: 3 bytes, Ticket ACK"));
    QVERIFY(emulator.HasLine(reset ? "image 1: cut short after" : "image 1: cut short after 100 of 1000 bytes"));
    QVERIFY(emulator.Stop());
}

// A printer serves one connection at a time; the next waits until the first leaves.
void EmulatorServerTest::waitingClientServedWhenFirstLeaves() {
    Emulator emulator({});
    QVERIFY(emulator.WaitListening());
    Client first(emulator.port);
    QVERIFY(first.Send("<p>") && first.WaitFor(1));
    Client second(emulator.port);
    QVERIFY(second.connected && second.Send("<p>def"));
    // A full round trip on the first connection after the second one sent.
    QVERIFY(first.Send("<p>") && first.WaitFor(2));
    second.Pump();
    QVERIFY(second.received.isEmpty());
    QVERIFY(!emulator.HasLine("connection 2"));
    first.Close();
    QVERIFY(second.WaitFor(1));
    QCOMPARE(second.received, QByteArray("\x06"));
    QVERIFY(emulator.WaitLine("ticket 3: 3 bytes, Ticket ACK"));
    // Stopping mid-ticket ends the connection and still gives the summary.
    QVERIFY(emulator.Stop(SIGINT));
    QVERIFY(emulator.HasLine("unprinted ticket dropped: 3 bytes"));
    QVERIFY(emulator.HasLine("connection 2 ended by stop: 6 bytes received"));
    QVERIFY(
        emulator.lines.constLast().startsWith("summary: 2 connections, 12 bytes received, 3 tickets (3 Ticket ACK"));
}

void EmulatorServerTest::resetAfterBytes() {
    QTemporaryDir dir;
    const QString record = dir.filePath("record.bin");
    Emulator emulator({"--reset-after", "10", "--record", record});
    QVERIFY(emulator.WaitListening());
    {
        Client first(emulator.port);
        QVERIFY(first.Send("0123456789ABCDEF<p>"));
        QVERIFY(QTest::qWaitFor(
            [&] {
                first.Pump();
                return first.ended;
            },
            kWaitMs));
        QCOMPARE(first.error, ECONNRESET);
        QVERIFY(first.received.isEmpty());
    }
    QVERIFY(emulator.WaitLine("connection 1 reset by the emulator after 10 bytes: 10 bytes received"));
    Client second(emulator.port);
    QVERIFY(second.Send("<p>") && second.WaitFor(1));
    QCOMPARE(second.received, QByteArray("\x06"));
    QVERIFY(emulator.Stop());
    QCOMPARE(ReadFile(record), QByteArray("0123456789<p>"));
}

void EmulatorServerTest::stalledPrinterNeverReads() {
    Emulator emulator({"--stall"});
    QVERIFY(emulator.WaitListening());
    {
        Client client(emulator.port);
        QVERIFY(emulator.WaitLine("connection 1 from"));
        const QByteArray chunk = QByteArray(64 * 1024, 'x') + "<p>";
        int chunks = 0;
        while (chunks < 4096 && client.Send(chunk, MSG_DONTWAIT)) ++chunks;
        QVERIFY2(chunks < 4096, "the connection never filled up");
        client.Pump();
        QVERIFY(client.received.isEmpty());
        client.Abort();
    }
    QVERIFY(emulator.WaitLine("connection 1 closed by client: 0 bytes received"));
    Client next(emulator.port);
    QVERIFY(emulator.WaitLine("connection 2 from"));
    QVERIFY(emulator.Stop());
    QVERIFY(emulator.lines.constLast().startsWith("summary: 2 connections, 0 bytes received"));
}

void EmulatorServerTest::readRateSlowsTheStream() {
    Emulator emulator({"--read-rate", "40000"});
    QVERIFY(emulator.WaitListening());
    Client client(emulator.port);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(client.Send(QByteArray(20000, 'x') + "<p>"));
    QVERIFY(client.WaitFor(1));
    // 20003 bytes at 40000 per second, less one 2000-byte bucket: at least 450 ms.
    QVERIFY2(timer.elapsed() >= 400, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(client.received, QByteArray("\x06"));
    QVERIFY(emulator.Stop());
}

void EmulatorServerTest::savesRecordTicketsAndImages() {
    QTemporaryDir dir;
    const QString record = dir.filePath("record.bin"), tickets = dir.filePath("t"), pictures = dir.filePath("pcx");
    const QImage picture = pcx_samples::Picture(40, 20);
    const QByteArray pcx = pcx_samples::Encode(picture);
    const QByteArrayList sent{"<RL><F6><RC90,40>1Kivo test ticket\r\n<p>",
                              "<SP100,100><pcx><G" + QByteArray::number(pcx.size()) + ">" + pcx + "<p>",
                              "<SP100,100><pcx><G5>hello<p>", QByteArray("\x1b") + "E HP ticket\x0c", "unprinted tail"};

    Emulator emulator({"--record", record, "--tickets-dir", tickets, "--pcx-dir", pictures});
    QVERIFY(emulator.WaitListening());
    for (int connection = 0; connection < 2; ++connection) {
        Client client(emulator.port);
        QVERIFY(client.Send(sent[connection * 2] + sent[connection * 2 + 1] + (connection ? sent[4] : "")));
        QVERIFY(client.WaitFor(2));
        client.Close();
        QVERIFY(emulator.WaitLine(QString("connection %1 closed").arg(connection + 1)));
    }
    QVERIFY(emulator.Stop());

    QCOMPARE(ReadFile(record), sent.join());
    QCOMPARE(QDir(tickets).entryList(QDir::Files),
             (QStringList{"ticket-0001.txt", "ticket-0002.txt", "ticket-0003.txt", "ticket-0004.txt"}));
    for (int i = 0; i < 4; ++i) QCOMPARE(ReadFile(tickets + QString("/ticket-000%1.txt").arg(i + 1)), sent[i]);
    QCOMPARE(QDir(pictures).entryList(QDir::Files),
             (QStringList{"image-0001.pcx", "image-0001.png", "image-0002.pcx"}));
    QCOMPARE(ReadFile(pictures + "/image-0001.pcx"), pcx);
    QCOMPARE(ReadFile(pictures + "/image-0002.pcx"), QByteArray("hello"));
    QVERIFY(pcx_samples::SamePixels(QImage(pictures + "/image-0001.png"), picture));
    QVERIFY(
        emulator.HasLine(QString("image 1: %1 bytes, saved image-0001.pcx, image-0001.png (40x20)").arg(pcx.size())));
    QVERIFY(emulator.HasLine("image 2: 5 bytes, saved image-0002.pcx, no PNG: shorter than a PCX header"));
    QVERIFY(emulator.HasLine("ticket 4: 13 bytes, Ticket ACK, saved ticket-0004.txt"));
    QVERIFY(emulator.HasLine("unprinted ticket dropped: 14 bytes"));
}

// A second run into the same folder (as scripts/run.sh does) keeps what the
// first one saved; numbering goes on from the highest number there, per kind.
void EmulatorServerTest::newRunNumbersOnFromTheLastOne() {
    QTemporaryDir dir;
    const QString out = dir.path();
    const QMap<QString, QByteArray> before{{"ticket-0001.txt", "one"},      {"ticket-0009.txt", "nine"},
                                           {"ticket-0003.txt.part", "cut"}, {"ticket-notes.txt", "notes"},
                                           {"image-0002.pcx", "two"},       {"image-0002.png", "png"}};
    for (auto it = before.begin(); it != before.end(); ++it) QVERIFY(WriteFile(out + "/" + it.key(), it.value()));

    Emulator emulator({"--tickets-dir", out, "--pcx-dir", out});
    QVERIFY(emulator.WaitListening());
    Client client(emulator.port);
    QVERIFY(client.Send("first<p>second<p><SP100,100><pcx><G5>hello<p>"));
    QVERIFY(client.WaitFor(3));
    QVERIFY(emulator.WaitLine("ticket 3: "));
    QVERIFY(emulator.Stop());

    for (auto it = before.begin(); it != before.end(); ++it) QCOMPARE(ReadFile(out + "/" + it.key()), it.value());
    QCOMPARE(ReadFile(out + "/ticket-0010.txt"), QByteArray("first<p>"));
    QCOMPARE(ReadFile(out + "/ticket-0011.txt"), QByteArray("second<p>"));
    QCOMPARE(ReadFile(out + "/ticket-0012.txt"), QByteArray("<SP100,100><pcx><G5>hello<p>"));
    QCOMPARE(ReadFile(out + "/image-0003.pcx"), QByteArray("hello"));
    QVERIFY(emulator.HasLine("ticket 1: 8 bytes, Ticket ACK, saved ticket-0010.txt"));
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), before.size() + 4);
}

void EmulatorServerTest::longStreamKeepsMemoryFlat() {
    // One MiB: an image, then eight text tickets, the last of which is acknowledged
    // only once every byte has been read; 160 of them.
    QByteArray tickets;
    for (int i = 0; i < 8; ++i) tickets += QByteArray(8000, 'T') + "<p>";
    const qsizetype imageLength = (1 << 20) - tickets.size() - 13;
    const QByteArray block =
        "<G" + QByteArray::number(imageLength).rightJustified(10, '0') + ">" + QByteArray(imageLength, 'i') + tickets;
    constexpr int kBlocks = 160;

    Emulator emulator({});
    QVERIFY(emulator.WaitListening());
    const long before = emulator.PeakMemoryKiB();
    QVERIFY(before > 0);
    Client client(emulator.port);
    for (int i = 0; i < kBlocks; ++i) QVERIFY(client.Send(block));
    QVERIFY(client.WaitFor(8 * kBlocks));
    QCOMPARE(client.received, QByteArray(8 * kBlocks, '\x06'));
    const long growth = emulator.PeakMemoryKiB() - before;
    QVERIFY2(growth < 32 * 1024, qPrintable(QString("grew by %1 KiB").arg(growth)));
    QVERIFY(emulator.Stop());
    QVERIFY(emulator.lines.constLast().startsWith(
        QString("summary: 1 connections, %1 bytes received, %2 tickets").arg(qint64(kBlocks) << 20).arg(8 * kBlocks)));
}

void EmulatorServerTest::refusesBadArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("listen without port") << QStringList{"--listen", "127.0.0.1"};
    QTest::newRow("port out of range") << QStringList{"--listen", "127.0.0.1:70000"};
    QTest::newRow("negative stock") << QStringList{"--tickets", "-1"};
    QTest::newRow("zero read rate") << QStringList{"--read-rate", "0"};
    QTest::newRow("hex with half a byte") << QStringList{"--send-on-connect", "123"};
    QTest::newRow("empty NAK text") << QStringList{"--nak-on", ""};
    QTest::newRow("answer delay of ten minutes and a millisecond") << QStringList{"--answer-delay", "600001"};
    QTest::newRow("late answers and none") << QStringList{"--answer-delay", "5", "--no-answers"};
}

void EmulatorServerTest::refusesBadArguments() {
    QFETCH(QStringList, arguments);
    Emulator emulator(arguments, false);
    QVERIFY(emulator.process.waitForFinished(kWaitMs));
    QCOMPARE(emulator.process.exitCode(), 2);
    QVERIFY(!emulator.process.readAllStandardError().isEmpty());
}

QTEST_GUILESS_MAIN(EmulatorServerTest)
#include "emulator_server_test.moc"
