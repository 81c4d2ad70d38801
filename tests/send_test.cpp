// Connecting and the command buttons, against a printer on loopback: the bytes
// each click puts on the wire and the lines it logs, bad byte values, and sends
// that meet a slow, a silent or a vanishing printer.
#include "console/frmkivo.h"
#include "console/numbers.h"
#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace kivo;
using kivo::test::Button;
using kivo::test::Field;
using kivo::test::ConnectWindow;
using kivo::test::ConnectWithSmallBuffers;
using kivo::test::DialogAnswer;
using kivo::test::Hex;
using kivo::test::LoopbackPrinter;
using kivo::test::SendMarker;
using kivo::test::Watchdog;
using kivo::test::WhenTrue;

class SendTest : public QObject {
    Q_OBJECT
private slots:
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
    void printerDropLeavesDisconnectToTheOperator_data();
    void printerDropLeavesDisconnectToTheOperator();
};

void SendTest::buttonsPutExactBytesOnTheWire_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("command");  // text of TxtCmd before the click
    QTest::addColumn<QString>("count");    // text of TxtCount before the click
    QTest::addColumn<QString>("line");     // %1 stands for the printer's address
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("commandAfter");

    const QString text = QStringLiteral("Sending text =>%1 to IP Address %2");
    QTest::newRow("text: print command") << "CmdText" << "<p>" << "1" << text.arg("<p>", "%1")
                                         << QByteArray("<p>") << "<p>";
    QTest::newRow("text: sent once whatever the copies") << "CmdText" << "<p>" << "3" << text.arg("<p>", "%1")
                                                         << QByteArray("<p>") << "<p>";
    QTest::newRow("text: copies not a number") << "CmdText" << "<p>" << "abc" << text.arg("<p>", "%1")
                                               << QByteArray("<p>") << "<p>";
    QTest::newRow("text: Latin-1 and Windows-1252 one byte each")
        << "CmdText" << QStringLiteral("\u00e9\u20ac\u00ff") << "1" << text.arg(QStringLiteral("\u00e9\u20ac\u00ff"), "%1")
        << QByteArray("\xe9\x80\xff") << QStringLiteral("\u00e9\u20ac\u00ff");
    QTest::newRow("text: blanks kept, no line end") << "CmdText" << " A B " << "1" << text.arg(" A B ", "%1")
                                                    << QByteArray(" A B ") << " A B ";
    QTest::newRow("text: empty sends nothing") << "CmdText" << "" << "1" << text.arg("", "%1") << QByteArray() << "";

    const QString ascii = QStringLiteral("Sending Ascii =>%1 to IP Address %2");
    QTest::newRow("ascii 65") << "CmdAscii" << "65" << "1" << ascii.arg("65", "%1") << QByteArray("A") << "65";
    QTest::newRow("ascii 0") << "CmdAscii" << "0" << "1" << ascii.arg("0", "%1") << QByteArray(1, '\0') << "0";
    QTest::newRow("ascii 255") << "CmdAscii" << "255" << "1" << ascii.arg("255", "%1") << QByteArray("\xff") << "255";
    QTest::newRow("ascii blanks around") << "CmdAscii" << " 65 " << "1" << ascii.arg(" 65 ", "%1") << QByteArray("A")
                                         << " 65 ";
    QTest::newRow("ascii 2.5 halves to even") << "CmdAscii" << "2.5" << "1" << ascii.arg("2.5", "%1")
                                              << QByteArray("\x02") << "2.5";
    QTest::newRow("ascii 3.5 halves to even") << "CmdAscii" << "3.5" << "1" << ascii.arg("3.5", "%1")
                                              << QByteArray("\x04") << "3.5";
    QTest::newRow("ascii -0.4 rounds to 0") << "CmdAscii" << "-0.4" << "1" << ascii.arg("-0.4", "%1")
                                            << QByteArray(1, '\0') << "-0.4";
    QTest::newRow("ascii hexadecimal") << "CmdAscii" << "0x41" << "1" << ascii.arg("0x41", "%1") << QByteArray("A")
                                       << "0x41";
    QTest::newRow("ascii a list of values, one send") << "CmdAscii" << "27 64,&H0C" << "1"
                                                      << ascii.arg("27 64,&H0C", "%1") << QByteArray("\x1b\x40\x0c")
                                                      << "27 64,&H0C";
    QTest::newRow("ascii empty becomes 7") << "CmdAscii" << "" << "1" << ascii.arg("7", "%1") << QByteArray("\x07")
                                           << "7";

    QTest::newRow("VEK form feed") << "CmdVekFF" << "junk" << "1" << "Sending an VEK Form Feed to IP Address %1"
                                   << QByteArray("<p>") << "junk";
    QTest::newRow("HP form feed") << "CmdPclFF" << "junk" << "1" << "Sending an PCL Form Feed to IP Address %1"
                                  << QByteArray("\x0c") << "junk";
}

void SendTest::buttonsPutExactBytesOnTheWire() {
    QFETCH(QString, button);
    QFETCH(QString, command);
    QFETCH(QString, count);
    QFETCH(QString, line);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, commandAfter);

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
}

void SendTest::asciiRefusesBadValues_data() {
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
    const Watchdog watchdog(w, 15000);
    Button(w, "CmdFile")->click();

    QVERIFY(w.PrinterSender().Pauses() > 0);
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), file.size(), 20000);
    QVERIFY(printer.Received() == file);
    QCOMPARE(w.OutgoingLog().Lines().mid(2),
             QStringList{QStringLiteral("Sending file %1 to IP Address %2").arg(path, printer.Address())});
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
    WhenTrue(&w, [&w] { return w.PrinterSender().Waiting(); },
             [&] {
                 QTimer::singleShot(100, &printer, [&] {
                     printer.Reset();
                     sinceReset.start();
                 });
             });
    const Watchdog watchdog(w, 15000);
    Button(w, "CmdFile")->click();  // returns once the send has ended

    QVERIFY(sinceReset.isValid());
    QVERIFY2(sinceReset.elapsed() < 1000, qPrintable(QString::number(sinceReset.elapsed())));
    const QStringList lines = w.OutgoingLog().Lines();
    QCOMPARE(lines.value(0), QStringLiteral("Sending file %1 to IP Address %2").arg(path, printer.Address()));
    const QStringList errors = lines.filter(QRegularExpression("^Error while sending to the printer \\(error \\d+\\)"));
    QCOMPARE(errors.size(), 1);
    QVERIFY(w.Connected());
    QVERIFY(!w.Sends().Busy());

    // The window lives on: a later click gets its own line and its own outcome,
    // and Disconnect still closes.
    Button(w, "CmdVekFF")->click();
    QVERIFY(w.OutgoingLog().Lines().contains("Sending an VEK Form Feed to IP Address " + printer.Address()));
    Button(w, "CmdConnect")->click();
    QCOMPARE(w.OutgoingLog().Lines().last(), "Disconnected from " + printer.Address() + " on port 9100");
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
    WhenTrue(&w, [&w] { return w.PrinterSender().Waiting(); },
             [&] {
                 Button(w, "CmdClear")->click();
                 clearedWhileWaiting = w.OutgoingLog().Count() == 0;
                 QTimer::singleShot(0, &w, [&] {
                     loggedWhileWaiting = w.PrinterSender().Waiting();
                     w.LogMessage("O", "while waiting");
                     Button(w, "CmdVekFF")->click();
                     Button(w, "CmdText")->click();
                     queued = w.Sends().Queued();
                     Button(w, "CmdConnect")->click();
                 });
             });
    const Watchdog watchdog(w, 15000);
    Button(w, "CmdFile")->click();  // returns once Disconnect has ended the send

    QVERIFY(clearedWhileWaiting);
    QVERIFY(loggedWhileWaiting);
    QCOMPARE(queued, 2);
    const QString at = printer.Address() + " on port 9100";
    QCOMPARE(w.OutgoingLog().Lines(), (QStringList{"while waiting",
                                                   "Send canceled by Disconnect; 2 queued send(s) dropped",
                                                   "Disconnected from " + at}));
    QVERIFY(!w.Sends().Busy());
    QCOMPARE(w.Sends().Queued(), 0);
    QVERIFY(!w.Connected());
    QCOMPARE(w.PrinterSocketHandle(), ws::SOCKET{-1});
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
    WhenTrue(&w, [&w] { return w.PrinterSender().Waiting(); },
             [&] {
                 Field(w, "TxtCmd")->setText("<p>SECOND");
                 Button(w, "CmdText")->click();
                 Field(w, "TxtCmd")->setText("ignored: read at the click");
                 Button(w, "CmdVekFF")->click();
                 queued = w.Sends().Queued();
                 printer.SetReading(true);
             });
    const Watchdog watchdog(w, 15000);
    Button(w, "CmdFile")->click();  // runs the queued sends too before it returns

    QCOMPARE(queued, 2);
    const QByteArray expected = file + "<p>SECOND" + "<p>";
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), expected.size(), 20000);
    QVERIFY(printer.Received() == expected);
    const QString address = printer.Address();
    QCOMPARE(w.OutgoingLog().Lines(),
             (QStringList{"Sending file " + path + " to IP Address " + address,
                          "Sending text =><p>SECOND to IP Address " + address,
                          "Sending an VEK Form Feed to IP Address " + address}));
}

void SendTest::printerDropLeavesDisconnectToTheOperator_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("orderly close") << false;
    QTest::newRow("reset") << true;
}

void SendTest::printerDropLeavesDisconnectToTheOperator() {
    QFETCH(bool, reset);
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    reset ? printer.Reset() : printer.Close();
    QTRY_VERIFY(w.OutgoingLog().Lines().contains("Lost connection with printer"));

    QCOMPARE(Button(w, "CmdConnect")->text(), QStringLiteral("Disconnect"));
    QVERIFY(Button(w, "CmdText")->isEnabled());
    QVERIFY(!Field(w, "IP_Address")->isEnabled());
    // A send into the dropped connection ends, whatever the kernel makes of it.
    Button(w, "CmdVekFF")->click();
    QVERIFY(!w.Sends().Busy());

    Button(w, "CmdConnect")->click();
    QCOMPARE(w.OutgoingLog().Lines().last(), "Disconnected from " + printer.Address() + " on port 9100");
    QCOMPARE(Button(w, "CmdConnect")->text(), QStringLiteral("Connect"));
    QVERIFY(Field(w, "IP_Address")->isEnabled());
    QCOMPARE(w.PrinterSocketHandle(), ws::SOCKET{-1});
}

QTEST_MAIN(SendTest)
#include "send_test.moc"
