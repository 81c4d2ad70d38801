// Connecting and the command buttons, against a printer on loopback: the bytes
// each click puts on the wire and the lines it logs, bad byte values, sends that
// meet a slow, a silent or a vanishing printer, Stop, and a Disconnect that
// waits for the printer to take every byte or names what it discards.
#include "console/frmkivo.h"
#include "link/delivery.h"
#include "link/numbers.h"
#include "link/printer_socket.h"
#include "platform/program_folder.h"
#include "platform/socket_errors.h"
#include "tests/support/window_support.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QProgressBar>
#include <QRegularExpression>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace kivo;
using kivo::test::Button;
using kivo::test::ClosedInOrder;
using kivo::test::ConnectionName;
using kivo::test::Field;
using kivo::test::ConnectWindow;
using kivo::test::ConnectWithSmallBuffers;
using kivo::test::DialogAnswer;
using kivo::test::Hex;
using kivo::test::LoopbackPrinter;
using kivo::test::SendFileAtOnce;
using kivo::test::SendMarker;
using kivo::test::SendWaitsForRoom;
using kivo::test::StandardErrorCapture;
using kivo::test::Watchdog;
using kivo::test::WhenTrue;

class SendTest : public QObject {
    Q_OBJECT
private slots:
    // Each test starts from what a new operator sees: no count or address kept.
    void init() { kivo::test::ForgetSettings(); }
    void buttonsPutExactBytesOnTheWire_data();
    void buttonsPutExactBytesOnTheWire();
    void asciiRefusesBadValues_data();
    void asciiRefusesBadValues();
    void byteListsReadAsBytes_data();
    void byteListsReadAsBytes();
    void slowReaderGetsEveryByteOnceInOrder();
    void resetDuringLargeSendEndsItQuickly();
    void silentPrinterKeepsWindowResponsiveUntilDisconnect();
    void clickDuringWaitingSendQueuesBehindIt();
    void printerDropReturnsTheWindowToDisconnected_data();
    void printerDropReturnsTheWindowToDisconnected();
    void disconnectWaitsForThePrinterOrNamesWhatItDiscards_data();
    void disconnectWaitsForThePrinterOrNamesWhatItDiscards();
    void stopEndsTheRunningJobAndTheQueuedOnesButNotTheConnection_data();
    void stopEndsTheRunningJobAndTheQueuedOnesButNotTheConnection();
    void jobRunsUntilThePrinterHasTakenItAll();
    void closeAsksWhileBytesWaitForThePrinter_data();
    void closeAsksWhileBytesWaitForThePrinter();
};

namespace {

qsizetype Number(const QString& grouped) { return QLocale(QLocale::English).toLongLong(grouped); }

}  // namespace

void SendTest::buttonsPutExactBytesOnTheWire_data() {
    // clang-format off
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("command");  // text of TxtCmd before the click
    QTest::addColumn<QString>("count");    // text of TxtCount before the click
    QTest::addColumn<QString>("line");     // %1 stands for the printer's address
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("commandAfter");
    QTest::addColumn<QString>("done");     // the job's Done line, for a print command

    const QString text = QStringLiteral("Sending text =>%1 to IP Address %2");
    QTest::newRow("text: print command") << "CmdText" << "<p>" << "1" << text.arg("<p>", "%1")
                                         << QByteArray("<p>") << "<p>" << "";
    QTest::newRow("text: sent once whatever the copies") << "CmdText" << "<p>" << "3" << text.arg("<p>", "%1")
                                                         << QByteArray("<p>") << "<p>" << "";
    QTest::newRow("text: copies not a number") << "CmdText" << "<p>" << "abc" << text.arg("<p>", "%1")
                                               << QByteArray("<p>") << "<p>" << "";
    QTest::newRow("text: Latin-1 and Windows-1252 one byte each")
        << "CmdText" << QStringLiteral("\u00e9\u20ac\u00ff") << "1" << text.arg(QStringLiteral("\u00e9\u20ac\u00ff"), "%1")
        << QByteArray("\xe9\x80\xff") << QStringLiteral("\u00e9\u20ac\u00ff") << "";
    QTest::newRow("text: blanks kept, no line end") << "CmdText" << " A B " << "1" << text.arg(" A B ", "%1")
                                                    << QByteArray(" A B ") << " A B " << "";
    QTest::newRow("text: empty sends nothing") << "CmdText" << "" << "1" << text.arg("", "%1") << QByteArray() << "" << "";

    const QString ascii = QStringLiteral("Sending Ascii =>%1 to IP Address %2");
    QTest::newRow("ascii 65") << "CmdAscii" << "65" << "1" << ascii.arg("65", "%1") << QByteArray("A") << "65" << "";
    QTest::newRow("ascii 0") << "CmdAscii" << "0" << "1" << ascii.arg("0", "%1") << QByteArray(1, '\0') << "0" << "";
    QTest::newRow("ascii 255") << "CmdAscii" << "255" << "1" << ascii.arg("255", "%1") << QByteArray("\xff") << "255" << "";
    QTest::newRow("ascii blanks around") << "CmdAscii" << " 65 " << "1" << ascii.arg(" 65 ", "%1") << QByteArray("A")
                                         << " 65 " << "";
    QTest::newRow("ascii 2.5 halves to even") << "CmdAscii" << "2.5" << "1" << ascii.arg("2.5", "%1")
                                              << QByteArray("\x02") << "2.5" << "";
    QTest::newRow("ascii 3.5 halves to even") << "CmdAscii" << "3.5" << "1" << ascii.arg("3.5", "%1")
                                              << QByteArray("\x04") << "3.5" << "";
    QTest::newRow("ascii -0.4 rounds to 0") << "CmdAscii" << "-0.4" << "1" << ascii.arg("-0.4", "%1")
                                            << QByteArray(1, '\0') << "-0.4" << "";
    QTest::newRow("ascii hexadecimal") << "CmdAscii" << "0x41" << "1" << ascii.arg("0x41", "%1") << QByteArray("A")
                                       << "0x41" << "";
    QTest::newRow("ascii a list of values, one send") << "CmdAscii" << "27 64,&H0C" << "1"
                                                      << ascii.arg("27 64,&H0C", "%1") << QByteArray("\x1b\x40\x0c")
                                                      << "27 64,&H0C" << "";
    QTest::newRow("ascii empty becomes 7") << "CmdAscii" << "" << "1" << ascii.arg("7", "%1") << QByteArray("\x07")
                                           << "7" << "";

    QTest::newRow("VEK form feed") << "CmdVekFF" << "junk" << "1" << "Sending an VEK Form Feed to IP Address %1"
                                   << QByteArray("<p>") << "junk" << "Done: VEK Form Feed, 3 bytes";
    QTest::newRow("HP form feed") << "CmdPclFF" << "junk" << "1" << "Sending an PCL Form Feed to IP Address %1"
                                  << QByteArray("\x0c") << "junk" << "Done: HP Form Feed, 1 byte";
    // clang-format on
}

void SendTest::buttonsPutExactBytesOnTheWire() {
    QFETCH(QString, button);
    QFETCH(QString, command);
    QFETCH(QString, count);
    QFETCH(QString, line);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, commandAfter);
    QFETCH(QString, done);

    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    Field(w, "TxtCmd")->setText(command);
    Field(w, "TxtCount")->setText(count);
    Button(w, qPrintable(button))->click();
    const QStringList lines = w.OutgoingLog().Lines();
    const QByteArray expected = bytes + SendMarker(w);

    QTRY_COMPARE(Hex(printer.Received()), Hex(expected));
    QCOMPARE(lines, QStringList{line.arg(printer.Address())});
    QCOMPARE(Field(w, "TxtCmd")->text(), commandAfter);
    QCOMPARE(w.IncomingLog().Count(), 0);

    // A print command is done once the printer answers it; a "<p>" typed as text
    // is no job's print command, so the marker's form feed takes the first answer.
    QStringList doneLines{"Done: HP Form Feed, 1 byte"};
    if (!done.isEmpty()) doneLines.prepend(done);
    for (QString& doneLine : doneLines) doneLine += ", taken by the printer in N s; 1 answer: 1 Ticket ACK";
    printer.Send(QByteArray(doneLines.size(), '\x06'));
    const auto doneNow = [&w] {
        return w.OutgoingLog()
            .Lines()
            .filter(QRegularExpression("^Done: "))
            .replaceInStrings(QRegularExpression(" in [0-9.]+ s;"), " in N s;");
    };
    QTRY_COMPARE(doneNow(), doneLines);
}

void SendTest::asciiRefusesBadValues_data() {
    // clang-format off
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("bad");  // the value the refusal names
    QTest::newRow("letters") << "abc" << "abc";
    QTest::newRow("above a byte") << "256" << "256";
    QTest::newRow("negative") << "-1" << "-1";
    QTest::newRow("exponent far out") << "1e9" << "1e9";
    QTest::newRow("a 16-bit value") << "65536" << "65536";
    QTest::newRow("rounds to -1") << "-0.6" << "-0.6";
    QTest::newRow("hexadecimal above a byte") << "0x141" << "0x141";
    QTest::newRow("infinity") << "inf" << "inf";
    QTest::newRow("one bad value stops the list") << "27 abc 64" << "abc";
    // clang-format on
}

void SendTest::asciiRefusesBadValues() {
    QFETCH(QString, command);
    QFETCH(QString, bad);
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    Field(w, "TxtCmd")->setText(command);
    Button(w, "CmdAscii")->click();
    const QStringList lines = w.OutgoingLog().Lines();
    const QByteArray marker = SendMarker(w);

    QTRY_COMPARE(Hex(printer.Received()), Hex(marker));  // nothing before the marker
    // One line, naming the bad value; none that says something is being sent.
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(QStringLiteral("Nothing sent: \"%1\"").arg(bad)) && lines[0].contains(command),
             qPrintable(lines[0]));
    QCOMPARE(Field(w, "TxtCmd")->text(), command);
    QVERIFY(w.Connected());
}

void SendTest::byteListsReadAsBytes_data() {
    // clang-format off
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");  // empty: refused
    QTest::addColumn<QString>("bad");       // the value named when refused
    QTest::newRow("one decimal value, blanks around") << " 65 " << QByteArray("A") << "";
    QTest::newRow("2.5 halves to even") << "2.5" << QByteArray("\x02") << "";
    QTest::newRow("blank-separated") << "27 64" << QByteArray("\x1b\x40") << "";
    QTest::newRow("comma-separated hexadecimal") << "0x1B,0x40" << QByteArray("\x1b\x40") << "";
    QTest::newRow("&H, either case, leading zeros") << "&H0C &h0c 0X00fF" << QByteArray("\x0c\x0c\xff") << "";
    QTest::newRow("a comma is no decimal point") << " 1 ,5" << QByteArray("\x01\x05") << "";
    QTest::newRow("blanks only") << "   " << QByteArray() << "";
    QTest::newRow("empty value between commas") << "27,,64" << QByteArray() << "";
    QTest::newRow("letters") << "27 abc 64" << QByteArray() << "abc";
    QTest::newRow("decimal above a byte") << "27 256" << QByteArray() << "256";
    QTest::newRow("hexadecimal above a byte") << "&H100" << QByteArray() << "&H100";
    QTest::newRow("prefix without digits") << "0x" << QByteArray() << "0x";
    QTest::newRow("digits of another script") << QStringLiteral("0x１") << QByteArray() << QStringLiteral("0x１");
    // clang-format on
}

void SendTest::byteListsReadAsBytes() {
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, bad);
    const ByteList list = ReadByteList(text);
    QCOMPARE(list.ok, !bytes.isEmpty());
    QCOMPARE(Hex(list.bytes), Hex(bytes));
    QCOMPARE(list.badValue, bad);
}

void SendTest::slowReaderGetsEveryByteOnceInOrder() {
    QTemporaryDir dir;
    const QString path = dir.filePath("slow.bin");
    const QByteArray file = kivo::test::PatternBytes(400 * 1024 + 77);
    QVERIFY(kivo::test::WriteFile(path, file));

    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    // An odd piece size, so the send buffer is often part full: sends are taken
    // in parts, and refused while it is full.
    printer.ReadSlowly(1500, 1);
    DialogAnswer answer(w, path);
    bool waited = false;
    WhenTrue(
        &w, [&w] { return SendWaitsForRoom(w); }, [&waited] { waited = true; }, 20000);
    const Watchdog watchdog(w, 15000);
    Button(w, "CmdFile")->click();

    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), file.size(), 20000);
    QVERIFY(waited);
    QVERIFY(printer.Received() == file);
    QTRY_COMPARE(w.OutgoingLog().Count(), 4);
    const QStringList lines = w.OutgoingLog().Lines().mid(2);
    QCOMPARE(lines[0], QStringLiteral("Sending file %1 to IP Address %2").arg(path, printer.Address()));
    QVERIFY2(lines[1].startsWith("Done: 1 copy of slow.bin, 409,677 bytes, taken by the printer in "),
             qPrintable(lines[1]));
}

void SendTest::resetDuringLargeSendEndsItQuickly() {
    QTemporaryDir dir;
    const QString path = dir.filePath("ten_megabytes.txt");
    QVERIFY(kivo::test::WriteFile(path, QByteArray(10 * 1024 * 1024, 'x')));

    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    printer.SetReading(false);
    w.ClearLogs();
    DialogAnswer answer(w, path);
    QElapsedTimer sinceReset;
    WhenTrue(
        &w, [&w] { return SendWaitsForRoom(w); },
        [&] {
            QTimer::singleShot(100, &printer, [&] {
                printer.Reset();
                sinceReset.start();
            });
        });
    const Watchdog watchdog(w, 15000);
    Button(w, "CmdFile")->click();

    // Without the reset the send would wait for the printer until the watchdog.
    QTRY_VERIFY_WITH_TIMEOUT(sinceReset.isValid() && !w.Session().Busy(), 20000);
    QVERIFY(!watchdog.Fired());
    // The window learns of the reset by the read or by the send, whichever meets
    // it first, with the same lines, and is back in its disconnected state.
    QTRY_VERIFY(!w.Connected());
    const QStringList lines = w.OutgoingLog().Lines();
    QCOMPARE(lines.value(0), QStringLiteral("Sending file %1 to IP Address %2").arg(path, printer.Address()));
    QCOMPARE(lines.mid(1, 2), (QStringList{"Lost connection with printer", LossReason(ws::WSAECONNRESET)}));
    QVERIFY2(QRegularExpression("^Cut short: 1 copy of ten_megabytes.txt, the printer acknowledged "
                                "[0-9,]+ of 10,485,760 bytes; [0-9,]+ not delivered$")
                 .match(lines.value(3))
                 .hasMatch(),
             qPrintable(lines.join(" | ")));
    QVERIFY2(
        lines.size() == 4 ||
            (lines.size() == 5 && QRegularExpression("^[0-9,]+ bytes? not delivered: the printer reset the connection$")
                                      .match(lines[4])
                                      .hasMatch()),
        qPrintable(lines.join(" | ")));

    // The window lives on, and nothing more goes to the dead connection.
    Button(w, "CmdVekFF")->click();
    QCOMPARE(w.OutgoingLog().Lines(), lines);
    QCOMPARE(w.PrinterSocketHandle(), -1);
}

void SendTest::silentPrinterKeepsWindowResponsiveUntilDisconnect() {
    QTemporaryDir dir;
    const QString path = dir.filePath("never_read.txt");
    QVERIFY(kivo::test::WriteFile(path, QByteArray(10 * 1024 * 1024, 'y')));

    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    printer.SetReading(false);
    DialogAnswer answer(w, path);
    bool clearedWhileWaiting = false;
    bool loggedWhileWaiting = false;
    int queued = -1;
    WhenTrue(
        &w, [&w] { return SendWaitsForRoom(w); },
        [&] {
            Button(w, "CmdClear")->click();
            clearedWhileWaiting = w.OutgoingLog().Count() == 0;
            QTimer::singleShot(0, &w, [&] {
                loggedWhileWaiting = SendWaitsForRoom(w);
                w.LogMessage(LogKind::Outgoing, "while waiting");
                Button(w, "CmdVekFF")->click();
                Button(w, "CmdText")->click();
                queued = w.Session().Queued();
                Button(w, "CmdConnect")->click();
            });
        });
    const Watchdog watchdog(w, 15000);
    Button(w, "CmdFile")->click();

    QTRY_VERIFY_WITH_TIMEOUT(queued >= 0 && !w.Connected(), 20000);
    QVERIFY(clearedWhileWaiting);
    QVERIFY(loggedWhileWaiting);
    QCOMPARE(queued, 2);
    const QString at = printer.Address() + " on port 9100";
    const QStringList lines = w.OutgoingLog().Lines();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.mid(0, 3), (QStringList{"while waiting", "Queued behind the running send: VEK Form Feed",
                                           "Queued behind the running send: Send Text"}));
    // What the canceled job had handed the system and the printer had not taken is
    // discarded, and the log names it: no more than the system's small backlog.
    QVERIFY2(QRegularExpression("^Send canceled by Disconnect: 1 copy of never_read.txt, the printer acknowledged "
                                "[0-9,]+ of 10,485,760 bytes; 2 queued sends dropped: VEK Form Feed, Send Text$")
                 .match(lines[3])
                 .hasMatch(),
             qPrintable(lines[3]));
    const QRegularExpressionMatch discarded =
        QRegularExpression("^([0-9,]+) bytes not delivered: discarded at your request$").match(lines[4]);
    QVERIFY2(discarded.hasMatch() && Number(discarded.captured(1)) <= kUnsentLimit + 16 * 1024, qPrintable(lines[4]));
    QCOMPARE(lines[5], "Disconnected from " + at);
    QVERIFY(!w.Session().Busy());
    QCOMPARE(w.Session().Queued(), 0);
    QVERIFY(!w.Connected());
    QCOMPARE(w.PrinterSocketHandle(), -1);
}

void SendTest::clickDuringWaitingSendQueuesBehindIt() {
    QTemporaryDir dir;
    const QString path = dir.filePath("first.bin");
    const QByteArray file = kivo::test::PatternBytes(512 * 1024 + 5);
    QVERIFY(kivo::test::WriteFile(path, file));

    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    printer.SetReading(false);
    w.ClearLogs();
    DialogAnswer answer(w, path);
    int queued = -1;
    WhenTrue(
        &w, [&w] { return SendWaitsForRoom(w); },
        [&] {
            Field(w, "TxtCmd")->setText("<p>SECOND");
            Button(w, "CmdText")->click();
            Field(w, "TxtCmd")->setText("ignored: read at the click");
            Button(w, "CmdVekFF")->click();
            queued = w.Session().Queued();
            printer.SetReading(true);
        });
    const Watchdog watchdog(w, 15000);
    Button(w, "CmdFile")->click();

    QTRY_VERIFY_WITH_TIMEOUT(queued >= 0, 20000);
    QCOMPARE(queued, 2);
    const QByteArray expected = file + "<p>SECOND" + "<p>";
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), expected.size(), 20000);
    QVERIFY(printer.Received() == expected);
    const QString address = printer.Address();
    // Each queued click says so at once, and its own line follows when it starts.
    QTRY_COMPARE(w.OutgoingLog()
                     .Lines()
                     .filter(QRegularExpression("^Done: 1 copy of first.bin, 524,293 bytes, taken by"))
                     .size(),
                 1);
    QCOMPARE(w.OutgoingLog().Lines().filter(QRegularExpression("^(?!Done: )")),
             (QStringList{"Sending file " + path + " to IP Address " + address,
                          "Queued behind the running send: Send Text", "Queued behind the running send: VEK Form Feed",
                          "Sending text =><p>SECOND to IP Address " + address,
                          "Sending an VEK Form Feed to IP Address " + address}));
}

void SendTest::printerDropReturnsTheWindowToDisconnected_data() {
    // clang-format off
    QTest::addColumn<bool>("reset");
    QTest::newRow("orderly close") << false;
    QTest::newRow("reset") << true;
    // clang-format on
}

void SendTest::printerDropReturnsTheWindowToDisconnected() {
    QFETCH(bool, reset);
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    // A click on Connect just after the loss was meant for Disconnect: it is dropped.
    int stateAfterClick = -1;
    connect(
        &w.Session(), &PrinterSession::Lost, &w,
        [&] {
            Button(w, "CmdConnect")->click();
            stateAfterClick = static_cast<int>(w.Session().GetState());
        },
        Qt::QueuedConnection);
    reset ? printer.Reset() : printer.Close();
    QTRY_COMPARE(stateAfterClick, static_cast<int>(PrinterSession::State::Disconnected));

    QStringList lines{"Lost connection with printer"};
    if (reset) lines << "Error 10054: " + SocketErrorText(ws::WSAECONNRESET);
    QCOMPARE(w.OutgoingLog().Lines(), lines);
    QCOMPARE(Button(w, "CmdConnect")->text(), QStringLiteral("Connect"));
    QVERIFY(Field(w, "IP_Address")->isEnabled());
    QVERIFY(!Field(w, "TxtCmd")->isEnabled());
    QCOMPARE(w.PrinterSocketHandle(), -1);
    // No send can follow the close unseen: a click sends nothing and says nothing.
    Button(w, "CmdVekFF")->click();
    QCOMPARE(w.OutgoingLog().Lines(), lines);

    // Connecting again gives a new connection that carries the next click alone.
    QVERIFY(kivo::test::ConnectWindowAgain(w, printer));
    Button(w, "CmdVekFF")->click();
    QTRY_COMPARE(printer.Received(), QByteArray("<p>"));
    QCOMPARE(printer.Connections(), 2);
}

void SendTest::disconnectWaitsForThePrinterOrNamesWhatItDiscards_data() {
    // clang-format off
    QTest::addColumn<int>("pace");         // bytes the printer reads every 5 ms; 0: none
    QTest::addColumn<QString>("discard");  // what ends the wait early
    QTest::addColumn<QString>("reason");   // of the discard line; "" when every byte is taken
    QTest::addColumn<bool>("ethernet");    // on a loopback of MTU 1500, in a namespace of the test's own
    QTest::addColumn<int>("copies");       // of a file that many times smaller
    QTest::addColumn<bool>("running");     // Disconnect while the job is still being handed
    QTest::newRow("slow printer: every byte, then the end of the stream") << 4096 << "" << "" << false << 1 << false;
    QTest::newRow("the printer takes nothing for 3 s") << 0 << "" << "the printer took nothing for 3 s" << false << 1 << false;
    QTest::newRow("Disconnect clicked again") << 0 << "click" << "discarded at your request" << false << 1 << false;
    QTest::newRow("Escape") << 0 << "escape" << "discarded at your request" << false << 1 << false;
    QTest::newRow("the window closed twice") << 0 << "close" << "discarded at your request" << false << 1 << false;
    // A printer reading 1 KB/s through 4 KB opens its window in steps that TCP's
    // probes find late: a slow printer, not a stalled one.
    QTest::newRow("MTU 1500, 1 KB/s through 4 KB: every byte") << 5 << "" << "" << true << 3 << false;
    QTest::newRow("MTU 1500, a printer that stops") << 0 << "" << "the printer took nothing for 3 s" << true << 3 << false;
    // The system holds little of a job to a slow printer, so the job is still
    // running when Disconnect comes: it goes out whole all the same.
    QTest::newRow("MTU 1500, 1 KB/s, Disconnect during the job: every byte") << 5 << "" << "" << true << 3 << true;
    // clang-format on
}

// The send buffer takes the whole file at once, or in the running rows the job
// is still being handed, and the printer's buffers are small: Disconnect has
// most of the file to wait for.
void SendTest::disconnectWaitsForThePrinterOrNamesWhatItDiscards() {
    QFETCH(int, pace);
    QFETCH(QString, discard);
    QFETCH(QString, reason);
    QFETCH(bool, ethernet);
    QFETCH(int, copies);
    QFETCH(bool, running);
    std::optional<kivo::test::PrivateNetwork> network;
    if (ethernet) {
        network.emplace();
        if (!network->Error().isEmpty()) QSKIP(qPrintable(network->Error()));
        QVERIFY(network->SetLoopbackMtu(1500));
    }
    QTemporaryDir dir;
    LoopbackPrinter printer(9100);
    printer.UseSmallBuffers(4096);
    frmkivo w;
    w.show();
    QVERIFY(ConnectWindow(w, printer));
    // A printer that stops is given up after 3 s; a slow one keeps the rule's 15 s.
    if (pace == 0) w.Session().SetStallFloor(3);
    pace > 0 ? printer.ReadSlowly(pace, 5) : printer.SetReading(false);
    Field(w, "TxtCount")->setText(QString::number(copies));
    const QString path = dir.filePath("big.txt");
    const qsizetype size = copies == 1 ? 48 * 1024 : 20 * 1024 / copies;
    QByteArray file;
    if (running) {
        file = kivo::test::PatternBytes(size);
        QVERIFY(kivo::test::WriteFile(path, file));
        DialogAnswer answer(w, path);
        Button(w, "CmdFile")->click();
        QVERIFY(w.Session().Handing());
    } else {
        file = SendFileAtOnce(w, path, size);
    }
    QVERIFY(!file.isEmpty());
    const QByteArray sent = file.repeated(copies);
    const QString connection = ConnectionName(w);
    DialogAnswer waitAtClose(w, QStringList{});  // the close question's default: Wait
    StandardErrorCapture errors;

    // Closing the window is a Disconnect first. Meanwhile nothing can be sent, and
    // Disconnect stays, to discard.
    discard == "close" ? (void)w.close() : Button(w, "CmdConnect")->click();
    QVERIFY(w.WaitingForPrinter() && w.isVisible());
    QVERIFY(!Button(w, "CmdText")->isEnabled() && !Field(w, "IP_Address")->isEnabled());
    QVERIFY(Button(w, "CmdConnect")->isEnabled());
    QElapsedTimer clock;
    clock.start();
    if (discard == "click") Button(w, "CmdConnect")->click();
    if (discard == "escape") QTest::keyClick(&w, Qt::Key_Escape);
    if (discard == "close") w.close();
    QTRY_VERIFY_WITH_TIMEOUT(!w.Connected(), 60000);
    const qint64 ms = clock.elapsed();
    QCOMPARE(w.isVisible(), discard != "close");
    // The printer sees the end of the stream after the last byte, or a reset.
    QCOMPARE(ClosedInOrder(connection), reason.isEmpty());
    const QStringList lines = w.OutgoingLog().Lines().mid(3);
    QVERIFY2(QRegularExpression("^Waiting for the printer to take [1-9][0-9,]* bytes \\.\\.\\. "
                                "\\(Disconnect again or Escape discards them\\)$")
                 .match(lines.value(0))
                 .hasMatch(),
             qPrintable(lines.join(" | ")));
    QCOMPARE(lines.last(), "Disconnected from " + printer.Address() + " on port 9100");
    // Closing writes what becomes of the bytes to standard error too.
    QStringList mirrored;
    if (discard == "close")
        for (const QString& line : lines) mirrored << "kivo-socket-test: " + line;
    QCOMPARE(errors.Lines().filter(QRegularExpression("^kivo-socket-test: ")), mirrored);
    if (reason.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), sent.size(), 10000);
        QVERIFY(printer.Received() == sent);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[1].startsWith("Done: " + CopiesOf(copies, "big.txt") + ", " + ByteCount(sent.size()) +
                                     ", taken by the printer in "),
                 qPrintable(lines[1]));
        return;
    }
    // Without a discard the window gives up once the printer has taken nothing for
    // 3 s; a discard does not wait for that (its reason line says so).
    if (discard.isEmpty()) QVERIFY2(ms >= 2900, qPrintable(QString::number(ms)));

    // The count named and what the printer took make up the file, and the printer
    // gets at least what it took. Once it has taken nothing for 3 s, that is all
    // it gets; a discard at once may find a last piece in flight, received by the
    // printer but not yet acknowledged, and counts it as not delivered.
    QCOMPARE(lines.size(), 4);
    const QRegularExpressionMatch cut =
        QRegularExpression("^Cut short: " + QRegularExpression::escape(CopiesOf(copies, "big.txt")) +
                           ", the printer acknowledged ([0-9,]+) of " + ByteCount(sent.size()) +
                           "( \\([0-3] of 3 copies\\))?; [0-9,]+ not delivered$")
            .match(lines[1]);
    const QRegularExpressionMatch lost = QRegularExpression("^([0-9,]+) bytes not delivered: (.*)$").match(lines[2]);
    QVERIFY2(cut.hasMatch() && lost.hasMatch(), qPrintable(lines.join(" | ")));
    QCOMPARE(lost.captured(2), reason);
    const qsizetype taken = Number(cut.captured(1));
    QCOMPARE(taken + Number(lost.captured(1)), sent.size());
    printer.SetReading(true);
    QTRY_VERIFY(printer.Received().size() >= taken);
    QVERIFY(printer.Received().size() - taken <= (discard.isEmpty() ? 0 : 4096));
    QVERIFY(sent.startsWith(printer.Received()));
}

void SendTest::stopEndsTheRunningJobAndTheQueuedOnesButNotTheConnection_data() {
    // clang-format off
    QTest::addColumn<bool>("tickets");  // 100 VEK tickets at about 5 KB/s, the window's own buffer; else a file
    QTest::newRow("a long file, small buffers both ways") << false;
    QTest::newRow("100 VEK tickets to a slow printer with a 4 KB buffer") << true;
    // clang-format on
}

// Progress and Stop show once the send has run half a second; Stop ends it and
// the click queued behind it, and the connection carries on. The printer gets
// what was on its way at Stop, which the system's backlog bounds: about half a
// second of the printer's pace, so Stop stops even a small job to a slow printer
// soon. (A printer whose own buffer takes the whole job has acknowledged it all
// before Stop: the Stopped line then says nothing was on its way.)
void SendTest::stopEndsTheRunningJobAndTheQueuedOnesButNotTheConnection() {
    QFETCH(bool, tickets);
    QTemporaryDir dir;
    QString path = dir.filePath("long.txt");
    QByteArray whole = kivo::test::PatternBytes(2 * 1024 * 1024);
    LoopbackPrinter printer(9100);
    frmkivo w;
    if (tickets) {
        path = platform::ProgramFolder() + "/vek_test.txt";
        const QByteArray ticket = kivo::test::ReadFile(path);
        whole.clear();
        for (int copy = 1; copy <= 100; ++copy) whole += "<RL><F6><RC90,40>" + QByteArray::number(copy) + ticket;
        printer.UseSmallBuffers(4096);
        QVERIFY(ConnectWindow(w, printer));
        printer.ReadSlowly(50, 10);
        Field(w, "TxtCount")->setText("100");
    } else {
        QVERIFY(kivo::test::WriteFile(path, whole));
        QVERIFY(ConnectWithSmallBuffers(w, printer));
        printer.ReadSlowly(4096, 10);
    }
    w.ClearLogs();
    DialogAnswer answer(w, path);
    auto* bar = w.findChild<QProgressBar*>("PrgSend");
    QString barText, barTip;
    qint64 shownAfterMs = -1;
    QElapsedTimer clock;
    WhenTrue(
        &w, [&] { return !bar->isHidden() && !Button(w, "CmdStop")->isHidden(); },
        [&] {
            shownAfterMs = clock.elapsed();
            barText = bar->text();
            barTip = bar->toolTip();
            Button(w, "CmdStop")->click();
        });
    const Watchdog watchdog(w, 15000);
    clock.start();
    Button(w, tickets ? "CmdVEKTest" : "CmdFile")->click();
    if (!tickets) Button(w, "CmdVekFF")->click();

    QTRY_VERIFY_WITH_TIMEOUT(shownAfterMs >= 0 && !w.Session().Busy(), 20000);
    QVERIFY(!watchdog.Fired() && w.Connected());
    // Not at once: after half a second of the window's own clock, which may tick a
    // little apart from this one.
    QVERIFY2(shownAfterMs >= 450, qPrintable(QString::number(shownAfterMs)));
    // The bar's text is one line that fits it; the whole of it is the tooltip.
    QVERIFY2(bar->fontMetrics().horizontalAdvance(barText) <= bar->width() &&
                 QRegularExpression("^[0-9]").match(barText).hasMatch(),
             qPrintable(barText));
    const QString what = tickets ? "100 copies of vek_test.txt" : "1 copy of long.txt";
    QVERIFY2(QRegularExpression("^[0-9,]+ of " + ByteCount(whole.size()) + " taken, " +
                                (tickets ? "copy [0-9]+ of 100, " : "") + ".+/s, .+ left$")
                 .match(barTip)
                 .hasMatch(),
             qPrintable(barTip));
    QVERIFY(bar->isHidden() && Button(w, "CmdStop")->isHidden());
    const QStringList lines = w.OutgoingLog().Lines();
    const QString dropped = tickets ? "" : "; 1 queued send dropped: VEK Form Feed";
    QCOMPARE(lines.mid(0, lines.size() - 1),
             (tickets ? QStringList{"Sending  " + path}
                      : QStringList{"Sending file " + path + " to IP Address " + printer.Address(),
                                    "Queued behind the running send: VEK Form Feed"}));
    const QRegularExpressionMatch stopped =
        QRegularExpression("^Stopped: " + what + ", the printer acknowledged ([0-9,]+) of " + ByteCount(whole.size()) +
                           "; ([0-9,]+) bytes were already on their way" + dropped + "$")
            .match(lines.last());
    QVERIFY2(stopped.hasMatch(), qPrintable(lines.join(" | ")));
    const qsizetype onTheirWay = Number(stopped.captured(2));
    QVERIFY2(onTheirWay <= (tickets ? 8 * 1024 : kUnsentLimit + 16 * 1024), qPrintable(lines.last()));

    // The printer gets what was acknowledged and on its way at Stop, then the next click.
    Field(w, "TxtCmd")->setText("<after>");
    Button(w, "CmdText")->click();
    const qsizetype sent = Number(stopped.captured(1)) + onTheirWay;
    printer.SetReading(true);
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), sent + 7, 10000);
    QVERIFY(printer.Received() == whole.left(sent) + "<after>");
}

// A job runs until the printer has taken its last byte, not until the system
// has it: a slow printer keeps progress and Stop in sight after the last piece
// is handed over, and Done comes only then. The system's backlog stays small.
void SendTest::jobRunsUntilThePrinterHasTakenItAll() {
    QTemporaryDir dir;
    const QString path = dir.filePath("slow.txt");
    const QByteArray file = kivo::test::PatternBytes(224000);
    QVERIFY(kivo::test::WriteFile(path, file));
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    printer.ReadSlowly(1024, 10);
    w.ClearLogs();
    DialogAnswer answer(w, path);
    auto* bar = w.findChild<QProgressBar*>("PrgSend");
    qint64 mostUnacknowledged = 0;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, &w, [&] {
        if (w.Connected())
            mostUnacknowledged = std::max(mostUnacknowledged, w.Session().Sent() - w.Session().Acknowledged());
    });
    sampler.start(2);
    // Looked at once the window has dealt with the last piece handed (the printer
    // can read on only after that).
    const auto done = [&w] { return !w.OutgoingLog().Lines().filter(QRegularExpression("^Done: ")).isEmpty(); };
    qsizetype receivedAfterHanding = -1;
    bool shownAfterHanding = false;
    connect(
        &w.Session(), &PrinterSession::JobHanded, &w,
        [&] {
            receivedAfterHanding = printer.Received().size();
            shownAfterHanding = !done() && !bar->isHidden() && !Button(w, "CmdStop")->isHidden();
        },
        Qt::QueuedConnection);
    const Watchdog watchdog(w, 30000);
    Button(w, "CmdFile")->click();

    QTRY_VERIFY_WITH_TIMEOUT(done(), 30000);
    QVERIFY(!watchdog.Fired());
    QVERIFY(receivedAfterHanding >= 0 && receivedAfterHanding < file.size());  // the printer was still reading
    QVERIFY(shownAfterHanding);
    QVERIFY2(
        w.OutgoingLog().Lines().last().startsWith("Done: 1 copy of slow.txt, 224,000 bytes, taken by the printer in "),
        qPrintable(w.OutgoingLog().Lines().join(" | ")));
    QTRY_VERIFY(bar->isHidden() && Button(w, "CmdStop")->isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), file.size(), 10000);
    QVERIFY(printer.Received() == file);
    QVERIFY2(mostUnacknowledged > 0 && mostUnacknowledged <= kUnsentLimit + 16 * 1024,
             qPrintable(QString::number(mostUnacknowledged)));
}

void SendTest::closeAsksWhileBytesWaitForThePrinter_data() {
    // clang-format off
    QTest::addColumn<int>("answer");         // Wait, Discard and Close, Cancel; -1: none, the question goes moot
    QTest::addColumn<bool>("running");       // the job is still being handed to a slow printer
    QTest::addColumn<QString>("printer");    // what the printer does once asked
    QTest::addColumn<bool>("held");          // the question stays up meanwhile
    QTest::addColumn<qsizetype>("before");   // bytes an earlier job sent on the connection
    QTest::addColumn<QStringList>("lines");  // patterns of the lines from the close on
    const QString wait = "^Waiting for the printer to take [0-9,]+ bytes \\.\\.\\. "
                         "\\(Disconnect again or Escape discards them\\)$";
    const QString closing = "^Closing once the printer has taken the running job: 1 copy of waiting\\.txt$";
    const QString done = "^Done: 1 copy of waiting\\.txt, %1 bytes, taken by the printer in ";
    const QString cut = "^Cut short: 1 copy of waiting\\.txt, the printer acknowledged [0-9,]+ of %1 bytes; "
                        "[0-9,]+ not delivered$";
    const QString lost = "^[0-9,]+ bytes not delivered: ";
    const QString disconnected = "^Disconnected from ";
    const QString small = "49,152", large = "1,048,576";
    QTest::newRow("Wait: the printer gets every byte, then the window closes")
        << 0 << false << "reads" << false << qsizetype(0) << QStringList{wait, done.arg(small), disconnected};
    QTest::newRow("Discard and Close: named and closed at once")
        << 1 << false << "" << false << qsizetype(0)
        << QStringList{cut.arg(small), lost + "discarded at your request$", disconnected};
    QTest::newRow("Cancel: nothing changes")
        << 2 << false << "reads" << false << qsizetype(0) << QStringList{done.arg(small)};
    QTest::newRow("Wait while the job runs: it ends, then the wait, then the close")
        << 0 << true << "" << false << qsizetype(0) << QStringList{closing, wait, done.arg(large), disconnected};
    QTest::newRow("Wait while the job runs, the printer stops: the stall rule ends it")
        << 0 << true << "stops" << false << qsizetype(0)
        << QStringList{closing, cut.arg(large), lost + "the printer took nothing for 3 s$", disconnected};
    QTest::newRow("the question left up: its count follows the printer, then it closes as asked")
        << -1 << false << "reads slowly" << true << qsizetype(0) << QStringList{done.arg(small), disconnected};
    QTest::newRow("the question left up: the printer resets, the window closes as asked")
        << -1 << false << "resets" << true << qsizetype(0)
        << QStringList{"^Lost connection with printer$", "^" + QRegularExpression::escape(LossReason(ws::WSAECONNRESET)) + "$",
                       cut.arg(small), lost + "the printer reset the connection$"};
    QTest::newRow("the question left up does not hold the running job back")
        << 2 << true << "" << true << qsizetype(0) << QStringList{done.arg(large)};
    QTest::newRow("a second job on the connection: its own counts")
        << 1 << false << "" << false << qsizetype(64 * 1024)
        << QStringList{cut.arg(small), lost + "discarded at your request$", disconnected};
    // clang-format on
}

// Closing the window while bytes wait for the printer asks first. Once the
// window closes, its lines from the question on go to standard error too.
void SendTest::closeAsksWhileBytesWaitForThePrinter() {
    QFETCH(int, answer);
    QFETCH(bool, running);
    QFETCH(QString, printer);
    QFETCH(bool, held);
    QFETCH(qsizetype, before);
    QFETCH(QStringList, lines);
    QTemporaryDir dir;
    LoopbackPrinter peer(9100);
    peer.UseSmallBuffers(4096);
    frmkivo w;
    w.show();
    QVERIFY(ConnectWindow(w, peer));
    w.Session().SetStallFloor(3);
    QByteArray sent;
    if (before > 0) {
        sent = SendFileAtOnce(w, dir.filePath("before.txt"), before);
        QTRY_VERIFY(w.Session().Settled() && peer.Received().size() == before);
    }
    const QString path = dir.filePath("waiting.txt");
    DialogAnswer answers(w, QStringList{path});
    QByteArray file;
    if (running) {
        file = kivo::test::PatternBytes(1024 * 1024);
        QVERIFY(kivo::test::WriteFile(path, file) && kivo::test::UseSmallSendBuffer(w));
        peer.ReadSlowly(4096, 5);
        Button(w, "CmdFile")->click();
        QTRY_VERIFY(SendWaitsForRoom(w));
    } else {
        peer.SetReading(false);
        file = SendFileAtOnce(w, path, 48 * 1024);
    }
    QVERIFY(!file.isEmpty());
    sent += file;
    const QString connection = ConnectionName(w);
    const qint64 pending = w.Session().Undelivered();
    QVERIFY(pending > 0 && pending <= file.size());
    bool acted = false;
    const auto act = [&] {
        if (std::exchange(acted, true)) return;
        if (printer == "reads") peer.SetReading(true);
        if (printer == "reads slowly") peer.ReadSlowly(1024, 10);
        if (printer == "stops") peer.SetReading(false);
        if (printer == "resets") peer.Reset();
    };
    QElapsedTimer clock;
    clock.start();
    qsizetype receivedWhileAsked = 0;
    if (held)
        answers.holdQuestion = [&] {
            receivedWhileAsked = peer.Received().size();
            act();
            return clock.elapsed() < 20000 && (!printer.isEmpty() || peer.Received().size() < sent.size() * 3 / 4);
        };
    // A question that goes moot closes the window; else the operator's answer,
    // given when the question is let go (Cancel where none is to come).
    answers.answers = {answer < 0 ? 2 : answer};
    w.ClearLogs();
    StandardErrorCapture errors;
    w.close();
    if (!held) act();

    QCOMPARE(answers.questions.size(), 1);
    const Question& question = answers.questions[0];
    const QString pendingText = "%1 bytes have not reached the printer yet.";
    QCOMPARE(question.text, pendingText.arg(Grouped(pending)));
    QCOMPARE(question.answers, (QStringList{"Wait", "Discard and Close", "Cancel"}));
    QVERIFY(question.defaultAnswer == 0 && question.escapeAnswer == 2);
    // While the question is up its count follows what the printer takes.
    qint64 last = pending;
    for (const QString& text : answers.updates) {
        const qint64 now = QLocale(QLocale::English).toLongLong(text.section(' ', 0, 0));
        QVERIFY2(text == pendingText.arg(Grouped(now)) && now < last, qPrintable(answers.updates.join(" | ")));
        last = now;
    }
    QVERIFY(held || answers.updates.isEmpty());
    // A question left up holds nothing back: the printer reads on meanwhile.
    if (held && printer.isEmpty()) QVERIFY(receivedWhileAsked >= sent.size() * 3 / 4);
    QVERIFY(printer != "reads slowly" || answers.updates.size() > 1);

    const bool closes = answer != 2;
    QTRY_VERIFY_WITH_TIMEOUT(closes ? !w.isVisible() : w.OutgoingLog().Count() >= lines.size(), 20000);
    const QStringList after = w.OutgoingLog().Lines();
    QVERIFY2(after.size() == lines.size(), qPrintable(after.join(" | ")));
    for (qsizetype i = 0; i < lines.size(); ++i)
        QVERIFY2(QRegularExpression(lines[i]).match(after[i]).hasMatch(), qPrintable(after.join(" | ")));
    QStringList mirrored;
    if (closes)
        for (const QString& line : after) mirrored << "kivo-socket-test: " + line;
    QCOMPARE(errors.Lines().filter(QRegularExpression("^kivo-socket-test: ")), mirrored);
    QCOMPARE(w.Connected(), !closes);

    // The printer gets every byte and then the end of the stream, or a part of them.
    const bool delivered = after.filter(QRegularExpression("^Done: ")).size() == 1;
    peer.SetReading(true);
    if (delivered) QTRY_COMPARE(peer.Received().size(), sent.size());
    QVERIFY(sent.startsWith(peer.Received()));
    QCOMPARE(ClosedInOrder(connection), delivered && closes);
}

QTEST_MAIN(SendTest)
#include "send_test.moc"
