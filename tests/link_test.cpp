// The printer link against real sockets on loopback: opening the connection,
// the socket message hook, the read path and sending.
#include "link/delivery.h"
#include "link/printer_address.h"
#include "link/reply_decoder.h"
#include "pcx/pcx_download.h"
#include "link/send.h"
#include "link/printer_link.h"
#include "link/winsock_module.h"
#include "platform/window.h"
#include "tests/support/test_support.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QTimer>
#include <QElapsedTimer>

using namespace kivo;
using kivo::test::ListConsole;
using kivo::test::LoopbackPrinter;

namespace {

struct Message {
    unsigned int msg;
    platform::WPARAM wParam;
    platform::LPARAM lParam;
};

// A window whose own procedure records what reaches it.
struct RecordingWindow {
    platform::Window window;
    QList<Message> seen;
    RecordingWindow() {
        window.SetOwnHandler([this](unsigned int m, platform::WPARAM w, platform::LPARAM l) {
            seen.append({m, w, l});
            return platform::LRESULT{42};
        });
    }
};

platform::LPARAM Event(long event, int error = 0) { return (static_cast<platform::LPARAM>(error) << 16) | event; }

}  // namespace

class LinkTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void linkGivesTheWindowItsProcedureBack();
    void hookRoutesSocketMessagesOnly();
    void socketEventsWriteTheirLines_data();
    void socketEventsWriteTheirLines();

    void networkStartsOnce();
    void socketErrorTexts();
    void resolvesAndWritesAddresses();
    void addressMayNameItsPort_data();
    void addressMayNameItsPort();
    void opensPrinterSocket_data();
    void opensPrinterSocket();
    void asynchronousOpenReportsConnect();
    void lingerOnAClosedSocketFails();
    void blockingConnectRepaintsAndCanBeCancelled();

    void readPathDecodesOneReplyPerEvent();
    void readEventsAreBoundedButLoseNothing();
    void textCutByReadsStaysOneLine();
    void peerCloseAndResetAreReported();
    void closesocketDropsQueuedMessages();
    void resetBeforeRegisteringIsStillReported();

    void sendsBytesExactly();
    void sendWaitsForASlowReaderWithoutLosingBytes();
    void sendGivesUpOnAReset();
    void sendOnAClosedSocketFailsOnce();
    void textGoesOutAsWindows1252_data();
    void textGoesOutAsWindows1252();
    void pcxHeaderCarriesTheTrueLength();

    void acknowledgedBytesFollowThePrinter();
    void bytesInFlightAreNotAcknowledged();
    void ledgerAccountsForEveryJob_data();
    void ledgerAccountsForEveryJob();

private:
    ListConsole console_;
    RecordingWindow* hooked_ = nullptr;
    PrinterLink* link_ = nullptr;  // the printer connection over hooked_
    ws::SOCKET Open(LoopbackPrinter& printer);
    ws::SOCKET OpenToStalledPrinter(LoopbackPrinter& printer);
};

// A socket to a printer with small buffers that has stopped reading: a send
// fills them within a few kilobytes and then has to wait.
ws::SOCKET LinkTest::OpenToStalledPrinter(LoopbackPrinter& printer) {
    printer.UseSmallBuffers(4096);
    const ws::SOCKET s = Open(printer);
    printer.SetReading(false);
    return s;
}

void LinkTest::initTestCase() { QVERIFY(StartNetwork()); }
void LinkTest::cleanupTestCase() {
    delete link_;
    delete hooked_;
    StopNetwork();
}

ws::SOCKET LinkTest::Open(LoopbackPrinter& printer) {
    QString connection;
    const ws::SOCKET s = link_->Open(printer.Address(), printer.Port(), connection);
    if (s > 0 && !QTest::qWaitFor([&printer] { return printer.HasClient(); })) return -1;
    return s;
}

void LinkTest::linkGivesTheWindowItsProcedureBack() {
    RecordingWindow w;
    const platform::WNDPROC before = w.window.Procedure();
    int data = 0;
    w.window.SetUserData(&data);
    {
        PrinterLink link(&w.window, console_);
        QVERIFY(w.window.Procedure() != before);
    }
    QVERIFY(w.window.Procedure() == before);
    QCOMPARE(w.window.UserData(), &data);
}

void LinkTest::hookRoutesSocketMessagesOnly() {
    hooked_ = new RecordingWindow;
    link_ = new PrinterLink(&hooked_->window, console_);
    QCOMPARE(hooked_->window.SendMessage(0x0201, 7, 9), platform::LRESULT{42});
    QCOMPARE(hooked_->seen.size(), 1);
    QCOMPARE(hooked_->seen[0].msg, 0x0201u);
    QCOMPARE(hooked_->seen[0].wParam, platform::WPARAM{7});
    QCOMPARE(hooked_->seen[0].lParam, platform::LPARAM{9});

    QCOMPARE(hooked_->window.SendMessage(WM_SOCKET, 5, ws::FD_WRITE), platform::LRESULT{0});
    QCOMPARE(hooked_->seen.size(), 1);  // the window's own procedure never saw it

    // Posted messages take the same road.
    hooked_->window.PostMessage(0x0202, 1, 2);
    QTRY_COMPARE(hooked_->seen.size(), 2);
    QCOMPARE(hooked_->seen[1].msg, 0x0202u);
}

void LinkTest::socketEventsWriteTheirLines_data() {
    // clang-format off
    QTest::addColumn<qlonglong>("lParam");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("orderly close") << qlonglong(Event(ws::FD_CLOSE)) << QStringList{"Lost connection with printer"};
    QTest::newRow("connect") << qlonglong(Event(ws::FD_CONNECT)) << QStringList{"Connect with printer"};
    QTest::newRow("write") << qlonglong(Event(ws::FD_WRITE)) << QStringList{};
    QTest::newRow("close with a reset")
        << qlonglong(Event(ws::FD_CLOSE, ws::WSAECONNRESET))
        << QStringList{"Lost connection with printer", "Error 10054: " + SocketErrorText(ws::WSAECONNRESET)};
    QTest::newRow("failed connect") << qlonglong(Event(ws::FD_CONNECT, ws::WSAECONNREFUSED)) << QStringList{};
    // clang-format on
}

void LinkTest::socketEventsWriteTheirLines() {
    QFETCH(qlonglong, lParam);
    QFETCH(QStringList, lines);
    int pair[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    link_->Adopt(pair[1]);
    console_.outgoing.clear();
    console_.incoming.clear();
    const auto socket = static_cast<platform::WPARAM>(pair[1]);
    QCOMPARE(hooked_->window.SendMessage(WM_SOCKET, socket, static_cast<platform::LPARAM>(lParam)),
             platform::LRESULT{0});
    QCOMPARE(console_.outgoing, lines);
    QVERIFY(console_.incoming.isEmpty());
    // A message for a socket the link does not hold (one closed since) is dropped.
    QCOMPARE(hooked_->window.SendMessage(WM_SOCKET, socket + 1, static_cast<platform::LPARAM>(lParam)),
             platform::LRESULT{0});
    QCOMPARE(console_.outgoing, lines);
    link_->CloseAbortive();
    ::close(pair[0]);
}

void LinkTest::networkStartsOnce() {
    QString description = QStringLiteral("unchanged");
    QVERIFY(StartNetwork(&description));
    QCOMPARE(description, QStringLiteral("unchanged"));
    ws::WSADATA data;
    QCOMPARE(ws::WSAStartup(0x0000, &data), ws::WSAVERNOTSUPPORTED);
}

void LinkTest::socketErrorTexts() {
    const QString refused = SocketErrorText(ws::WSAECONNREFUSED);
    QVERIFY(!refused.isEmpty());
    QVERIFY(!refused.endsWith(QLatin1Char('\n')) && !refused.endsWith(QLatin1Char('\r')));
    QCOMPARE(SocketErrorText(12345), QString());
    QCOMPARE(SocketErrorText(0), QString());
}

void LinkTest::resolvesAndWritesAddresses() {
    QCOMPARE(AddressToText(ResolveAddress(QStringLiteral("10.0.0.192"))), QStringLiteral("10.0.0.192"));
    QCOMPARE(ResolveAddress(QStringLiteral("255.255.255.255")), ws::WS_INADDR_NONE);
    QCOMPARE(AddressToText(ResolveAddress(QStringLiteral("localhost"))), QStringLiteral("127.0.0.1"));
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
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");  // 0: the loopback printer's port, -1: a closed port
    QTest::addColumn<bool>("opens");
    QTest::addColumn<bool>("textSet");
    QTest::addColumn<int>("error");  // WSAGetLastError() after a failure
    QTest::newRow("listening printer") << "127.0.0.1" << 0 << true << true << 0;
    QTest::newRow("host name") << "localhost" << 0 << true << true << 0;
    QTest::newRow("nobody listening") << "127.0.0.1" << -1 << false << true << ws::WSAECONNREFUSED;
    QTest::newRow("all bits set") << "255.255.255.255" << 0 << false << false << ws::WSAHOST_NOT_FOUND;
    QTest::newRow("port 65535") << "127.0.0.1" << 65535 << false << false << ws::WSAEINVAL;
    QTest::newRow("not an address") << "12.34.56.78.90" << 0 << false << false << ws::WSAHOST_NOT_FOUND;
    // The text goes no further than what the field shows.
    QTest::newRow("NUL inside") << QString::fromLatin1("127.0.0.1\0junk", 14) << 0 << false << false
                                << ws::WSAHOST_NOT_FOUND;
    // clang-format on
}

void LinkTest::opensPrinterSocket() {
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, opens);
    QFETCH(bool, textSet);
    QFETCH(int, error);
    LoopbackPrinter printer;
    int closedPort = 0;
    if (port == -1) {
        LoopbackPrinter gone;
        closedPort = gone.Port();
    }
    const int usePort = port == 0 ? printer.Port() : port == -1 ? closedPort : port;
    QString connection = QStringLiteral("untouched");
    const ws::SOCKET s = link_->Open(host, usePort, connection);
    QCOMPARE(s > 0, opens);
    if (!opens) QCOMPARE(ws::WSAGetLastError(), error);
    QCOMPARE(connection, textSet ? QStringLiteral("127.0.0.1:%1").arg(usePort) : QStringLiteral("untouched"));
    if (opens) {
        QTRY_VERIFY(printer.HasClient());
        link_->CloseAbortive();
    }
}

void LinkTest::asynchronousOpenReportsConnect() {
    LoopbackPrinter printer;
    console_.outgoing.clear();
    QString connection;
    const ws::SOCKET s = link_->Open(printer.Address(), printer.Port(), connection, true);
    QVERIFY(s > 0);
    QTRY_COMPARE(console_.outgoing, QStringList{"Connect with printer"});
    link_->CloseAbortive();
}

void LinkTest::lingerOnAClosedSocketFails() {
    const ws::SOCKET s = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP);
    QVERIFY(s > 0);
    QCOMPARE(SetLinger(s, 1, 0), 0);
    ws::closesocket(s);
    QCOMPARE(SetLinger(s, 1, 0), -1);
    QCOMPARE(SetLinger(-1, 1, 0), -1);
}

void LinkTest::blockingConnectRepaintsAndCanBeCancelled() {
    const kivo::test::SilentPrinter silent(0);
    QVERIFY(silent.Listening());

    int turns = 0;
    const auto previous = ws::WSASetBlockingHook([&turns] {
        QVERIFY(ws::WSAIsBlocking());
        if (++turns == 5) ws::WSACancelBlockingCall();
    });
    QElapsedTimer clock;
    clock.start();
    QString connection;
    const ws::SOCKET s = link_->Open(silent.Address(), silent.Port(), connection);
    ws::WSASetBlockingHook(previous);
    QCOMPARE(s, ws::SOCKET{-1});
    QCOMPARE(ws::WSAGetLastError(), ws::WSAEINTR);  // the close of the socket kept it
    QCOMPARE(turns, 5);                             // the window had its turns while the connect waited
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(!ws::WSAIsBlocking());
}

void LinkTest::readPathDecodesOneReplyPerEvent() {
    LoopbackPrinter printer;
    const ws::SOCKET s = Open(printer);
    QVERIFY(s > 0);
    console_.incoming.clear();
    printer.Send(QByteArray(300, 'k'));
    QTRY_COMPARE(console_.incoming.size(), 1);
    QCOMPARE(console_.incoming[0], QString(300, QLatin1Char('k')));
    QCOMPARE(link_->ReceivedCount(), 300.0);

    console_.incoming.clear();
    printer.Send(QByteArray("\x06"));
    QTRY_COMPARE(console_.incoming, QStringList{"Ticket ACK"});
    QCOMPARE(link_->ReceivedCount(), 1.0);
    link_->CloseAbortive();
}

void LinkTest::textCutByReadsStaysOneLine() {
    // A socket pair read event by event, with no turn of the event loop between
    // reads unless the test waits: where a read ends is the test's choice.
    int pair[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    const auto arrive = [this, &pair](const QByteArray& bytes) {
        QCOMPARE(::send(pair[0], bytes.constData(), static_cast<size_t>(bytes.size()), 0), bytes.size());
        link_->OnSocketEvent(pair[1], ws::FD_READ);
        QCOMPARE(link_->ReceivedCount(), double(bytes.size()));
    };
    link_->Adopt(pair[1]);
    console_.incoming.clear();
    arrive("\x06HELLO print");
    QCOMPARE(console_.incoming, QStringList{"Ticket ACK"});
    arrive("er text ");
    arrive("line\rOK");
    QCOMPARE(console_.incoming, (QStringList{"Ticket ACK", "HELLO printer text line", "Carriage Return"}));
    // Text with nothing after it shows once the printer has been quiet a moment.
    QTRY_COMPARE(console_.incoming.size(), 4);
    QCOMPARE(console_.incoming.last(), QStringLiteral("OK"));
    // The end of the connection writes what is held at once.
    arrive("BYE");
    link_->CloseInOrder();
    QCOMPARE(console_.incoming.last(), QStringLiteral("BYE"));
    ::close(pair[0]);
}

void LinkTest::readEventsAreBoundedButLoseNothing() {
    LoopbackPrinter printer;
    const ws::SOCKET s = Open(printer);
    QVERIFY(s > 0);
    console_.incoming.clear();
    // Status bytes only, so every byte is one line and each can be counted.
    const int total = 300000;
    printer.Send(QByteArray(total, '\x06'));
    QTRY_COMPARE_WITH_TIMEOUT(console_.incoming.size(), total, 20000);
    QVERIFY(link_->ReceivedCount() <= kMaxReadPerEvent);
    QCOMPARE(console_.incoming.count(QStringLiteral("Ticket ACK")), total);
    link_->CloseAbortive();
}

void LinkTest::peerCloseAndResetAreReported() {
    for (bool reset : {false, true}) {
        LoopbackPrinter printer;
        const ws::SOCKET s = Open(printer);
        QVERIFY(s > 0);
        console_.outgoing.clear();
        console_.incoming.clear();
        printer.Send(QByteArray("BYE"));
        QTRY_COMPARE(console_.incoming, QStringList{"BYE"});
        reset ? printer.Reset() : printer.Close();
        QTRY_VERIFY(!console_.outgoing.isEmpty());
        QTest::qWait(50);  // a second close line would arrive in this time
        QStringList expected{"Lost connection with printer"};
        if (reset) expected << "Error 10054: " + SocketErrorText(ws::WSAECONNRESET);
        QCOMPARE(console_.outgoing, expected);
        link_->CloseAbortive();
    }
}

void LinkTest::closesocketDropsQueuedMessages() {
    LoopbackPrinter printer;
    RecordingWindow w;
    QString connection;
    // Registering a connected socket queues FD_WRITE at once.
    ws::SOCKET s = OpenPrinterSocket(printer.Address(), printer.Port(), connection, &w.window, false);
    QVERIFY(s > 0);
    QTRY_COMPARE(w.seen.size(), 1);
    QCOMPARE(w.seen[0].lParam, Event(ws::FD_WRITE));
    ws::closesocket(s);

    s = OpenPrinterSocket(printer.Address(), printer.Port(), connection, &w.window, false);
    QVERIFY(s > 0);
    ws::closesocket(s);  // before the queued FD_WRITE is handled
    QTest::qWait(50);
    QCOMPARE(w.seen.size(), 1);
}

void LinkTest::resetBeforeRegisteringIsStillReported() {
    LoopbackPrinter printer;
    const ws::SOCKET s = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP);
    ws::sockaddr_in address{};
    address.sin_family = ws::WS_AF_INET;
    address.sin_port = (ws::htons)(printer.Port());  // parenthesised: the system defines htons as a macro
    address.sin_addr.s_addr = ResolveAddress(printer.Address());
    QCOMPARE(ws::connect(s, &address, sizeof address), 0);
    QTRY_VERIFY(printer.HasClient());
    printer.Reset();
    pollfd p{s, POLLIN, 0};
    QVERIFY(::poll(&p, 1, 5000) == 1);  // the reset has arrived
    console_.outgoing.clear();
    link_->Adopt(s);
    QCOMPARE(ws::WSAAsyncSelect(s, &hooked_->window, WM_SOCKET, kSocketEvents), 0);
    QTRY_COMPARE(console_.outgoing,
                 (QStringList{"Lost connection with printer", "Error 10054: " + SocketErrorText(ws::WSAECONNRESET)}));
    link_->CloseAbortive();
}

void LinkTest::sendsBytesExactly() {
    LoopbackPrinter printer;
    const ws::SOCKET s = Open(printer);
    QVERIFY(s > 0);
    Sender sender(console_);
    QCOMPARE(sender.SendToPrinter(s, QByteArray()), 0);
    const QByteArray bytes("\x00\x01<p>\x0c\x80\xff", 8);
    QCOMPARE(sender.SendToPrinter(s, bytes), 8);
    QTRY_COMPARE(printer.Received(), bytes);
    link_->CloseAbortive();
}

void LinkTest::sendWaitsForASlowReaderWithoutLosingBytes() {
    LoopbackPrinter printer;
    const ws::SOCKET s = OpenToStalledPrinter(printer);
    QVERIFY(s > 0);
    QByteArray bytes(4 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    // Let the printer read again a little later; meanwhile the send must wait.
    QTimer::singleShot(300, &printer, [&printer] { printer.SetReading(true); });
    ListConsole console;
    Sender sender(console);
    QVERIFY(sender.SendToPrinter(s, bytes) > 0);
    QVERIFY(console.pauses > 0);
    QVERIFY(console.outgoing.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), bytes.size(), 20000);
    QVERIFY(printer.Received() == bytes);
    link_->CloseAbortive();
}

void LinkTest::sendGivesUpOnAReset() {
    LoopbackPrinter printer;
    const ws::SOCKET s = OpenToStalledPrinter(printer);
    QVERIFY(s > 0);
    QTimer::singleShot(200, &printer, [&printer] { printer.Reset(); });
    ListConsole console;
    Sender sender(console);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(sender.SendToPrinter(s, QByteArray(10 * 1024 * 1024, 'x')), -1);
    // A printer that reads nothing would hold the send far longer than this.
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(console.outgoing.size(), 1);
    QVERIFY2(console.outgoing[0].startsWith("Error while sending to the printer (error 10054)"),
             qPrintable(console.outgoing[0]));
    // The rest of the job fails at once, without another line.
    QCOMPARE(sender.SendToPrinter(s, QByteArray("more")), -1);
    QCOMPARE(console.outgoing.size(), 1);
    link_->CloseAbortive();
}

void LinkTest::sendOnAClosedSocketFailsOnce() {
    ListConsole console;
    Sender sender(console);
    QCOMPARE(sender.SendToPrinter(-1, QByteArray("x")), -1);
    QCOMPARE(console.outgoing.size(), 1);
    QVERIFY(console.outgoing[0].contains(QLatin1String("10038")));
    sender.BeginJob();
    QCOMPARE(sender.SendToPrinter(-1, QByteArray("x")), -1);
    QCOMPARE(console.outgoing.size(), 2);
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

// Hands the socket bytes until the system takes no more; how many it took.
qint64 FillWithoutWaiting(ws::SOCKET s) {
    const QByteArray piece(1024, 'u');
    qint64 handed = 0;
    for (int n; (n = ws::send(s, piece.constData(), static_cast<int>(piece.size()), 0)) > 0;) handed += n;
    return handed;
}

ws::StreamDelivery DeliveryOf(ws::SOCKET s) {
    ws::StreamDelivery delivery;
    if (ws::GetStreamDelivery(s, delivery) != 0) delivery.acknowledged = -1;
    return delivery;
}

}  // namespace

// The count is the printer's system's: what sits in its receive buffer, read or
// not, is acknowledged, and the count outlives the printer's reset. The system
// itself holds little that it has not sent.
void LinkTest::acknowledgedBytesFollowThePrinter() {
    LoopbackPrinter printer;
    const ws::SOCKET s = OpenToStalledPrinter(printer);
    QVERIFY(s > 0);
    QCOMPARE(DeliveryOf(s).acknowledged, 0);
    const qint64 handed = FillWithoutWaiting(s);
    ws::StreamDelivery stalled = DeliveryOf(s);
    QVERIFY2(stalled.notSent > 0 && stalled.notSent <= kUnsentLimit + 1024,
             qPrintable(QString::number(stalled.notSent)));
    QVERIFY(stalled.acknowledged > 0 && stalled.acknowledged + stalled.notSent <= handed);

    // The printer reads a part, then resets: the count keeps what it acknowledged.
    printer.ReadSlowly(2048, 5);
    QTRY_VERIFY(printer.Received().size() >= 12 * 1024);
    printer.Reset();
    char byte = 0;
    QTRY_VERIFY([&] {
        const int n = ws::recv(s, &byte, 1, 0);
        return n == 0 || (n < 0 && ws::WSAGetLastError() != ws::WSAEWOULDBLOCK);
    }());
    const qint64 read = printer.Received().size();
    const qint64 acked = DeliveryOf(s).acknowledged;
    QVERIFY2(acked >= read && acked <= read + 16 * 1024 && acked < handed,
             qPrintable(QStringLiteral("read %1, acknowledged %2").arg(read).arg(acked)));
    link_->CloseAbortive();
    ws::StreamDelivery none;
    QCOMPARE(ws::GetStreamDelivery(-1, none), -1);
    QCOMPARE(ws::WSAGetLastError(), ws::WSAENOTSOCK);
}

// On a slow link bytes are on the wire and not yet acknowledged: the count of
// what the printer has not taken holds them as well as the unsent ones. The
// link is loopback in a namespace of the test's own, slowed by a token bucket.
void LinkTest::bytesInFlightAreNotAcknowledged() {
    kivo::test::PrivateNetwork network;
    if (!network.Error().isEmpty()) QSKIP(qPrintable(network.Error()));
    QProcess tc;
    tc.start(QStringLiteral("tc"),
             {"qdisc", "add", "dev", "lo", "root", "tbf", "rate", "1mbit", "burst", "32kbit", "latency", "400ms"});
    if (!tc.waitForFinished(10000) || tc.exitCode() != 0) QSKIP("the token bucket filter cannot be set up here");
    LoopbackPrinter printer;
    const ws::SOCKET s = Open(printer);
    QVERIFY(s > 0);
    const qint64 handed = FillWithoutWaiting(s);
    qint64 mostInFlight = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const ws::StreamDelivery d = DeliveryOf(s);
            mostInFlight = std::max(mostInFlight, handed - d.acknowledged - d.notSent);
            return mostInFlight > 0;
        }(),
        10000);
    QVERIFY(ws::UnacknowledgedBytes(s) > DeliveryOf(s).notSent);
    link_->CloseAbortive();
}

struct LedgerStep {
    enum Kind { Begin, Copy, End, Fail, Stop } kind;
    qint64 at;  // offset in the connection's bytes
};
Q_DECLARE_METATYPE(QList<LedgerStep>)

void LinkTest::ledgerAccountsForEveryJob_data() {
    // clang-format off
    using S = LedgerStep;
    QTest::addColumn<QString>("what");
    QTest::addColumn<qint64>("copies");
    QTest::addColumn<qint64>("planned");
    QTest::addColumn<bool>("reportDone");
    QTest::addColumn<QList<LedgerStep>>("steps");  // one job, begun at the first step
    QTest::addColumn<qint64>("acked");
    QTest::addColumn<QString>("progress");   // after Taken, of the running job at 3.0 s, 1563 sent; "" when none runs
    QTest::addColumn<QStringList>("lines");  // Taken at 1.41 s, then CutShort with 1563 sent

    const QString three = QStringLiteral("3 copies of vek_test.txt");
    const QList<S> threeCopies{{S::Begin, 0}, {S::Copy, 521}, {S::Copy, 1042}, {S::Copy, 1563}, {S::End, 1563}};
    QTest::newRow("taken in full: Done") << three << 3LL << 1563LL << true << threeCopies << 1563LL << ""
                                         << QStringList{"Done: 3 copies of vek_test.txt, 1,563 bytes, taken by the "
                                                        "printer in 0.41 s"};
    // Every byte handed, one not yet acknowledged: the job still runs.
    QTest::newRow("one byte short") << three << 3LL << 1563LL << true << threeCopies << 1562LL
                                    << "1,562 of 1,563 bytes taken, copy 3 of 3, 781 B/s, 0 s left"
                                    << QStringList{"Cut short: 3 copies of vek_test.txt, the printer acknowledged 1,562 "
                                                   "of 1,563 bytes (2 of 3 copies); 1 not delivered"};
    QTest::newRow("running job, counted to what was sent")
        << three << 3LL << 5000LL << true << QList<S>{{S::Begin, 0}, {S::Copy, 521}} << 600LL
        << "600 of 5,000 bytes taken, copy 2 of 3, 300 B/s, 15 s left"
        << QStringList{"Cut short: 3 copies of vek_test.txt, the printer acknowledged 600 of 5,000 bytes (1 of 3 "
                       "copies); 4,400 not delivered"};
    QTest::newRow("short command: no Done line") << "VEK Form Feed" << 1LL << 3LL << false
                                                 << QList<S>{{S::Begin, 1560}, {S::End, 1563}} << 1563LL << ""
                                                 << QStringList{};
    QTest::newRow("short command not delivered")
        << "VEK Form Feed" << 1LL << 3LL << false << QList<S>{{S::Begin, 1560}, {S::End, 1563}} << 1560LL
        << "0 of 3 bytes taken, 0 B/s, time left unknown"
        << QStringList{"Cut short: VEK Form Feed, the printer acknowledged 0 of 3 bytes; 3 not delivered"};
    // A reset ends the send after the printer had acknowledged all it was handed.
    QTest::newRow("failed, all it handed taken") << three << 3LL << 1563LL << true
        << QList<S>{{S::Begin, 0}, {S::Copy, 521}, {S::Fail, 800}} << 800LL << ""
        << QStringList{"Cut short: 3 copies of vek_test.txt, the printer acknowledged 800 of 1,563 bytes (1 of 3 "
                       "copies); 763 not delivered"};
    QTest::newRow("failed, part of it on its way") << three << 3LL << 1563LL << true
        << QList<S>{{S::Begin, 0}, {S::Copy, 521}, {S::Fail, 800}} << 700LL << ""
        << QStringList{"Cut short: 3 copies of vek_test.txt, the printer acknowledged 700 of 1,563 bytes (1 of 3 "
                       "copies); 863 not delivered"};
    QTest::newRow("stopped, then taken: no line") << three << 3LL << 1563LL << true
                                                  << QList<S>{{S::Begin, 0}, {S::Copy, 521}, {S::Stop, 700}} << 1563LL << ""
                                                  << QStringList{};
    // Stop after the last byte was handed: no Done, and what was on its way is named.
    QTest::newRow("stopped while the printer took the last bytes")
        << three << 3LL << 1563LL << true << (QList<S>{threeCopies} << S{S::Stop, 1563}) << 1000LL << ""
        << QStringList{"Cut short: 3 copies of vek_test.txt (stopped), 563 of the bytes on their way did not reach "
                       "the printer"};
    // clang-format on
}

void LinkTest::ledgerAccountsForEveryJob() {
    QFETCH(QString, what);
    QFETCH(qint64, copies);
    QFETCH(qint64, planned);
    QFETCH(bool, reportDone);
    QFETCH(QList<LedgerStep>, steps);
    QFETCH(qint64, acked);
    QFETCH(QString, progress);
    QFETCH(QStringList, lines);
    JobLedger ledger;
    int id = 0;
    for (const LedgerStep& step : steps) {
        switch (step.kind) {
        case LedgerStep::Begin: id = ledger.Begin(what, planned, copies, reportDone, step.at, 1.0); break;
        case LedgerStep::Copy: ledger.CopyEnded(id, step.at); break;
        case LedgerStep::End: ledger.End(id, step.at, JobEnd::Sent); break;
        case LedgerStep::Fail: ledger.End(id, step.at, JobEnd::Failed); break;
        case LedgerStep::Stop: ledger.Stop(id, step.at); break;
        }
    }
    const TakenLines taken = ledger.Taken(acked, 1.41);
    QStringList written = taken.done + taken.cutShort;
    const std::optional<JobState> running = ledger.Running(1563, acked, 3.0);
    QCOMPARE(running ? ProgressText(*running) : QString(), progress);
    written << ledger.CutShort(acked, 1563);
    QCOMPARE(written, lines);
    QVERIFY(ledger.Empty());
}

QTEST_MAIN(LinkTest)
#include "link_test.moc"
