// The main window: its controls and initial state, the logs, the wait, and the
// whole road from a click to the printer and back, against a loopback printer.
#include "console/command_history.h"
#include "console/frmkivo.h"
#include "console/settings.h"
#include "console/log_export.h"
#include "link/printer_socket.h"
#include "link/reply_decoder.h"
#include "platform/program_folder.h"
#include "platform/socket_errors.h"
#include "tests/support/window_support.h"

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QCompleter>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QScrollBar>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

using namespace kivo;
using kivo::test::Button;
using kivo::test::Field;
using kivo::test::Label;
using kivo::test::Log;
using kivo::test::DialogAnswer;
using kivo::test::Hex;
using kivo::test::ConnectWindow;
using kivo::test::ConnectWithSmallBuffers;
using kivo::test::LoopbackPrinter;
using kivo::test::SilentPrinter;

namespace {

// The controls that take the focus, in tab order.
const QStringList kTabOrder{"Cmdping",   "IP_Address", "CmdText",  "CmdFile",  "CmdClear",   "TxtCount",
                            "TxtCmd",    "CmdConnect", "CmdPclFF", "CmdVekFF", "CmdPcxFile", "CmdVEKTest",
                            "CmdHPTest", "CmdAscii",   "TxtMsg",   "InTxtMsg"};

QStringList EnabledControls(frmkivo& w) {
    QStringList names;
    for (const QString& name : kTabOrder)
        if (w.findChild<QWidget*>(name)->isEnabled()) names << name;
    return names;
}

// The object names met going round the focus chain from the first control.
QStringList FocusChain(frmkivo& w) {
    QStringList names;
    QWidget* first = w.findChild<QWidget*>(kTabOrder.first());
    for (QWidget* next = first; next && names.size() <= kTabOrder.size(); next = next->nextInFocusChain()) {
        if (!next->objectName().isEmpty() && kTabOrder.contains(next->objectName())) names << next->objectName();
        if (next->nextInFocusChain() == first) break;
    }
    return names;
}

const QStringList kDisconnectedControls{"Cmdping", "IP_Address", "CmdClear", "CmdConnect", "TxtMsg", "InTxtMsg"};

// A table cell of several short words.
QStringList Steps(const QString& letters) { return letters.split(QLatin1Char(' '), Qt::SkipEmptyParts); }

QAction* MenuAction(LogView* view, const QString& text) {
    for (QAction* action : view->MenuActions())
        if (action->text() == text) return action;
    return nullptr;
}

void ClickRow(LogView* view, int row, Qt::KeyboardModifiers modifiers = {}) {
    const int y = (row - view->FirstRow()) * view->RowHeight() + view->RowHeight() / 2;
    QTest::mouseClick(view->viewport(), Qt::LeftButton, modifiers, QPoint(10, y));
}

// One step of an operator selecting lines: "click 2", "shift 5", "ctrl 3",
// "shift-down" or "ctrl-a".
void SelectStep(LogView* view, const QString& step) {
    const QString what = step.section(QLatin1Char(' '), 0, 0);
    const int row = step.section(QLatin1Char(' '), 1).toInt();
    if (what == QLatin1String("click")) ClickRow(view, row);
    if (what == QLatin1String("shift")) ClickRow(view, row, Qt::ShiftModifier);
    if (what == QLatin1String("ctrl")) ClickRow(view, row, Qt::ControlModifier);
    if (what == QLatin1String("shift-down")) QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
    if (what == QLatin1String("ctrl-a")) QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
}

// Pixels of a row's text drawn in a clear red (the stripe at the left edge left
// out), as the view paints the row now.
int RedTextPixels(LogView* view, int row) {
    const QImage image = view->viewport()->grab().toImage();
    const int top = (row - view->FirstRow()) * view->RowHeight();
    int red = 0;
    for (int y = std::max(top, 0); y < std::min(top + view->RowHeight(), image.height()); ++y)
        for (int x = 4; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() - c.green() > 80 && c.red() - c.blue() > 80) ++red;
        }
    return red;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void init() { kivo::test::ForgetSettings(); }
    void initialState();
    void controlsStandWhereTheFormSays_data();
    void controlsStandWhereTheFormSays();
    void logKindsChooseTheLog_data();
    void logKindsChooseTheLog();
    void connectsAndShowsPrinterReplies();
    void pingLeavesTheWindowGoing();
    void addressNamesThePortOfTheConnection();
    void failedConnectChangesNothing_data();
    void failedConnectChangesNothing();
    void connectIsCancelledAtOnce_data();
    void connectIsCancelledAtOnce();
    void logsTakeTheGrowthOfTheWindow_data();
    void logsTakeTheGrowthOfTheWindow();
    void progressBarSaysWhatThePrinterDoes_data();
    void progressBarSaysWhatThePrinterDoes();
    void commandHistorySteps_data();
    void commandHistorySteps();
    void keyboardAndSettingsAcrossRuns();
    void settingsStoreIgnoresWhatItCannotRead_data();
    void settingsStoreIgnoresWhatItCannotRead();
    void shutDownClosesOnlyAnOpenSocket();
    void clearEmptiesBothLogs();
    void logKeysMoveTheSelectionAndCopy();
    void scrollBarShowsWhenLinesDoNotFit_data();
    void scrollBarShowsWhenLinesDoNotFit();
    void followsTheNewestLineUntilTheOperatorLooksElsewhere();
    void selectedLinesAreCopiedInOrder_data();
    void selectedLinesAreCopiedInOrder();  // and Show Times, shared and remembered
    void saveAsWritesTheLogOrSaysWhyNot();
    void saveAsOpensWhereTheLastLogWasSaved();
    void printerStatusesShowInColourAndTally();
    void statusTallyIsClearOfEveryControl_data();
    void statusTallyIsClearOfEveryControl();
    void screenReaderReadsTheLogsAndNamesEveryControl();
};

void WindowTest::initialState() {
    frmkivo w;
    QCOMPARE(w.windowTitle(), QStringLiteral("Kivo Systems Socket Test Program V2.0"));
    QCOMPARE(w.size(), QSize(731, 552));
    QCOMPARE(Field(w, "IP_Address")->text(), QStringLiteral("10.0.0.192"));
    QCOMPARE(Field(w, "TxtCount")->text(), QStringLiteral("1"));
    QCOMPARE(Field(w, "TxtCmd")->text(), QString());
    QCOMPARE(Button(w, "CmdConnect")->text(), QStringLiteral("Connect"));
    QCOMPARE(Button(w, "CmdAscii")->text(), QStringLiteral("Send Ascii "));
    QCOMPARE(Label(w, "IPLBL")->text(), QStringLiteral("Enter IP Address  Here"));
    QCOMPARE(Label(w, "Label2")->text(), QStringLiteral("Incoming Printer Data  and Messages"));
    QCOMPARE(EnabledControls(w), kDisconnectedControls);
    QCOMPARE(FocusChain(w), kTabOrder);
    QVERIFY(w.findChild<QWidget*>("PrgSend")->isHidden() && Button(w, "CmdStop")->isHidden());
    QCOMPARE(w.PrinterSocketHandle(), -1);  // no socket: 0 is a descriptor like any other
    QCOMPARE(w.palette().color(QPalette::Window), QColor(192, 192, 255));
    QCOMPARE(Field(w, "TxtCmd")->font().families().value(0), QStringLiteral("Comic Sans MS"));
    QCOMPARE(Field(w, "TxtCmd")->font().families().value(1), QStringLiteral("Comic Neue"));
    QCOMPARE(Field(w, "TxtCmd")->font().pointSizeF(), 14.25);
    QCOMPARE(Log(w, "TxtMsg")->font().pointSizeF(), 8.25);
    QCOMPARE(Label(w, "Label1")->font().pointSizeF(), 9.75);
    for (int size : {16, 32, 48}) QVERIFY(w.windowIcon().availableSizes().contains(QSize(size, size)));
    QCOMPARE(w.focusWidget(), Field(w, "IP_Address"));
    QCOMPARE(Field(w, "IP_Address")->selectedText(), QStringLiteral("10.0.0.192"));  // typing replaces it
    QCOMPARE(w.minimumSize(), QSize(731, 552));
    w.Form_Unload();
    QVERIFY2(!QFile::exists(kivo::test::SettingsFile()), "nothing used, yet something was written");
}

void WindowTest::controlsStandWhereTheFormSays_data() {
    // clang-format off
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("tooltip");
    QTest::newRow("Cmdping") << "Cmdping" << QRect(1920, 360, 1095, 495)
                             << "Verify ethernet communication to current IP address";
    QTest::newRow("IP_Address") << "IP_Address" << QRect(3600, 360, 2535, 495)
                                << "Enter IP Address for your Kivo Systems printer";
    QTest::newRow("CmdConnect") << "CmdConnect" << QRect(6840, 360, 1215, 495)
                                << "Connect & Disconnect with Kivo Systems Printer";
    QTest::newRow("TxtCmd") << "TxtCmd" << QRect(120, 1200, 9255, 495)
                            << "Enter string here and then click on \"Send Text\" when you are ready";
    QTest::newRow("TxtCount") << "TxtCount" << QRect(9480, 1200, 1335, 525)
                              << "Enter # of copies of text commands or text files";
    QTest::newRow("CmdText") << "CmdText" << QRect(240, 1920, 1215, 495) << "Send Text Command to the printer";
    QTest::newRow("CmdAscii") << "CmdAscii" << QRect(1560, 1920, 1215, 495) << "Send ASCII Value to printer";
    QTest::newRow("CmdFile") << "CmdFile" << QRect(2880, 1920, 1215, 495) << "Send text file to printer (# of Copies)";
    QTest::newRow("CmdPcxFile") << "CmdPcxFile" << QRect(4200, 1920, 1215, 495)
                                << "Print a Monochrome PCX file on an VEK printer";
    QTest::newRow("CmdVEKTest") << "CmdVEKTest" << QRect(5520, 1920, 1215, 495)
                                << "Generate standard VEK test ticket (# of Copies)";
    QTest::newRow("CmdVekFF") << "CmdVekFF" << QRect(6840, 1920, 1215, 495) << "Send VEK Form Feed to the printer";
    QTest::newRow("CmdHPTest") << "CmdHPTest" << QRect(8160, 1920, 1215, 495)
                               << "Generate standard HP ID test ticket (# of Copies)";
    QTest::newRow("CmdPclFF") << "CmdPclFF" << QRect(9480, 1920, 1215, 495) << "Send a HP Form Feed to the printer";
    QTest::newRow("CmdClear") << "CmdClear" << QRect(4560, 5040, 1335, 495) << "Clear out messages below";
    QTest::newRow("TxtMsg") << "TxtMsg" << QRect(120, 2880, 10695, 2085) << "";
    QTest::newRow("InTxtMsg") << "InTxtMsg" << QRect(120, 5640, 10695, 2535) << "";
    // Between the logs right of Clear Messages, shown only while a long send runs.
    QTest::newRow("PrgSend") << "PrgSend" << QRect(6000, 5040, 3480, 240) << "";
    QTest::newRow("CmdStop") << "CmdStop" << QRect(9600, 5040, 1215, 495)
                             << "Stop the running send and the sends queued behind it";
    // clang-format on
}

void WindowTest::controlsStandWhereTheFormSays() {
    QFETCH(QString, control);
    QFETCH(QRect, twips);
    QFETCH(QString, tooltip);
    frmkivo w;
    auto* widget = w.findChild<QWidget*>(control);
    QVERIFY(widget);
    const QRect expected(qRound(twips.x() / 15.0), qRound(twips.y() / 15.0), qRound(twips.width() / 15.0),
                         qRound(twips.height() / 15.0));
    QCOMPARE(widget->geometry(), expected);
    QCOMPARE(widget->toolTip(), tooltip);
    // The places that scripts click (kivo-socket-test --list-controls) are the same.
    const QString place = QStringLiteral("%1 %2 %3 %4 %5")
                              .arg(control)
                              .arg(expected.x())
                              .arg(expected.y())
                              .arg(expected.width())
                              .arg(expected.height());
    QCOMPARE(frmkivo::ControlPlaces().filter(QRegularExpression('^' + control + ' ')), QStringList{place});
}

void WindowTest::logKindsChooseTheLog_data() {
    // clang-format off
    QTest::addColumn<bool>("outgoing");
    QTest::newRow("outgoing") << true;
    QTest::newRow("incoming") << false;
    // clang-format on
}

void WindowTest::logKindsChooseTheLog() {
    QFETCH(bool, outgoing);
    const LogKind kind = outgoing ? LogKind::Outgoing : LogKind::Incoming;
    frmkivo w;
    w.LogMessage(kind, QStringLiteral("first"));
    w.LogMessage(kind, QStringLiteral("second"));
    LogModel& log = outgoing ? w.OutgoingLog() : w.IncomingLog();
    LogModel& other = outgoing ? w.IncomingLog() : w.OutgoingLog();
    QCOMPARE(log.Lines(), (QStringList{"first", "second"}));
    QCOMPARE(other.Count(), 0);
    LogView* view = outgoing ? Log(w, "TxtMsg") : Log(w, "InTxtMsg");
    QCOMPARE(view->CurrentRow(), 1);

    // With far more lines than the list shows, the newest is selected and in view.
    for (int i = 0; i < 500; ++i) w.LogMessage(kind, QStringLiteral("line %1").arg(i));
    QCOMPARE(view->CurrentRow(), 501);
    QVERIFY(view->IsRowVisible(501));
    QVERIFY(!view->IsRowVisible(0));
}

void WindowTest::connectsAndShowsPrinterReplies() {
    LoopbackPrinter printer(9100);
    QVERIFY(printer.Listening());
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    const QString at = printer.Address() + QStringLiteral(" on port 9100");
    QCOMPARE(w.OutgoingLog().Lines(), (QStringList{"Attempting to establish a connection with the printer at " + at,
                                                   "Connection made to " + at}));
    QCOMPARE(Button(w, "CmdConnect")->text(), QStringLiteral("Disconnect"));
    QVERIFY(!Field(w, "IP_Address")->isEnabled());
    QCOMPARE(EnabledControls(w).size(), 15);

    printer.Send(QByteArray("\x06"));
    QTRY_COMPARE(w.IncomingLog().Lines(), QStringList{"Ticket ACK"});
    QCOMPARE(Log(w, "InTxtMsg")->CurrentRow(), 0);
    // Once: the next byte's line follows it, with no second ACK between.
    printer.Send(QByteArray("\x15"));
    QTRY_COMPARE(w.IncomingLog().Lines(), (QStringList{"Ticket ACK", "Ticket NAK"}));

    Button(w, "CmdConnect")->click();
    QTRY_COMPARE(w.OutgoingLog().Lines().last(), "Disconnected from " + at);
    QCOMPARE(EnabledControls(w), kDisconnectedControls);
    QCOMPARE(w.PrinterSocketHandle(), -1);
    QTRY_VERIFY(!printer.HasClient() || printer.Connections() == 1);
}

void WindowTest::pingLeavesTheWindowGoing() {
    // A network of the test's own where nobody answers an echo: four waits of 500 ms.
    kivo::test::PrivateNetwork network;
    if (!network.Error().isEmpty()) QSKIP(qPrintable(network.Error()));
    if (!network.SetIpv4("ping_group_range", "0 2147483647") || !network.SetIpv4("icmp_echo_ignore_all", "1"))
        QSKIP(qPrintable(network.WriteError()));
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    QPushButton* ping = Button(w, "Cmdping");
    ping->click();
    QVERIFY(!ping->isEnabled());
    ping->click();  // no second run while one goes on
    printer.Send(QByteArray("\x06"));
    QTRY_VERIFY_WITH_TIMEOUT(ping->isEnabled(), 60000);
    // The printer's answer was shown while the echoes waited, not after them.
    const QStringList in = w.IncomingLog().Lines();
    QCOMPARE(in.count("IP Request timed out"), 4);
    const qsizetype ack = in.indexOf("Ticket ACK");
    QVERIFY2(ack >= 0 && ack < in.lastIndexOf("IP Request timed out"), qPrintable(in.join('|')));
    QCOMPARE(w.OutgoingLog().Lines().filter("Pinging ").size(), 1);
    QCOMPARE(w.OutgoingLog().Lines().last(), "Packets: Sent = 4 Received = 0 Lost = 4");
}

void WindowTest::addressNamesThePortOfTheConnection() {
    LoopbackPrinter printer(9101);  // a print server's second printer
    frmkivo w;
    Field(w, "IP_Address")->setText(printer.Address() + QStringLiteral(":9101"));
    Button(w, "CmdConnect")->click();
    QTRY_VERIFY(w.Connected());
    QTRY_VERIFY(printer.HasClient());
    Button(w, "CmdConnect")->click();
    const QString at = printer.Address() + QStringLiteral(" on port 9101");
    QTRY_COMPARE(w.OutgoingLog().Lines(), (QStringList{"Attempting to establish a connection with the printer at " + at,
                                                       "Connection made to " + at, "Disconnected from " + at}));
    // Remembered as typed, port and all.
    QCOMPARE(Field(w, "IP_Address")->completer()->model()->index(0, 0).data().toString(),
             printer.Address() + QStringLiteral(":9101"));
}

void WindowTest::failedConnectChangesNothing_data() {
    // clang-format off
    QTest::addColumn<QString>("address");   // "*": a loopback address nobody listens at
    QTest::addColumn<QStringList>("lines");  // "@" stands for the address
    const QStringList attempt{"Attempting to establish a connection with the printer at @ on port 9100",
                              "Error while connecting to the printer @ on port 9100"};
    const QStringList refused{"No printer address to connect to: enter its IP address or host name first"};
    QTest::newRow("refused") << "*" << attempt + QStringList{"Error 10061: " + SocketErrorText(ws::WSAECONNREFUSED)};
    QTest::newRow("empty, refused before any attempt") << "" << refused;
    QTest::newRow("blanks") << "   " << refused;
    QTest::newRow("a port that is no port") << "10.0.0.192:99999"
        << QStringList{"No printer port in \"10.0.0.192:99999\": write the address as address:port, the port from 1 "
                       "to 65534"};
    // clang-format on
}

void WindowTest::failedConnectChangesNothing() {
    QFETCH(QString, address);
    QFETCH(QStringList, lines);
    frmkivo w;
    Field(w, "IP_Address")->setText(address == "*" ? kivo::test::RandomLoopbackAddress() : address);
    Button(w, "CmdConnect")->click();
    lines.replaceInStrings("@", Field(w, "IP_Address")->text());
    QTRY_COMPARE(w.OutgoingLog().Lines(), lines);
    for (qsizetype row = 0; row < lines.size(); ++row)  // a failed connect shows in red, its attempt does not
        QCOMPARE(w.OutgoingLog().LineSeverity(row),
                 lines[row].startsWith("Attempting") ? Severity::None : Severity::Fault);
    QCOMPARE(EnabledControls(w), kDisconnectedControls);
    QCOMPARE(w.PrinterSocketHandle(), -1);
}

void WindowTest::connectIsCancelledAtOnce_data() {
    // clang-format off
    QTest::addColumn<QString>("cancel");
    QTest::newRow("Escape") << "escape";
    QTest::newRow("a click on Connect") << "click";
    QTest::newRow("a close request") << "close";
    // clang-format on
}

// A click on Connect returns at once; while the connect goes on, only what can
// end it acts, and it ends it at once: nothing that needs a connection can be
// used, and the address is the attempt's.
void WindowTest::connectIsCancelledAtOnce() {
    QFETCH(QString, cancel);
    SilentPrinter printer;
    QVERIFY(printer.Listening());
    frmkivo w;
    w.show();
    QLineEdit* address = Field(w, "IP_Address");
    address->setText(printer.Address());
    Button(w, "CmdConnect")->click();
    QCOMPARE(w.Session().GetState(), PrinterSession::State::Connecting);
    QCOMPARE(EnabledControls(w), (QStringList{"Cmdping", "CmdClear", "CmdConnect", "TxtMsg", "InTxtMsg"}));
    QCOMPARE(w.cursor().shape(), Qt::BusyCursor);
    QTest::keyClicks(address, "9");
    QTest::keyClick(address, Qt::Key_Return);
    const QString at = printer.Address() + QStringLiteral(" on port 9100");
    const QStringList lines{"Attempting to establish a connection with the printer at " + at,
                            "Error while connecting to the printer " + at, "Error 10004: cancelled by the operator"};
    QCOMPARE(w.OutgoingLog().Lines(), lines.mid(0, 1));
    if (cancel == "escape") QTest::keyClick(w.focusWidget() ? w.focusWidget() : &w, Qt::Key_Escape);
    if (cancel == "click") QTest::mouseClick(Button(w, "CmdConnect"), Qt::LeftButton);
    if (cancel == "close") w.close();
    // At once, in the cancel's own handling.
    QCOMPARE(w.OutgoingLog().Lines(), lines);
    for (qsizetype row = 0; row < lines.size(); ++row)  // the operator's own cancel is no fault
        QCOMPARE(w.OutgoingLog().LineSeverity(row), Severity::None);
    QCOMPARE(w.Session().GetState(), PrinterSession::State::Disconnected);
    QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(address->text(), printer.Address());
    QCOMPARE(Button(w, "CmdConnect")->text(), QStringLiteral("Connect"));
    QTRY_COMPARE(w.isVisible(), cancel != "close");
    QCOMPARE(w.OutgoingLog().Lines(), lines);
}

void WindowTest::logsTakeTheGrowthOfTheWindow_data() {
    // clang-format off
    // The window grows by 300 x 201 pixels: 100 of the height for each log, and one more for the incoming.
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QRect>("growth");  // x and y moved by, width and height grown by
    QTest::newRow("TxtCmd stays") << "TxtCmd" << QRect(120, 1200, 9255, 495) << QRect();
    QTest::newRow("TxtMsg grows") << "TxtMsg" << QRect(120, 2880, 10695, 2085) << QRect(0, 0, 300, 100);
    QTest::newRow("CmdClear moves down") << "CmdClear" << QRect(4560, 5040, 1335, 495) << QRect(0, 100, 0, 0);
    QTest::newRow("InTxtMsg moves and grows") << "InTxtMsg" << QRect(120, 5640, 10695, 2535) << QRect(0, 100, 300, 101);
    QTest::newRow("PrgSend moves down and widens") << "PrgSend" << QRect(6000, 5040, 3480, 240) << QRect(0, 100, 300, 0);
    QTest::newRow("CmdStop moves down and right") << "CmdStop" << QRect(9600, 5040, 1215, 495) << QRect(300, 100, 0, 0);
    // clang-format on
}

void WindowTest::logsTakeTheGrowthOfTheWindow() {
    QFETCH(QString, control);
    QFETCH(QRect, twips);
    QFETCH(QRect, growth);
    frmkivo w;
    w.show();
    const QWidget* widget = w.findChild<QWidget*>(control);
    const QRect form(qRound(twips.x() / 15.0), qRound(twips.y() / 15.0), qRound(twips.width() / 15.0),
                     qRound(twips.height() / 15.0));
    w.resize(731 + 300, 552 + 201);
    QTRY_COMPARE(widget->geometry(), QRect(form.topLeft() + growth.topLeft(), form.size() + growth.size()));
    w.resize(200, 200);  // less than the form: the form's size
    QTRY_COMPARE(w.size(), QSize(731, 552));
    QCOMPARE(widget->geometry(), form);
}

void WindowTest::progressBarSaysWhatThePrinterDoes_data() {
    // clang-format off
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("reading");   // the printer reads 20 KB/s, or nothing
    QTest::addColumn<QString>("shows");  // the bar's text, all of it
    QTest::newRow("the form's width: the short text, one percent sign") << 731 << true
        << "^[0-9]+ % of 40,960 bytes taken[^%]*$";
    QTest::newRow("1,590 wide: the printer's pace and the time left")
        << 1590 << true << "^[0-9,]+ of 40,960 bytes taken, [0-9.]+ [KM]?B/s, [0-9]+ s left$";
    QTest::newRow("a printer that takes nothing says so") << 1590 << false
        << "^[0-9,]+ of 40,960 bytes taken, nothing taken for [3-9] s$";
    // clang-format on
}

void WindowTest::progressBarSaysWhatThePrinterDoes() {
    QFETCH(int, width);
    QFETCH(bool, reading);
    QFETCH(QString, shows);
    QTemporaryDir dir;
    const QString path = kivo::test::WrittenFile(dir, QStringLiteral("long.txt"), kivo::test::PatternBytes(40960));
    LoopbackPrinter printer(9100);
    frmkivo w;
    w.resize(width, 552);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    if (reading)
        printer.ReadSlowly(1024, 50);
    else
        printer.SetReading(false);
    DialogAnswer answer(w, path);
    Button(w, "CmdFile")->click();
    auto* bar = w.findChild<QProgressBar*>("PrgSend");
    QCOMPARE(bar->width(), 232 + width - 731);
    const QRegularExpression expected(shows);
    QTRY_VERIFY2_WITH_TIMEOUT(expected.match(bar->text()).hasMatch(), qPrintable(bar->text()), 10000);
    QVERIFY(bar->isVisible() && Button(w, "CmdStop")->isVisible());
    if (width > 731) QCOMPARE(bar->text(), bar->toolTip());  // whole
}

void WindowTest::commandHistorySteps_data() {
    // clang-format off
    // Commands sent, oldest first; keys U(p), D(own) or S:text (a send); what each
    // key shows ("-": nothing changes). The box holds "draft" before the first key.
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("nothing sent") << QStringList{} << Steps("U D") << Steps("- -");
    QTest::newRow("up to the oldest, down to the draft") << Steps("a b") << Steps("U U U D D D")
                                                         << Steps("b a - b draft -");
    QTest::newRow("no immediate duplicates") << Steps("a b b a") << Steps("U U U U") << Steps("a b a -");
    QTest::newRow("a send starts from the newest") << Steps("a b") << Steps("U U S:c U") << Steps("b a - c");
    QStringList sent, ups(kCommandsKept + 1, "U"), shown;
    for (int i = 1; i <= kCommandsKept + 5; ++i) sent << QString::number(i);
    for (int i = kCommandsKept + 5; i > 5; --i) shown << QString::number(i);
    QTest::newRow("the last fifty") << sent << ups << shown + QStringList{"-"};
    // clang-format on
}

void WindowTest::commandHistorySteps() {
    QFETCH(QStringList, sent);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, shown);
    CommandHistory history;
    for (const QString& command : sent) history.Add(command);
    QString box = QStringLiteral("draft");
    QStringList seen;
    for (const QString& key : keys) {
        if (key.startsWith("S:")) history.Add(key.mid(2));
        const std::optional<QString> text = key == "U"   ? history.Older(box)
                                            : key == "D" ? history.Newer()
                                                         : std::nullopt;
        seen << text.value_or(QStringLiteral("-"));
        box = text.value_or(box);
    }
    QCOMPARE(seen, shown);
}

void WindowTest::keyboardAndSettingsAcrossRuns() {
    LoopbackPrinter printer(9100);
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("ticket.txt"));
    QVERIFY(kivo::test::WriteFile(file, QByteArray("T")));
    {
        frmkivo w;
        w.show();
        Field(w, "IP_Address")->setText(printer.Address());
        QTest::keyClick(Field(w, "IP_Address"), Qt::Key_Return);  // Connect
        QTRY_VERIFY(w.Connected());
        QTest::keyClick(Field(w, "TxtCount"), Qt::Key_3);  // "13", typed
        QTest::keyClicks(Field(w, "TxtCmd"), "<p>");
        QTest::keyClick(Field(w, "TxtCmd"), Qt::Key_Enter);  // Send Text
        QTRY_COMPARE(printer.Received(), QByteArray("<p>"));
        DialogAnswer answer(w, file);
        Button(w, "CmdFile")->click();
        // What is refused, or sends nothing, is not remembered: a count that is
        // no number, a count of none (its line says so), a byte value out of range.
        Field(w, "TxtCmd")->setText("27 300");
        Button(w, "CmdAscii")->click();
        Field(w, "TxtCount")->setText("abc");
        Button(w, "CmdFile")->click();
        Field(w, "TxtCount")->setText("0");
        Button(w, "CmdFile")->click();
        QTRY_VERIFY(!w.Session().Busy());
        const QStringList lines = w.OutgoingLog().Lines();
        QVERIFY2(lines.contains("Nothing sent: # of Copies \"abc\" is not a number from -32768 to 32767"),
                 qPrintable(lines.join('\n')));
        const qsizetype none =
            lines.indexOf("Sending 0 copies of file " + file + " to IP Address " + printer.Address());
        QCOMPARE(lines.value(none + 1), QStringLiteral("Nothing sent: no copies asked for (# of Copies 0)"));
        w.resize(900, 700);
        QTRY_COMPARE(w.size(), QSize(900, 700));
    }
    frmkivo w;
    QCOMPARE(Field(w, "IP_Address")->text(), printer.Address());
    QCOMPARE(Field(w, "IP_Address")->completer()->model()->index(0, 0).data().toString(), printer.Address());
    QCOMPARE(Field(w, "TxtCount")->text(), QStringLiteral("13"));  // the last count used
    QCOMPARE(w.size(), QSize(900, 700));
    QVERIFY(ConnectWindow(w, printer));
    QTest::keyClicks(Field(w, "TxtCmd"), "x");
    QTest::keyClick(Field(w, "TxtCmd"), Qt::Key_Up);
    QCOMPARE(Field(w, "TxtCmd")->text(), QStringLiteral("<p>"));  // the last command sent
    QTest::keyClick(Field(w, "TxtCmd"), Qt::Key_Down);
    QCOMPARE(Field(w, "TxtCmd")->text(), QStringLiteral("x"));
    DialogAnswer answer(w, QStringList{});
    Button(w, "CmdFile")->click();
    QCOMPARE(answer.initDir, QDir(folder.path()).absolutePath());
    Button(w, "CmdPcxFile")->click();  // each button has a folder of its own
    QCOMPARE(answer.initDir, platform::ProgramFolder());
}

void WindowTest::settingsStoreIgnoresWhatItCannotRead_data() {
    // clang-format off
    QTest::addColumn<QByteArray>("damage");  // "/": a folder in the file's place
    QTest::addColumn<QString>("problem");
    QTest::newRow("sound") << QByteArray() << "";
    QTest::newRow("damaged") << QByteArray("no key here\n\x01\xff") << "The settings in %1 are damaged and were ignored";
    QTest::newRow("unreadable") << QByteArray("/") << "The settings in %1 cannot be read and were ignored";
    // clang-format on
}

void WindowTest::settingsStoreIgnoresWhatItCannotRead() {
    QFETCH(QByteArray, damage);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("store.conf"));
    {
        OperatorSettings store(path);
        for (int i = 0; i <= kAddressesKept; ++i) store.RememberAddress(QString::number(i));
        store.RememberAddress(QStringLiteral("5"));  // again: to the front
        store.RememberCommands({"<p>", "27 64"});
        QVERIFY(store.Sync());
    }
    if (damage == "/") QVERIFY(QFile::remove(path) && QDir().mkdir(path));
    if (!damage.isEmpty() && damage != "/") QVERIFY(kivo::test::WriteFile(path, damage));
    const OperatorSettings store(path);
    QCOMPARE(store.Problem(), problem.isEmpty() ? QString() : problem.arg(path));
    const bool sound = damage.isEmpty();
    QCOMPARE(store.RecentAddresses(), sound ? Steps("5 10 9 8 7 6 4 3 2 1") : QStringList{});
    QCOMPARE(store.LastAddress(), sound ? QStringLiteral("5") : QString());
    QCOMPARE(store.Commands(), sound ? (QStringList{"<p>", "27 64"}) : QStringList{});
    if (damage.size() < 2) return;
    // The window says so and starts as on the first day.
    QVERIFY(kivo::test::WriteFile(kivo::test::SettingsFile(), damage));
    frmkivo w;
    QCOMPARE(w.OutgoingLog().Lines(), QStringList{problem.arg(kivo::test::SettingsFile())});
    QCOMPARE(Field(w, "IP_Address")->text(), QStringLiteral("10.0.0.192"));
}

void WindowTest::shutDownClosesOnlyAnOpenSocket() {
    LoopbackPrinter printer(9100);
    {
        frmkivo w;
        QVERIFY(ConnectWindow(w, printer));
        printer.Send(QByteArray("x"));
    }  // shut-down while connected closes the socket
    QTRY_VERIFY(!printer.HasClient() || printer.Connections() == 1);
    {
        frmkivo w;
        QVERIFY(ConnectWindow(w, printer));
        Button(w, "CmdConnect")->click();
        w.Form_Unload();  // after Disconnect: nothing left to close
        QCOMPARE(w.PrinterSocketHandle(), -1);
    }
}

void WindowTest::clearEmptiesBothLogs() {
    frmkivo w;
    w.LogMessage(LogKind::Outgoing, "out");
    w.LogMessage(LogKind::Incoming, "in");
    Button(w, "CmdClear")->click();
    QCOMPARE(w.OutgoingLog().Count(), 0);
    QCOMPARE(w.IncomingLog().Count(), 0);
}

void WindowTest::logKeysMoveTheSelectionAndCopy() {
    frmkivo w;
    for (int i = 0; i < 100; ++i) w.LogMessage(LogKind::Incoming, QStringLiteral("reply %1").arg(i));
    LogView* view = Log(w, "InTxtMsg");
    QTest::keyClick(view, Qt::Key_Home);
    QCOMPARE(view->CurrentRow(), 0);
    QVERIFY(view->IsRowVisible(0));
    QTest::keyClick(view, Qt::Key_Down);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("reply 1"));
    QTest::keyClick(view, Qt::Key_End);
    QCOMPARE(view->CurrentRow(), 99);
    QVERIFY(view->IsRowVisible(99) && !view->IsRowVisible(0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(5, view->RowHeight() / 2));
    QCOMPARE(view->CurrentRow(), view->FirstRow());
    QVERIFY(view->FirstRow() > 0);
    // The scroll bar catches up on the next turn, and dragging it moves the rows.
    QTRY_COMPARE(view->verticalScrollBar()->value(), view->FirstRow());
    view->verticalScrollBar()->setValue(0);
    QVERIFY(view->IsRowVisible(0));
}

void WindowTest::scrollBarShowsWhenLinesDoNotFit_data() {
    // clang-format off
    QTest::addColumn<QString>("log");
    QTest::newRow("outgoing") << "TxtMsg";
    QTest::newRow("incoming") << "InTxtMsg";
    // clang-format on
}

void WindowTest::scrollBarShowsWhenLinesDoNotFit() {
    QFETCH(QString, log);
    frmkivo w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* view = w.findChild<LogView*>(log);
    QVERIFY(view);
    QScrollBar* bar = view->verticalScrollBar();
    const int fit = view->viewport()->height() / view->RowHeight();
    const LogKind kind = log == QLatin1String("TxtMsg") ? LogKind::Outgoing : LogKind::Incoming;
    const auto fill = [&](int lines) {
        MenuAction(view, "Clear This Log")->trigger();
        w.LogLines(kind, QStringList(lines, QStringLiteral("Ticket ACK")));
    };
    fill(fit + 1);
    QTRY_VERIFY(bar->isVisible());
    QCOMPARE(bar->maximum(), 1);
    QCOMPARE(bar->value(), 1);  // following the newest line
    fill(fit);
    QTRY_VERIFY(!bar->isVisible());
    QCOMPARE(bar->maximum(), 0);
    fill(32767);
    QTRY_VERIFY(bar->isVisible());
    QCOMPARE(bar->maximum(), 32767 - fit);
    Button(w, "CmdClear")->click();
    QTRY_VERIFY(!bar->isVisible());
}

void WindowTest::followsTheNewestLineUntilTheOperatorLooksElsewhere() {
    frmkivo w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* view = w.findChild<LogView*>("InTxtMsg");
    for (int i = 0; i < 100; ++i) w.LogMessage(LogKind::Incoming, QStringLiteral("reply %1").arg(i));
    ClickRow(view, view->FirstRow() + 1);  // a line before the newest
    const int picked = view->CurrentRow();
    const int top = view->FirstRow();
    w.LogMessage(LogKind::Incoming, "reply 100");
    QVERIFY(view->Selection().IsOnly(picked));
    QCOMPARE(view->FirstRow(), top);

    QTest::keyClick(view, Qt::Key_End);  // back at the newest line, the view follows again
    w.LogMessage(LogKind::Incoming, "reply 101");
    QCOMPARE(view->CurrentRow(), 101);
    QVERIFY(view->IsRowVisible(101));

    // The wheel away from the newest line lets the operator read back.
    QScrollBar* bar = view->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
    const QPointF at(10, 10);
    QWheelEvent wheel(at, view->viewport()->mapToGlobal(at), {}, QPoint(0, 360), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(view->viewport(), &wheel);
    QVERIFY(!view->IsRowVisible(101));
    const int readingAt = view->FirstRow();
    w.LogMessage(LogKind::Incoming, "reply 102");
    QCOMPARE(view->FirstRow(), readingAt);
}

void WindowTest::selectedLinesAreCopiedInOrder_data() {
    // clang-format off
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<bool>("times");
    const auto withAndWithoutTimes = [](const char* name, const QStringList& steps, const QList<int>& rows) {
        QTest::newRow(name) << steps << rows << false;
        QTest::newRow(QByteArray(name).append(", with times").constData()) << steps << rows << true;
    };
    withAndWithoutTimes("click, then Shift-click", {"click 2", "shift 5"}, {2, 3, 4, 5});
    withAndWithoutTimes("Ctrl-click adds and takes away", {"click 1", "shift 3", "ctrl 2", "ctrl 6"}, {1, 3, 6});
    withAndWithoutTimes("Shift+Down", {"click 4", "shift-down", "shift-down"}, {4, 5, 6});
    withAndWithoutTimes("Ctrl+A", {"click 3", "ctrl-a"}, {0, 1, 2, 3, 4, 5, 6, 7});
    // clang-format on
}

void WindowTest::selectedLinesAreCopiedInOrder() {
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, rows);
    QFETCH(bool, times);
    frmkivo w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (int i = 0; i < 8; ++i) w.LogMessage(LogKind::Incoming, QStringLiteral("reply %1").arg(i));
    auto* view = w.findChild<LogView*>("InTxtMsg");
    MenuAction(view, "Show Times")->setChecked(times);
    // Both logs show the times or neither, and the next run remembers it.
    QCOMPARE(w.findChild<LogView*>("TxtMsg")->ShowTimes(), times);
    QCOMPARE(frmkivo().findChild<LogView*>("TxtMsg")->ShowTimes(), times);
    for (const QString& step : steps) SelectStep(view, step);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QStringList expected;
    for (int row : rows) {
        const QString time = QDateTime::fromMSecsSinceEpoch(w.IncomingLog().LineTime(row)).toString("HH:mm:ss.zzz");
        expected << (times ? time + QLatin1Char('\t') : QString()) + QStringLiteral("reply %1").arg(row);
    }
    QCOMPARE(QGuiApplication::clipboard()->text(), expected.join(QLatin1Char('\n')));
}

void WindowTest::saveAsWritesTheLogOrSaysWhyNot() {
    frmkivo w;
    w.LogMessage(LogKind::Incoming, "Ticket ACK");
    auto* view = w.findChild<LogView*>("InTxtMsg");
    QString path;  // what the operator chooses; "" for a cancel
    QString offered;
    view->SetSaveChooser([&](QWidget*, const QString& suggested) {
        offered = suggested;
        return path;
    });
    QTemporaryDir dir;
    path = dir.filePath("log.txt");
    MenuAction(view, "Save As...")->trigger();
    QVERIFY(QFileInfo(path).isFile());
    QVERIFY(QFileInfo(offered).fileName().startsWith("kivo-incoming-log-"));
    path = dir.filePath("missing/log.txt");
    MenuAction(view, "Save As...")->trigger();
    const LogModel& out = w.OutgoingLog();
    QCOMPARE(out.Count(), 1);
    QVERIFY(out.Line(0).startsWith("Cannot save the log to " + path + ": "));
    QCOMPARE(out.LineSeverity(0), Severity::Fault);
    path.clear();
    MenuAction(view, "Save As...")->trigger();
    QCOMPARE(out.Count(), 1);  // a cancel says nothing
}

void WindowTest::saveAsOpensWhereTheLastLogWasSaved() {
    QTemporaryDir dir;
    {
        frmkivo w;
        DialogAnswer answer(w, QStringList{});
        answer.savePaths = QStringList{dir.filePath("out.txt")};
        MenuAction(Log(w, "TxtMsg"), "Save As...")->trigger();
        QVERIFY(QFileInfo::exists(dir.filePath("out.txt")));
        QCOMPARE(QFileInfo(answer.saveSuggested).absolutePath(), QDir::homePath());  // nothing saved before
        MenuAction(Log(w, "InTxtMsg"), "Save As...")->trigger();                     // a cancel
        QCOMPARE(QFileInfo(answer.saveSuggested).absolutePath(), QDir(dir.path()).absolutePath());
        QVERIFY(QFileInfo(answer.saveSuggested).fileName().startsWith("kivo-incoming-log-"));
    }
    frmkivo w;  // and in the next run
    DialogAnswer answer(w, QStringList{});
    MenuAction(Log(w, "TxtMsg"), "Save As...")->trigger();
    QCOMPARE(QFileInfo(answer.saveSuggested).absolutePath(), QDir(dir.path()).absolutePath());
}

void WindowTest::printerStatusesShowInColourAndTally() {
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    auto* tally = w.findChild<QLabel*>("StatusTally");
    QVERIFY(tally);
    printer.Send(QByteArray("Ticket ACK\x06\x06\x18\x16\x80"));  // the text is no status; the bytes are
    QTRY_COMPARE(tally->text(), QString::fromUtf8("ACK 2 \u00B7 Ribbon Low 1 \u00B7 Jam 1"));
    w.LogMessage(LogKind::Incoming,
                 "Reply from 127.0.0.1: bytes=35 time<1ms TTL=64");  // ping's line, not the printer's
    const LogModel& in = w.IncomingLog();
    QCOMPARE(in.Lines(), (QStringList{"Ticket ACK", "Ticket ACK", "Ticket ACK", "Ticket Jam", "Ribbon Low",
                                      "Byte 0x80 (128)", "Reply from 127.0.0.1: bytes=35 time<1ms TTL=64"}));
    QCOMPARE(in.LineSeverity(0), Severity::None);  // the printer's text, not its status
    QCOMPARE(in.LineSeverity(3), Severity::Fault);
    QCOMPARE(in.LineSeverity(4), Severity::Warning);
    QVERIFY(LineToolTip(in, 0).endsWith("\nBytes: 54 69 63 6B 65 74 20 41 43 4B"));
    QVERIFY(LineToolTip(in, 5).endsWith("\nBytes: 80"));
    QVERIFY(!LineToolTip(in, 6).contains("Bytes"));
    // A fault's text is drawn red, in both logs; a warning's and a plain line's are not.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    LogView* inView = Log(w, "InTxtMsg");
    QVERIFY(inView->IsRowVisible(0) && inView->IsRowVisible(4));
    QVERIFY(RedTextPixels(inView, 3) > 0);
    QCOMPARE(RedTextPixels(inView, 4), 0);
    QCOMPARE(RedTextPixels(inView, 0), 0);
    w.LogMessage(LogKind::Outgoing, "Lost connection with printer", Severity::Fault);
    w.LogMessage(LogKind::Outgoing, "Connection made to 127.0.0.1 on port 9100");  // the newest line, selected
    LogView* outView = Log(w, "TxtMsg");
    const int lost = static_cast<int>(w.OutgoingLog().Count()) - 2;
    QVERIFY(outView->IsRowVisible(lost));
    QVERIFY(RedTextPixels(outView, lost) > 0);

    Button(w, "CmdClear")->click();
    QCOMPARE(tally->text(), QString());
    printer.Send(QByteArray("\x15"));
    QTRY_COMPARE(tally->text(), QStringLiteral("NAK 1"));
    Button(w, "CmdConnect")->click();  // Disconnect
    QVERIFY(ConnectWindow(w, printer));
    QCOMPARE(tally->text(), QString());  // counted from each Connect
}

void WindowTest::statusTallyIsClearOfEveryControl_data() {
    // clang-format off
    QTest::addColumn<QSize>("size");
    QTest::newRow("the form's width") << QSize(731, 552);
    QTest::newRow("900 wide") << QSize(900, 600);
    QTest::newRow("1400 wide") << QSize(1400, 900);
    // clang-format on
}

void WindowTest::statusTallyIsClearOfEveryControl() {
    QFETCH(QSize, size);
    frmkivo w;
    w.resize(size);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* tally = w.findChild<QLabel*>("StatusTally");
    QVERIFY(tally);
    // Every status the printer has, several times over.
    w.LogReply(DecodeReplyLines(QByteArray("\x06\x15\x10\x16\x17\x18\x19\x1a\x1c").repeated(12)));
    const QString whole = QString::fromUtf8("ACK 12 \u00B7 NAK 12 \u00B7 Out of Tickets 12");
    QVERIFY2(tally->toolTip().contains(whole), qPrintable(tally->toolTip()));
    // Shown whole, or cut at the right where it does not fit.
    const QString shown = tally->text();
    QVERIFY2(shown.startsWith(QStringLiteral("ACK 12")), qPrintable(shown));
    QVERIFY(tally->fontMetrics().horizontalAdvance(shown) <= tally->contentsRect().width());
    QVERIFY(w.rect().contains(tally->geometry()));
    for (QWidget* control : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (control == tally || control->objectName().isEmpty()) continue;
        QVERIFY2(!control->geometry().intersects(tally->geometry()),
                 qPrintable(control->objectName() + " overlaps the tally"));
    }
}

void WindowTest::screenReaderReadsTheLogsAndNamesEveryControl() {
    frmkivo w;
    for (QWidget* control : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (control->objectName().isEmpty()) continue;
        QAccessibleInterface* read = QAccessible::queryAccessibleInterface(control);
        QVERIFY2(read && !read->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(control->objectName()));
    }
    w.LogMessage(LogKind::Incoming, "first");
    w.LogReply(DecodeReplyLines("OK\x06"));
    QAccessibleInterface* log = QAccessible::queryAccessibleInterface(Log(w, "InTxtMsg"));
    QVERIFY(log);
    QCOMPARE(log->role(), QAccessible::List);
    QCOMPARE(log->text(QAccessible::Name), QStringLiteral("Incoming Printer Data and Messages"));
    QCOMPARE(log->childCount(), 3);
    QStringList lines;
    for (int i = 0; i < log->childCount(); ++i) {
        QAccessibleInterface* line = log->child(i);
        QCOMPARE(line->role(), QAccessible::ListItem);
        QCOMPARE(log->indexOfChild(line), i);
        QCOMPARE(line->state().selected, i == 2);  // the newest line, as on the screen
        lines << line->text(QAccessible::Name);
    }
    QCOMPARE(lines, (QStringList{"first", "OK", "Ticket ACK"}));
    Log(w, "InTxtMsg")->SetCurrentRow(0);
    QVERIFY(log->child(0)->state().selected && !log->child(2)->state().selected);
    QCOMPARE(log->child(3), nullptr);

    // Scrolled back, the line under the middle of the log is the one shown there.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    LogView* view = Log(w, "InTxtMsg");
    for (int i = 3; i < 200; ++i) w.LogMessage(LogKind::Incoming, QStringLiteral("reply %1").arg(i));
    QTRY_COMPARE(view->verticalScrollBar()->maximum(), 200 - view->viewport()->height() / view->RowHeight());
    view->verticalScrollBar()->setValue(50);
    const QPoint centre = view->viewport()->mapToGlobal(view->viewport()->rect().center());
    QAccessibleInterface* shown = log->childAt(centre.x(), centre.y());
    QVERIFY(shown);
    QCOMPARE(shown->text(QAccessible::Name),
             QStringLiteral("reply %1").arg(50 + view->viewport()->rect().center().y() / view->RowHeight()));
    QVERIFY(shown->rect().contains(centre));
    QVERIFY(!shown->state().offscreen);
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
