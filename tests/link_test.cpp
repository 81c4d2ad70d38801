// The printer link against real sockets on loopback: opening the connection,
// the read path, sending, what the printer's TCP stack acknowledged, and how
// each job ends with the printer's answers.
#include "link/code_page.h"
#include "link/commands.h"
#include "link/delivery.h"
#include "link/printer_address.h"
#include "link/printer_connection.h"
#include "link/printer_session.h"
#include "link/printer_socket.h"
#include "link/stock_tickets.h"
#include "pcx/pcx_download.h"
#include "platform/socket_errors.h"
#include "platform/tcp_stream.h"
#include "tests/support/test_support.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

using namespace kivo;
using kivo::test::LoopTurned;
using kivo::test::ListConsole;
using kivo::test::LoopbackPrinter;
using Event = kivo::PrinterConnection::SocketEvent;

namespace {

// Both logs in one list, in the order written; the printer's lines marked "in: ".
struct Timeline : ListConsole {
    QStringList lines;
    void LogMessage(LogKind kind, const QString& text, Severity severity) override {
        ListConsole::LogMessage(kind, text, severity);
        lines << (kind == LogKind::Incoming ? QStringLiteral("in: ") : QString()) + text;
    }
};

// The socket has met an error (the printer's reset).
bool HasError(int s) {
    pollfd p{s, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

bool ConnectSession(PrinterSession& session, LoopbackPrinter& printer) {
    session.Connect(printer.Address(), printer.Port());
    return QTest::qWaitFor([&] { return session.IsConnected() && printer.HasClient(); }, 20000);
}

// The job a window button makes, the copies field holding `copies`.
PrinterSession::JobMaker ButtonJob(Console& console, const char* control, const QString& copies = {}) {
    return [&console, control, copies] {
        CommandInput input;
        input.countText = copies;
        input.address = QStringLiteral("127.0.0.1");
        return MakeCommandJob(*CommandOfControl(QString::fromLatin1(control)), input, console);
    };
}

// A job of the bytes, in pieces of `piece` bytes; no line, no Done.
PrinterSession::JobMaker BytesJob(const QByteArray& bytes, qsizetype piece = 1 << 30) {
    return [bytes, piece] {
        PrinterJob job;
        job.what = QStringLiteral("the bytes");
        job.planned = bytes.size();
        job.AddBytes({});
        for (qsizetype at = 0; at < bytes.size(); at += piece) job.AddBytes(bytes.mid(at, piece));
        return std::optional<PrinterJob>(std::move(job));
    };
}

}  // namespace

class LinkTest : public QObject {
    Q_OBJECT
private slots:
    void socketErrorTexts();
    void readsDottedAddresses();
    void addressMayNameItsPort_data();
    void addressMayNameItsPort();
    void opensPrinterSocket_data();
    void opensPrinterSocket();

    void readPathDecodesOneReplyPerEvent();
    void readEventsAreBoundedButLoseNothing();
    void textCutByReadsStaysOneLine();
    void peerCloseAndResetAreReportedOnce_data();
    void peerCloseAndResetAreReportedOnce();

    void sendsBytesExactly();
    void slowReaderGetsEveryByteOnceInOrder();
    void sendGivesUpOnAReset();
    void textGoesOutAsWindows1252_data();
    void textGoesOutAsWindows1252();
    void pcxHeaderCarriesTheTrueLength();

    void acknowledgedBytesFollowThePrinter();
    void bytesInFlightAreNotAcknowledged();
    void ledgerAccountsForEveryJob_data();
    void ledgerAccountsForEveryJob();
    void printerEndsTheConnectionMidJob_data();
    void printerEndsTheConnectionMidJob();
    void unansweredJobIsUnconfirmedAndALateAnswerConfirmsNoLaterJob();
};

void LinkTest::socketErrorTexts() {
    const QString refused = SocketErrorText(ws::WSAECONNREFUSED);
    QVERIFY(!refused.isEmpty());
    QVERIFY(!refused.endsWith(QLatin1Char('\n')) && !refused.endsWith(QLatin1Char('\r')));
    QCOMPARE(SocketErrorText(12345), QString());
    QCOMPARE(SocketErrorText(0), QString());
}

void LinkTest::readsDottedAddresses() {
    QCOMPARE(AddressToText(DottedAddress(QStringLiteral("10.0.0.192"))), QStringLiteral("10.0.0.192"));
    QCOMPARE(DottedAddress(QStringLiteral("255.255.255.255")), kNoAddress);
    // Not an address: a connect would look it up as a host name.
    QCOMPARE(DottedAddress(QStringLiteral("12.34.56.78.90")), kNoAddress);
    QCOMPARE(DottedAddress(QString::fromLatin1("127.0.0.1\0junk", 14)), kNoAddress);
}

void LinkTest::addressMayNameItsPort_data() {
    // clang-format off
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");  // "-": refused
    QTest::addColumn<int>("port");
    QTest::newRow("no port: 9100") << "10.0.0.192" << "10.0.0.192" << 9100;
    QTest::newRow("second port") << "10.0.0.192:9101" << "10.0.0.192" << 9101;
    QTest::newRow("host name") << "printserver:9102" << "printserver" << 9102;
    QTest::newRow("highest the connect can open") << "h:65534" << "h" << 65534;
    QTest::newRow("65535: the connect cannot open it") << "h:65535" << "-" << 0;
    QTest::newRow("blanks around the address") << " 127.0.0.1\t" << "127.0.0.1" << 9100;
    QTest::newRow("blanks around the host") << " 127.0.0.1 :9101 " << "127.0.0.1" << 9101;
    QTest::newRow("two ports: no address") << "127.0.0.1:9101:9102" << "-" << 0;
    QTest::newRow("port 0") << "h:0" << "-" << 0;
    QTest::newRow("above 65535") << "h:65536" << "-" << 0;
    QTest::newRow("empty port") << "h:" << "-" << 0;
    QTest::newRow("not digits") << "h:91OO" << "-" << 0;
    QTest::newRow("sign") << "h:+9100" << "-" << 0;
    QTest::newRow("blank") << "h: 9100" << "-" << 0;
    // clang-format on
}

void LinkTest::addressMayNameItsPort() {
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    const std::optional<PrinterAddress> read = ReadPrinterAddress(text);
    QCOMPARE(read.has_value(), host != QLatin1String("-"));
    if (read) {
        QCOMPARE(read->host, host);
        QCOMPARE(read->port, port);
    }
}

void LinkTest::opensPrinterSocket_data() {
    // clang-format off
    QTest::addColumn<QString>("host");  // "silent": a printer that never accepts
    QTest::addColumn<int>("port");      // 0: the loopback printer's port, -1: a closed port
    QTest::addColumn<int>("error");     // ConnectFailed's; 0: Connected
    QTest::newRow("listening printer") << "127.0.0.1" << 0 << 0;
    QTest::newRow("host name of /etc/hosts") << "localhost" << 0 << 0;
    QTest::newRow("nobody listening") << "127.0.0.1" << -1 << ws::WSAECONNREFUSED;
    QTest::newRow("all bits set") << "255.255.255.255" << 0 << ws::WSAHOST_NOT_FOUND;
    QTest::newRow("port 65535") << "127.0.0.1" << 65535 << ws::WSAEINVAL;
    // The text goes no further than what the field shows.
    QTest::newRow("NUL inside") << QString::fromLatin1("127.0.0.1\0junk", 14) << 0 << ws::WSAHOST_NOT_FOUND;
    QTest::newRow("nothing") << "" << 0 << ws::WSAHOST_NOT_FOUND;
    // Cancelled while the printer does not answer: over at once, the socket closed.
    QTest::newRow("cancelled") << "silent" << 0 << ws::WSAEINTR;
    // clang-format on
}

void LinkTest::opensPrinterSocket() {
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, error);
    LoopbackPrinter printer;
    std::optional<kivo::test::SilentPrinter> silent;
    if (host == QLatin1String("silent")) {
        silent.emplace(0);
        QVERIFY(silent->Listening());
        host = silent->Address();
        port = silent->Port();
    }
    if (port == -1) {
        LoopbackPrinter gone;
        port = gone.Port();
    }
    if (port == 0) port = printer.Port();
    const int descriptors = kivo::test::OpenDescriptorCount();
    PrinterConnection connection;
    QSignalSpy connected(&connection, &PrinterConnection::Connected);
    QSignalSpy failed(&connection, &PrinterConnection::ConnectFailed);
    connection.Open(host, port);
    // The outcome never comes from within Open: its caller has not heard yet that it began.
    QVERIFY(connection.Connecting());
    QCOMPARE(connected.count() + failed.count(), 0);
    if (silent) {
        QTRY_VERIFY(connection.Handle() >= 0);
        connection.CancelConnect();
        QCOMPARE(failed.count(), 1);
    }
    QTRY_COMPARE(connected.count() + failed.count(), 1);
    if (error == 0) {
        QVERIFY(connection.IsOpen());
        QCOMPARE(connection.ConnectionText(), QStringLiteral("127.0.0.1:%1").arg(port));
        QTRY_VERIFY(printer.HasClient());
    } else {
        QCOMPARE(failed[0][0].toInt(), error);
        QVERIFY(!connection.Connecting() && !connection.IsOpen());
        QCOMPARE(kivo::test::OpenDescriptorCount(), descriptors);  // no socket left behind
    }
}

void LinkTest::readPathDecodesOneReplyPerEvent() {
    LoopbackPrinter printer;
    ListConsole console;
    PrinterSession session(console);
    QVERIFY(ConnectSession(session, printer));
    printer.Send(QByteArray(300, 'k'));
    QTRY_COMPARE(console.incoming.size(), 1);
    QCOMPARE(console.incoming[0], QString(300, QLatin1Char('k')));
    QCOMPARE(session.Connection().ReceivedCount(), qint64(300));

    console.incoming.clear();
    printer.Send(QByteArray("\x06"));
    QTRY_COMPARE(console.incoming, QStringList{"Ticket ACK"});
    QCOMPARE(session.Connection().ReceivedCount(), qint64(1));
}

void LinkTest::readEventsAreBoundedButLoseNothing() {
    LoopbackPrinter printer;
    ListConsole console;
    PrinterSession session(console);
    QVERIFY(ConnectSession(session, printer));
    qsizetype most = 0;
    connect(&session.Connection(), &PrinterConnection::Received, this,
            [&most](const QByteArray& bytes) { most = std::max(most, bytes.size()); });
    // Status bytes only, so every byte is one line and each can be counted.
    const int total = 300000;
    printer.Send(QByteArray(total, '\x06'));
    QTRY_COMPARE_WITH_TIMEOUT(console.incoming.size(), total, 20000);
    QVERIFY2(most > 0 && most <= PrinterConnection::kMaxReadPerEvent, qPrintable(QString::number(most)));
    QCOMPARE(console.incoming.count(QStringLiteral("Ticket ACK")), total);
}

void LinkTest::textCutByReadsStaysOneLine() {
    // A socket pair read event by event, with no turn of the event loop between
    // reads unless the test waits: where a read ends is the test's choice.
    int pair[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    ListConsole console;
    PrinterSession session(console);
    session.Connection().Adopt(pair[1]);
    const auto arrive = [&](const QByteArray& bytes) {
        QCOMPARE(::send(pair[0], bytes.constData(), static_cast<size_t>(bytes.size()), 0), bytes.size());
        session.Connection().OnSocketEvent(Event::Read);
        QCOMPARE(session.Connection().ReceivedCount(), bytes.size());
    };
    arrive("\x06HELLO print");
    QCOMPARE(console.incoming, QStringList{"Ticket ACK"});
    arrive("er text ");
    arrive("line\rOK");
    QCOMPARE(console.incoming, (QStringList{"Ticket ACK", "HELLO printer text line", "Carriage Return"}));
    // Text with nothing after it shows once the printer has been quiet a moment.
    QTRY_COMPARE(console.incoming.size(), 4);
    QCOMPARE(console.incoming.last(), QStringLiteral("OK"));
    // The end of the printer's stream writes what is held at once.
    arrive("BYE");
    ::close(pair[0]);
    session.Connection().OnSocketEvent(Event::Read);
    QCOMPARE(console.incoming.last(), QStringLiteral("BYE"));
}

void LinkTest::peerCloseAndResetAreReportedOnce_data() {
    // clang-format off
    QTest::addColumn<int>("end");  // 0: closed in order, 1: reset, 2: reset before the connection took the socket
    QTest::addColumn<QStringList>("lines");
    const QString reset = "Error 10054: " + SocketErrorText(ws::WSAECONNRESET);
    QTest::newRow("closed in order") << 0 << QStringList{"in: BYE", "Lost connection with printer"};
    QTest::newRow("reset") << 1 << QStringList{"in: BYE", "Lost connection with printer", reset};
    QTest::newRow("reset before it was watched") << 2 << QStringList{"in: BYE", "Lost connection with printer", reset};
    // clang-format on
}

// What the printer said before it went is read and shown first, without the test
// waiting for it, and the loss is told once.
void LinkTest::peerCloseAndResetAreReportedOnce() {
    QFETCH(int, end);
    QFETCH(QStringList, lines);
    LoopbackPrinter printer;
    Timeline console;
    PrinterSession session(console);
    QSignalSpy lost(&session, &PrinterSession::Lost);
    int s = -1;
    if (end == 2) {
        s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(printer.Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        QTRY_VERIFY(printer.HasClient());
    } else {
        QVERIFY(ConnectSession(session, printer));
    }
    console.lines.clear();
    printer.Send(QByteArray("BYE"));
    end == 0 ? printer.Close() : printer.Reset();
    if (end == 2) {
        QTRY_VERIFY(HasError(s));
        session.Connection().Adopt(s);
    }
    QTRY_COMPARE(lost.count(), 1);
    // The socket is closed with the report: a second one could only be queued
    // already, and a turn of the loop after it delivers it.
    QVERIFY(LoopTurned());
    QCOMPARE(lost.count(), 1);
    QCOMPARE(lost[0][0].toInt(), end == 0 ? 0 : ws::WSAECONNRESET);
    QCOMPARE(console.lines, lines);
}

void LinkTest::sendsBytesExactly() {
    LoopbackPrinter printer;
    ListConsole console;
    PrinterSession session(console);
    QVERIFY(ConnectSession(session, printer));
    const QByteArray bytes("\x00\x01<p>\x0c\x80\xff", 8);
    session.Queue(QStringLiteral("bytes"), BytesJob(bytes));
    QTRY_COMPARE(printer.Received(), bytes);
    QCOMPARE(session.Sent(), qint64(8));
    QCOMPARE(console.outgoing.size(), 2);  // the connect's lines only
}

void LinkTest::slowReaderGetsEveryByteOnceInOrder() {
    LoopbackPrinter printer;
    printer.UseSmallBuffers(4096);
    ListConsole console;
    PrinterSession session(console);
    QVERIFY(ConnectSession(session, printer));
    printer.SetReading(false);
    QByteArray bytes(4 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    session.Queue(QStringLiteral("bytes"), BytesJob(bytes, 1024));
    // The send waits for the printer, and the click that started it has long returned.
    QTRY_VERIFY(session.Sent() > 0);
    QVERIFY(session.Handing() && session.Sent() < bytes.size());
    printer.ReadSlowly(64 * 1024, 1);
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), bytes.size(), 20000);
    QVERIFY(printer.Received() == bytes);
    QCOMPARE(session.Sent(), bytes.size());
    QCOMPARE(console.outgoing.size(), 2);
}

void LinkTest::sendGivesUpOnAReset() {
    LoopbackPrinter printer;
    printer.UseSmallBuffers(4096);
    Timeline console;
    PrinterSession session(console);
    QSignalSpy lost(&session, &PrinterSession::Lost);
    QVERIFY(ConnectSession(session, printer));
    printer.SetReading(false);
    console.lines.clear();
    const QByteArray bytes(10 * 1024 * 1024, 'x');
    session.Queue(QStringLiteral("bytes"), BytesJob(bytes, 1024));
    QTRY_VERIFY(session.Sent() > 0);
    printer.Reset();
    // A printer that reads nothing would hold the send far longer than this.
    QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 10000);
    const qint64 sent = session.Sent();
    QVERIFY(LoopTurned());
    QCOMPARE(lost.count(), 1);
    QCOMPARE(session.Sent(), sent);  // nothing more was handed
    QVERIFY(!session.Busy());
    QCOMPARE(console.lines.mid(0, 2),
             (QStringList{"Lost connection with printer", "Error 10054: " + SocketErrorText(ws::WSAECONNRESET)}));
    // Then the job, and at most the count of what was handed and not acknowledged.
    const QString lines = console.lines.mid(2).join('\n');
    const QRegularExpression cut(
        "^Cut short: the bytes, the printer acknowledged [0-9,]+ of 10,485,760 bytes; "
        "[0-9,]+ not delivered(\n[0-9,]+ bytes? not delivered: the printer reset the "
        "connection)?$");
    QVERIFY2(cut.match(lines).hasMatch(), qPrintable(lines));
}

void LinkTest::textGoesOutAsWindows1252_data() {
    // clang-format off
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII") << QStringLiteral("<p>") << QByteArray("<p>");
    QTest::newRow("NUL") << QString(QChar(0)) << QByteArray(1, '\0');
    QTest::newRow("Latin-1 and the 0x80 row") << QStringLiteral("\u00e9\u00ff\u20ac\u2122")
                                              << QByteArray("\xe9\xff\x80\x99");
    // The edges of the code page: where the Latin-1 half starts, an undefined
    // byte of the 0x80 row, and the last character that row holds.
    QTest::newRow("no-break space") << QStringLiteral("\u00a0") << QByteArray("\xa0");
    QTest::newRow("inverted exclamation mark") << QStringLiteral("\u00a1") << QByteArray("\xa1");
    QTest::newRow("undefined 0x9D") << QStringLiteral("\u009d") << QByteArray("\x9d");
    QTest::newRow("Y with diaeresis") << QStringLiteral("\u0178") << QByteArray("\x9f");
    // One byte per character, "?" where the code page has none.
    QTest::newRow("outside the code page") << QStringLiteral("a\u4e2d\U0001F600b") << QByteArray("a??b");
    // clang-format on
}

void LinkTest::textGoesOutAsWindows1252() {
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(ToSingleByte(text), bytes);
}

void LinkTest::pcxHeaderCarriesTheTrueLength() {
    QCOMPARE(PcxDownloadHeader(0), QByteArray("<SP100,100><pcx><G0>"));
    QCOMPARE(PcxDownloadHeader(1500), QByteArray("<SP100,100><pcx><G1500>"));
    // Past 2 GiB and 4 GiB, where a 32-bit length would wrap.
    QCOMPARE(PcxDownloadHeader(3000000000LL), QByteArray("<SP100,100><pcx><G3000000000>"));
    QCOMPARE(PcxDownloadHeader(5000000000LL), QByteArray("<SP100,100><pcx><G5000000000>"));
}

namespace {

// A connection opened to the printer, or none.
bool OpenConnection(PrinterConnection& connection, LoopbackPrinter& printer) {
    QSignalSpy connected(&connection, &PrinterConnection::Connected);
    connection.Open(printer.Address(), printer.Port());
    return QTest::qWaitFor([&] { return connected.count() == 1 && printer.HasClient(); }, 20000);
}

// 4 MB in pieces of 1024 bytes, as the window hands a file.
PrinterJob LargeJob() {
    PrinterJob job;
    for (int i = 0; i < 4096; ++i) job.AddBytes(QByteArray(1024, 'u'));
    return job;
}

// The connection's socket has no room: its send waits.
bool Waits(const PrinterConnection& connection) {
    pollfd p{connection.Handle(), POLLOUT, 0};
    return connection.Handing() && ::poll(&p, 1, 0) == 0;
}

}  // namespace

// The count is the printer's system's: what sits in its receive buffer, read or
// not, is acknowledged, and the count outlives the printer's reset. The system
// itself holds little that it has not sent.
void LinkTest::acknowledgedBytesFollowThePrinter() {
    LoopbackPrinter printer;
    printer.UseSmallBuffers(4096);
    PrinterConnection connection;
    QSignalSpy lost(&connection, &PrinterConnection::Lost);
    QVERIFY(OpenConnection(connection, printer));
    printer.SetReading(false);
    QCOMPARE(connection.Acknowledged(), qint64(0));
    connection.Hand(LargeJob());
    QTRY_VERIFY(Waits(connection));
    const qint64 notSent = connection.NotSent();
    const qint64 acked = connection.Acknowledged();
    QVERIFY2(notSent > 0 && notSent <= kUnsentLimit + 1024, qPrintable(QString::number(notSent)));
    QVERIFY(acked > 0 && acked + notSent <= connection.Sent());

    // The printer reads a part, then resets: the count keeps what it acknowledged.
    printer.ReadSlowly(2048, 5);
    QTRY_VERIFY(printer.Received().size() >= 12 * 1024);
    printer.Reset();
    QTRY_COMPARE(lost.count(), 1);
    const qint64 read = printer.Received().size();
    const qint64 last = connection.Acknowledged();
    QVERIFY2(last >= read && last <= read + 16 * 1024 && last < connection.Sent(),
             qPrintable(QStringLiteral("read %1, acknowledged %2").arg(read).arg(last)));
    connection.CloseAbortive();
    QCOMPARE(connection.Acknowledged(), last);
    platform::StreamDelivery none;
    int error = 0;
    QCOMPARE(platform::GetStreamDelivery(-1, none, error), -1);
    QCOMPARE(error, ws::WSAENOTSOCK);
}

// On a slow link bytes are on the wire and not yet acknowledged: the count of
// what the printer has not taken holds them as well as the unsent ones. The
// link is loopback in a namespace of the test's own, slowed by a token bucket.
void LinkTest::bytesInFlightAreNotAcknowledged() {
    kivo::test::PrivateNetwork network;
    if (!network.Error().isEmpty()) QSKIP(qPrintable(network.Error()));
    // Segments of an Ethernet's size, each within the bucket's burst: larger
    // ones would be dropped, not slowed.
    for (const QStringList& command : {QStringList{"ip", "link", "set", "dev", "lo", "mtu", "1500"},
                                       QStringList{"tc", "qdisc", "add", "dev", "lo", "root", "tbf", "rate", "1mbit",
                                                   "burst", "32kbit", "latency", "400ms"}}) {
        QProcess setUp;
        setUp.start(command[0], command.mid(1));
        if (!setUp.waitForFinished(10000) || setUp.exitCode() != 0)
            QSKIP(qPrintable(command.join(' ') + " cannot be run here"));
    }
    LoopbackPrinter printer;
    PrinterConnection connection;
    QVERIFY(OpenConnection(connection, printer));
    connection.Hand(LargeJob());
    qint64 mostInFlight = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            mostInFlight = std::max(mostInFlight, connection.Sent() - connection.Acknowledged() - connection.NotSent());
            return mostInFlight > 0;
        }(),
        10000);
    QVERIFY(platform::SendQueueBytes(connection.Handle()) > connection.NotSent());
}

struct LedgerStep {
    // Next begins a second job, "VEK Form Feed": 3 bytes, one print command.
    enum Kind { Begin, Next, Copy, End, Fail, Stop, Answer, Settle } kind;
    qint64 at = 0;    // offset in the connection's bytes; Settle: the bytes acknowledged
    double time = 0;  // Next, Answer, Settle: seconds
    int byte = 0x06;  // Answer
};
Q_DECLARE_METATYPE(QList<LedgerStep>)

void LinkTest::ledgerAccountsForEveryJob_data() {
    // clang-format off
    using S = LedgerStep;
    QTest::addColumn<QString>("what");
    QTest::addColumn<qint64>("copies");
    QTest::addColumn<qint64>("planned");
    QTest::addColumn<int>("printCommands");
    QTest::addColumn<bool>("reportDone");
    QTest::addColumn<QList<LedgerStep>>("steps");  // the first job begins at the first step, at 1.0 s
    QTest::addColumn<qint64>("acked");
    QTest::addColumn<QString>("progress");   // of the running job at 3.0 s, 1563 sent; "" when none runs
    QTest::addColumn<QStringList>("lines");  // of the Settle steps, then of CutShort after a reset, 1563 sent

    const QString three = QStringLiteral("3 copies of vek_test.txt");
    const QList<S> threeCopies{{S::Begin, 0}, {S::Copy, 521}, {S::Copy, 1042}, {S::Copy, 1563}, {S::End, 1563}};
    const S taken{S::Settle, 1563, 1.41};
    QTest::newRow("taken in full: Done") << three << 3LL << 1563LL << 0 << true << (threeCopies + QList<S>{taken})
                                         << 1563LL << ""
                                         << QStringList{"Done: 3 copies of vek_test.txt, 1,563 bytes, taken by the "
                                                        "printer in 0.41 s"};
    // Every byte handed, one not yet acknowledged: the job still runs.
    QTest::newRow("one byte short") << three << 3LL << 1563LL << 0 << true
                                    << (threeCopies + QList<S>{{S::Settle, 1562, 1.41}}) << 1562LL
                                    << "1,562 of 1,563 bytes taken, copy 3 of 3, time left unknown"
                                    << QStringList{"Cut short: 3 copies of vek_test.txt, the printer acknowledged 1,562 "
                                                   "of 1,563 bytes (2 of 3 copies); 1 not delivered"};
    QTest::newRow("running job, counted to what was sent")
        << three << 3LL << 5000LL << 0 << true << QList<S>{{S::Begin, 0}, {S::Copy, 521}, {S::Settle, 600, 1.41}}
        << 600LL << "600 of 5,000 bytes taken, copy 2 of 3, time left unknown"
        << QStringList{"Cut short: 3 copies of vek_test.txt, the printer acknowledged 600 of 5,000 bytes (1 of 3 "
                       "copies); 4,400 not delivered"};
    QTest::newRow("Send Text: no Done line") << "Send Text" << 1LL << 3LL << 0 << false
                                             << QList<S>{{S::Begin, 1560}, {S::End, 1563}, taken} << 1563LL << ""
                                             << QStringList{};
    QTest::newRow("Send Text not delivered")
        << "Send Text" << 1LL << 3LL << 0 << false
        << QList<S>{{S::Begin, 1560}, {S::End, 1563}, {S::Settle, 1560, 1.41}} << 1560LL
        << "0 of 3 bytes taken, time left unknown"
        << QStringList{"Cut short: Send Text, the printer acknowledged 0 of 3 bytes; 3 not delivered"};
    // A reset ends the send after the printer had acknowledged all it was handed.
    QTest::newRow("failed, all it handed taken") << three << 3LL << 1563LL << 0 << true
        << QList<S>{{S::Begin, 0}, {S::Copy, 521}, {S::Fail, 800}, {S::Settle, 800, 1.41}} << 800LL << ""
        << QStringList{"Cut short: 3 copies of vek_test.txt, the printer acknowledged 800 of 1,563 bytes (1 of 3 "
                       "copies); 763 not delivered"};
    QTest::newRow("failed, part of it on its way") << three << 3LL << 1563LL << 0 << true
        << QList<S>{{S::Begin, 0}, {S::Copy, 521}, {S::Fail, 800}, {S::Settle, 700, 1.41}} << 700LL << ""
        << QStringList{"Cut short: 3 copies of vek_test.txt, the printer acknowledged 700 of 1,563 bytes (1 of 3 "
                       "copies); 863 not delivered"};
    QTest::newRow("stopped, then taken: no line") << three << 3LL << 1563LL << 0 << true
        << QList<S>{{S::Begin, 0}, {S::Copy, 521}, {S::Stop, 700}, taken} << 1563LL << "" << QStringList{};
    // Stop after the last byte was handed: no Done, and what was on its way is named.
    QTest::newRow("stopped while the printer took the last bytes")
        << three << 3LL << 1563LL << 0 << true << (threeCopies + QList<S>{{S::Stop, 1563}, {S::Settle, 1000, 1.41}})
        << 1000LL << ""
        << QStringList{"Cut short: 3 copies of vek_test.txt (stopped), 563 of the bytes on their way did not reach "
                       "the printer"};

    // A ticket file missing from the start: its copy headers went, its print commands never did.
    QTest::newRow("failed, its file missing: no answer awaited") << "2 copies of vek_test.txt" << 2LL << 36LL << 2
        << true << QList<S>{{S::Begin, 0}, {S::Copy, 18}, {S::Copy, 36}, {S::Fail, 36}, {S::Settle, 36, 1.5}, {S::Settle, 36, 11.5}} << 36LL
        << "" << QStringList{};

    // With print commands, taken is not printed: Done waits for every answer.
    QTest::newRow("answered in full: Done with the answers") << three << 3LL << 1563LL << 3 << true
        << (threeCopies + QList<S>{{S::Settle, 1563, 1.5}, {S::Answer, 0, 1.6}, {S::Answer, 0, 1.7},
                                   {S::Answer, 0, 1.8, 0x15}, {S::Settle, 1563, 1.9}}) << 1563LL << ""
        << QStringList{"Done: 3 copies of vek_test.txt, 1,563 bytes, taken by the printer in 0.50 s; 3 answers: "
                       "2 Ticket ACK, 1 Ticket NAK"};
    QTest::newRow("taken, two of three answered, then the reset") << three << 3LL << 1563LL << 3 << true
        << (threeCopies + QList<S>{{S::Settle, 1563, 1.5}, {S::Answer, 0, 1.6}, {S::Answer, 0, 1.7},
                                   {S::Settle, 1563, 1.9}}) << 1563LL
        << "1,563 of 1,563 bytes taken, copy 3 of 3, 2 of 3 answered"
        << QStringList{"Cut short: 3 copies of vek_test.txt: the printer reset the connection after acknowledging "
                       "1,563 of 1,563 bytes; it answered 2 of 3 print commands (2 Ticket ACK)"};
    QTest::newRow("unanswered: Unconfirmed once the wait is over") << three << 3LL << 1563LL << 3 << true
        << (threeCopies + QList<S>{{S::Settle, 1563, 1.5}, {S::Answer, 0, 2.0}, {S::Settle, 1563, 11.4},
                                   {S::Settle, 1563, 11.5}}) << 1563LL << ""
        << QStringList{"Unconfirmed: 3 copies of vek_test.txt, taken by the printer, but 2 of 3 print commands "
                       "unanswered after 10 s"};
    // The answer that comes after the wait is the settled job's, owed, not the next job's.
    QTest::newRow("a late answer pays off what was owed") << three << 3LL << 1563LL << 3 << true
        << (threeCopies + QList<S>{{S::Settle, 1563, 1.5}, {S::Settle, 1563, 11.5}, {S::Next, 1563, 12},
                                   {S::End, 1566}, {S::Settle, 1566, 12.5}, {S::Answer, 0, 13},
                                   {S::Settle, 1566, 13.5}}) << 1566LL
        << "3 of 3 bytes taken, 0 of 1 answered"
        << QStringList{"Unconfirmed: 3 copies of vek_test.txt, taken by the printer, but 3 of 3 print commands "
                       "unanswered after 10 s",
                       "Cut short: VEK Form Feed: the printer reset the connection after acknowledging 3 of 3 bytes; "
                       "it answered 0 of 1 print commands"};
    // Stopped after two copies: the answers to those two are its own, the third the next job's.
    QTest::newRow("a stopped job's answers stay its own") << three << 3LL << 1563LL << 3 << true
        << QList<S>{{S::Begin, 0}, {S::Copy, 521}, {S::Copy, 1042}, {S::Stop, 1042}, {S::Next, 1042, 1.0},
                    {S::End, 1045}, {S::Answer, 0, 1.2}, {S::Answer, 0, 1.3}, {S::Settle, 1045, 1.5},
                    {S::Answer, 0, 1.6}, {S::Settle, 1045, 1.7}} << 1045LL << ""
        << QStringList{"Done: VEK Form Feed, 3 bytes, taken by the printer in 0.50 s; 1 answer: 1 Ticket ACK"};
    // clang-format on
}

void LinkTest::ledgerAccountsForEveryJob() {
    QFETCH(QString, what);
    QFETCH(qint64, copies);
    QFETCH(qint64, planned);
    QFETCH(int, printCommands);
    QFETCH(bool, reportDone);
    QFETCH(QList<LedgerStep>, steps);
    QFETCH(qint64, acked);
    QFETCH(QString, progress);
    QFETCH(QStringList, lines);
    JobLedger ledger;
    QStringList written;
    const auto write = [&written](const std::vector<JobOutcome>& outcomes) {
        for (const JobOutcome& outcome : outcomes)
            if (!outcome.line.isEmpty()) written << outcome.line;
    };
    int id = 0;
    for (const LedgerStep& step : steps) {
        switch (step.kind) {
        case LedgerStep::Begin:
            id = ledger.Begin(what, planned, copies, printCommands, reportDone, step.at, 1.0);
            break;
        case LedgerStep::Next: id = ledger.Begin("VEK Form Feed", 3, 1, 1, true, step.at, step.time); break;
        case LedgerStep::Copy: ledger.CopyEnded(id, step.at); break;
        case LedgerStep::End: ledger.End(id, step.at, JobEnd::Sent); break;
        case LedgerStep::Fail: ledger.End(id, step.at, JobEnd::Failed); break;
        case LedgerStep::Stop: ledger.Stop(id, step.at); break;
        case LedgerStep::Answer: ledger.Answer(static_cast<unsigned char>(step.byte), step.time); break;
        case LedgerStep::Settle: write(ledger.Settle(step.at, step.time, 10)); break;
        }
    }
    const std::optional<JobState> running = ledger.Running(1563, acked, 3.0);
    QCOMPARE(running ? ProgressText(*running) : QString(), progress);
    write(ledger.CutShort(acked, 1563, QStringLiteral("the printer reset the connection"), true));
    QCOMPARE(written, lines);
    QVERIFY(ledger.Empty());
}

void LinkTest::printerEndsTheConnectionMidJob_data() {
    // clang-format off
    QTest::addColumn<bool>("reset");      // else the printer closes its side in order and reads on
    QTest::addColumn<bool>("sendMeetsIt");  // the printer goes while the job is being handed
    QTest::addColumn<int>("runs");
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("lines");  // the acknowledged count masked
    QStringList nine;
    for (int i = 0; i < 9; ++i) nine << "in: Ticket ACK";
    const QString sending = "Sending  " + StockTicketPath("vek_test.txt");
    const QStringList reset = QStringList{sending} + nine + QStringList{
        "Lost connection with printer", "Error 10054: " + SocketErrorText(ws::WSAECONNRESET),
        "Cut short: 20 copies of vek_test.txt: the printer reset the connection after acknowledging # of 10,431 "
        "bytes; it answered 9 of 20 print commands (9 Ticket ACK)"};
    // One reset, one report: the same lines whichever call meets it first.
    QTest::newRow("reset, a read meets it") << true << false << 20 << ws::WSAECONNRESET << reset;
    QTest::newRow("reset, a send meets it") << true << true << 20 << ws::WSAECONNRESET << reset;
    QTest::newRow("closed in order") << false << false << 1 << 0 << QStringList{sending} + nine + QStringList{
        "Lost connection with printer",
        "Cut short: 20 copies of vek_test.txt: the printer closed the connection after acknowledging # of 10,431 "
        "bytes; it answered 9 of 20 print commands (9 Ticket ACK)"};
    // clang-format on
}

// "VEK Test Ticket" x 20 to a printer with its default buffers that answers
// each print command at once and goes after its ninth answer: the job fits its
// buffer and is acknowledged whole, so only the answers say what printed.
void LinkTest::printerEndsTheConnectionMidJob() {
    QFETCH(bool, reset);
    QFETCH(bool, sendMeetsIt);
    QFETCH(int, runs);
    QFETCH(int, error);
    QFETCH(QStringList, lines);
    const QRegularExpression acknowledged(QStringLiteral("acknowledging [0-9,]+ of"));
    const QRegularExpression notDelivered("^[0-9,]+ bytes? not delivered: the printer reset the connection$");
    for (int run = 1; run <= runs; ++run) {
        LoopbackPrinter printer;
        printer.AnswerPrintCommands(9, reset);
        Timeline console;
        PrinterSession session(console);
        QVERIFY(ConnectSession(session, printer));
        console.lines.clear();
        QSignalSpy lost(&session, &PrinterSession::Lost);
        qint64 sentAtLoss = -1;
        connect(&session, &PrinterSession::Lost, this, [&] { sentAtLoss = session.Sent(); });
        int copies = 0;
        // The printer reads, answers and resets while the sender is between two copies.
        if (sendMeetsIt)
            connect(&session.Connection(), &PrinterConnection::CopyHanded, this, [&] {
                if (++copies == 15)
                    while (printer.HasClient() && printer.ReadNow()) {
                    }
            });
        session.Queue(QStringLiteral("VEK Test Ticket"), ButtonJob(console, "CmdVEKTest", QStringLiteral("20")));
        QTRY_COMPARE(lost.count(), 1);
        QCOMPARE(lost[0][0].toInt(), error);
        QCOMPARE(sentAtLoss < 10431, sendMeetsIt);
        QStringList seen = console.lines;
        seen.replaceInStrings(acknowledged, QStringLiteral("acknowledging # of"));
        // What the printer had not acknowledged may follow: its count is the system's.
        if (!seen.isEmpty() && notDelivered.match(seen.last()).hasMatch()) seen.removeLast();
        QVERIFY2(seen == lines, qPrintable(QStringLiteral("run %1:\n%2").arg(run).arg(console.lines.join('\n'))));
    }
}

// A printer that takes every byte and never answers: the job is Unconfirmed
// once the wait is over, and an answer that comes after it shows in the log but
// confirms no later job.
void LinkTest::unansweredJobIsUnconfirmedAndALateAnswerConfirmsNoLaterJob() {
    LoopbackPrinter printer;
    Timeline console;
    PrinterSession session(console);
    session.SetAnswerWait(0.5);
    QVERIFY(ConnectSession(session, printer));
    console.lines.clear();
    QList<JobOutcome> settled;
    connect(&session, &PrinterSession::JobSettled, this, [&](const JobOutcome& outcome) {
        settled << outcome;
        if (settled.size() > 1) return;
        // The next job begins, and then the late answer comes.
        session.Queue(QStringLiteral("HP Form Feed"), ButtonJob(console, "CmdPclFF"));
        printer.Send(QByteArray("\x06"));
    });
    session.Queue(QStringLiteral("VEK Test Ticket"), ButtonJob(console, "CmdVEKTest", QStringLiteral("2")));
    QTRY_COMPARE_WITH_TIMEOUT(settled.size(), 2, 15000);
    QCOMPARE(int(settled[0].kind), int(JobOutcome::Kind::Unconfirmed));
    QCOMPARE(settled[0].severity, Severity::Warning);
    QCOMPARE(int(settled[1].kind), int(JobOutcome::Kind::Unconfirmed));
    QCOMPARE(console.lines,
             (QStringList{"Sending  " + StockTicketPath("vek_test.txt"),
                          QStringLiteral("Unconfirmed: 2 copies of vek_test.txt, taken by the printer, but 2 of 2 "
                                         "print commands unanswered after 0.5 s"),
                          "Sending an PCL Form Feed to IP Address 127.0.0.1", "in: Ticket ACK",
                          QStringLiteral("Unconfirmed: HP Form Feed, taken by the printer, but 1 of 1 print "
                                         "commands unanswered after 0.5 s")}));
}

QTEST_MAIN(LinkTest)
#include "link_test.moc"
