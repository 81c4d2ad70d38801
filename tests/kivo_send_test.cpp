// kivo-send, the executable, against printers on loopback: every command of the
// command table with the same bytes and lines as the window's buttons, its exit
// statuses, a slow printer that gets every byte, one that stops reading, JSON
// that says what the text says, and manuals that name every button and option.
#include "console/frmkivo.h"
#include "emulator/tests/pcx_samples.h"
#include "link/commands.h"
#include "pcx/pcx_download.h"
#include "pcx/pcx_image.h"
#include "tests/support/window_support.h"

#include <QBuffer>
#include <QFile>
#include <QImage>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <optional>

#include <signal.h>
#include <sys/prctl.h>

using namespace kivo;
using kivo::test::Button;
using kivo::test::ConnectWindow;
using kivo::test::DialogAnswer;
using kivo::test::Field;
using kivo::test::Hex;
using kivo::test::LoopbackPrinter;
using kivo::test::OnceReceived;
using kivo::test::PatternBytes;
using kivo::test::SendMarker;
using kivo::test::WrittenFile;

namespace {

using Finished = kivo::test::ChildRun;

// Runs kivo-send with the event loop turning, so printers in this process answer.
// It runs with no display and no Qt platform named, as on a production line.
// A `wrapper` command, when given, runs it (or, with `program`, another).
Finished RunKivoSend(const QStringList& arguments, int timeoutMs = 30000, QStringList wrapper = {},
                     const QString& program = QStringLiteral(KIVO_SEND_PATH)) {
    wrapper << program << arguments;
    const QString first = wrapper.takeFirst();
    return kivo::test::RunChild(first, wrapper, timeoutMs);
}

QStringList To(const LoopbackPrinter& printer, QStringList arguments) {
    return arguments << QStringLiteral("--port") << QString::number(printer.Port()) << printer.Address();
}

// Answers `answer` once, on the first bytes the printer receives.
void AnswerOnce(LoopbackPrinter& printer, const QByteArray& answer) {
    if (answer.isEmpty()) return;
    auto answered = std::make_shared<bool>(false);
    QObject::connect(&printer, &LoopbackPrinter::bytesReceived, &printer, [&printer, answer, answered] {
        if (std::exchange(*answered, true)) return;
        printer.Send(answer);
    });
}

#ifdef KIVO_EMULATOR_PATH
// The printer emulator on a free port of 127.0.0.1, with `options`; its port,
// or "" when it did not start. It ends with `emulator`, or with this program.
QString StartEmulator(QProcess& emulator, const QStringList& options) {
    emulator.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    emulator.start(QStringLiteral(KIVO_EMULATOR_PATH), QStringList{"--listen", "127.0.0.1:0"} + options);
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QString out;
    while (emulator.waitForReadyRead(10000)) {
        out += QString::fromLatin1(emulator.readAllStandardOutput());
        if (const auto match = listening.match(out); match.hasMatch()) return match.captured(1);
    }
    return {};
}
#endif

// A monochrome PCX of a small striped picture.
QByteArray MonochromePcx() {
    MonoBitmap bitmap;
    bitmap.width = 20;
    bitmap.height = 4;
    bitmap.bytesPerLine = 4;
    bitmap.bits = QByteArray(16, '\x0F');
    return EncodeMonochromePcx(bitmap);
}

// A picture that is not a monochrome PCX: a PNG, or a PCX of 24-bit colour
// (3 planes of 8 bits, as ImageMagick writes one).
QByteArray PngPicture() {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    pcx_samples::Picture(24, 6).save(&buffer, "PNG");
    return bytes;
}

QByteArray ColourPcx() {
    const QImage picture = pcx_samples::Picture(24, 6);
    QByteArray file = pcx_samples::Header(picture.width(), picture.height(), picture.width());
    file[3] = 8, file[65] = 3;
    for (int y = 0; y < picture.height(); ++y)
        for (int plane = 0; plane < 3; ++plane) {
            QByteArray line(picture.width(), '\0');
            for (int x = 0; x < picture.width(); ++x) line[x] = char(picture.pixel(x, y) >> (16 - 8 * plane));
            file += pcx_samples::Rle(line, false);
        }
    return file;
}

// The lines a command wrote to the outgoing log, with the printer's address
// as "ADDRESS": those after the connect, without the timed Done lines.
QStringList CommandLines(QStringList lines, const QString& address) {
    const qsizetype connected = lines.indexOf(QRegularExpression(QStringLiteral("Connection made to .*")));
    lines = lines.mid(connected + 1);
    lines.removeIf([](const QString& line) { return line.startsWith(QLatin1String("Done: ")); });
    lines.replaceInStrings(address, QStringLiteral("ADDRESS"));
    return lines;
}

// A manual's roff source, with "\-" read as the dash it prints.
QString Manual(const char* program) {
    QFile file(QStringLiteral(KIVO_MANUAL_DIR "/%1.1.in").arg(QLatin1String(program)));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).replace(QStringLiteral("\\-"), QStringLiteral("-"));
}

// Whether the manual has a bold line (a heading or a term) naming `what`.
bool NamesInBold(const QString& manual, const QString& what) {
    const QRegularExpression line(
        QStringLiteral("^\\.B[IR]? (.* )?\"?%1\"?( |$)").arg(QRegularExpression::escape(what)),
        QRegularExpression::MultilineOption);
    return line.match(manual).hasMatch();
}

// The reply lines of the text output, without their times.
QStringList ReplyLines(const QString& out) {
    QStringList lines;
    static const QRegularExpression timed(QStringLiteral("^ *\\d+\\.\\d{3}  (.*)$"));
    for (const QString& line : out.split(QLatin1Char('\n')))
        if (const auto match = timed.match(line); match.hasMatch()) lines << match.captured(1);
    return lines;
}

}  // namespace

class KivoSendTest : public QObject {
    Q_OBJECT
private slots:
    void sendsTheBytesOfTheWindowsButtons_data();
    void sendsTheBytesOfTheWindowsButtons();
    void exitStatusSaysHowItWent_data();
    void exitStatusSaysHowItWent();
    void slowPrinterGetsEveryByteBeforeTheClose();
    void printerThatGoesAwayGetsTrueCounts_data();
    void printerThatGoesAwayGetsTrueCounts();
    void jsonSaysWhatTheTextSays();
    void manualsNameEveryButtonAndOption();
};

void KivoSendTest::sendsTheBytesOfTheWindowsButtons_data() {
    // clang-format off
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QByteArray>("file");  // written and chosen in the file dialog
    QTest::addColumn<QStringList>("action");

    // Every command of the table, with input of the kind it takes ...
    const QByteArray none;
    const QByteArray pattern = PatternBytes(5000);  // NUL and 0x80-0xFF included
    for (const Command& c : Commands()) {
        const QString option = QString::fromLatin1(c.option);
        QString text;
        QByteArray file;
        QStringList action{option};
        switch (c.bytes) {
        case CommandBytes::TypedText: text = QStringLiteral("Caf\u00e9 \u20ac <p>"); break;
        case CommandBytes::ByteList: text = QStringLiteral("27 64,0x0C &HFF"); break;
        case CommandBytes::ChosenFile: file = pattern; break;
        case CommandBytes::PcxPlan: file = MonochromePcx(); break;
        case CommandBytes::Fixed:
        case CommandBytes::StockFile: break;
        }
        if (!text.isEmpty()) action << text;
        if (!file.isEmpty()) action << QStringLiteral("@");
        const QString count = TakesCopies(c) ? QStringLiteral("3") : QStringLiteral("1");
        if (TakesCopies(c)) action << QStringLiteral("--copies") << count;
        QTest::newRow(c.caption) << c.control << text << count << file << action;
    }
    // ... and the rules that have gone wrong before.
    QTest::newRow("file, 2.5 copies round to 2") << "CmdFile" << "" << "2.5" << pattern
                                                 << QStringList{"--file", "@", "--copies", "2.5"};
    QTest::newRow("HP test ticket, 150 copies count as 1") << "CmdHPTest" << "" << "150" << none
                                                           << QStringList{"--copies", "150", "--hp-test"};
    QTest::newRow("an empty byte list is the bell") << "CmdAscii" << "" << "1" << none << QStringList{"--bytes", ""};
    QTest::newRow("PNG, converted") << "CmdPcxFile" << "" << "1" << PngPicture() << QStringList{"--pcx", "@"};
    QTest::newRow("24-bit PCX, converted") << "CmdPcxFile" << "" << "1" << ColourPcx() << QStringList{"--pcx", "@"};
    // clang-format on
}

void KivoSendTest::sendsTheBytesOfTheWindowsButtons() {
    QFETCH(QString, button);
    QFETCH(QString, command);
    QFETCH(QString, count);
    QFETCH(QByteArray, file);
    QFETCH(QStringList, action);

    QTemporaryDir dir;
    const bool png = file.startsWith("\x89PNG");
    const QString path = file.isEmpty()
                             ? QString()
                             : WrittenFile(dir, png ? QStringLiteral("job.png") : QStringLiteral("job.pcx"), file);
    action.replaceInStrings(QRegularExpression(QStringLiteral("^@$")), path);

    // The window's button (a question about the picture gets its default, Convert) ...
    LoopbackPrinter windowPrinter(9100);
    frmkivo w;
    DialogAnswer answer(w, path);
    QVERIFY(ConnectWindow(w, windowPrinter));
    QCOMPARE(Button(w, qPrintable(button))->text(), QString::fromLatin1(CommandOfControl(button)->caption));
    Field(w, "TxtCmd")->setText(command);
    Field(w, "TxtCount")->setText(count);
    Button(w, qPrintable(button))->click();
    QTRY_VERIFY(!w.Session().Busy());  // the marker is no queued send
    const QByteArray marker = SendMarker(w);
    QTRY_VERIFY(windowPrinter.Received().endsWith(marker));
    const QByteArray bytes = windowPrinter.Received().chopped(marker.size());
    QVERIFY(!bytes.isEmpty());
    QStringList windowLines = CommandLines(w.OutgoingLog().Lines(), w.findChild<QLineEdit*>("IP_Address")->text());
    QVERIFY(!windowLines.isEmpty());
    windowLines.removeLast();  // the marker's own line

    // ... and the same action of kivo-send: the same bytes, the same lines.
    LoopbackPrinter printer;
    const Finished sent = RunKivoSend(To(printer, action << "--no-answers"));
    QVERIFY2(sent.code == 0, qPrintable(sent.err));
    QTRY_COMPARE(Hex(printer.Received()), Hex(bytes));
    QCOMPARE(CommandLines(sent.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts), printer.Address()), windowLines);
}

void KivoSendTest::exitStatusSaysHowItWent_data() {
    // clang-format off
    QTest::addColumn<QStringList>("arguments");
    // What the printer answers, once; or "ack each" (an ACK to each print
    // command), "ack N, half-close" (to the first N, then it ends its sending side
    // and reads on), "close" (mid-job), "emulator OPTIONS" (the printer emulator).
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("status");
    // Lines found in standard output (in standard error for 64); "!" before
    // one: not found.
    QTest::addColumn<QString>("says");

    const QStringList ff{"--vek-ff"};
    QTest::newRow("ACK: 0") << ff << QByteArray("\x06") << 0 << "status 0";
    QTest::newRow("18 of 20 form feeds answered: 3")
        << QStringList{"--vek-ff", "--repeat", "20", "--timeout", "2"} << QByteArray(18, '\x06') << 3
        << "status 3: timed out (2 of 20 print commands unanswered)";
    QTest::newRow("a printer that does not answer, --no-answers: 0")
        << QStringList{"--vek-ff", "--hp-test", "--no-answers"} << QByteArray() << 0 << "0 ticket answers; status 0";
    QTest::newRow("text makes no print command: 0") << QStringList{"--text", "<p>", "--quiet", "0.3"} << QByteArray()
                                                    << 0 << "status 0";
    QTest::newRow("the ACK expected: 0") << QStringList{"--vek-ff", "--expect", "1"} << QByteArray("\x06") << 0
                                         << "1 ticket answer (ACK 1)";
    QTest::newRow("Ribbon Low is no fault: 0") << ff << QByteArray("\x06\x16") << 0
                                       << "(ACK 1 \u00b7 Ribbon Low 1); warning: Ribbon Low; status 0";
    QTest::newRow("Jam: 1") << ff << QByteArray("\x18") << 1 << "(Jam 1)";
    QTest::newRow("NAK, nothing expected: 1") << ff << QByteArray("\x15") << 1 << "(NAK 1)";
    QTest::newRow("NAK where an ACK was expected: 1") << QStringList{"--vek-ff", "--expect", "1"}
                                                      << QByteArray("\x15") << 1 << "NAK 1";
    QTest::newRow("no answer to the one expected: 3")
        << QStringList{"--vek-ff", "--expect", "1", "--timeout", "1"} << QByteArray() << 3 << "status 3: timed out";
    QTest::newRow("a burn-in of three runs: 0") << QStringList{"--vek-ff", "--repeat", "3", "--interval", "0.1",
                                                               "--quiet", "0.3"}
                                                << QByteArray("ack each") << 0 << "3 runs, 9 bytes sent, 9 taken";
    QTest::newRow("20 VEK copies, a reset after 5,000 bytes: 2")
        << QStringList{"--copies", "20", "--vek-test"} << QByteArray("emulator --reset-after 5000") << 2
        << "9 ticket answers (ACK 9); status 2: not delivered (the printer reset the connection)";
    QTest::newRow("the same in JSON: the job cut short with its answers, no Done")
        << QStringList{"--copies", "20", "--vek-test", "--json"} << QByteArray("emulator --reset-after 5000") << 2
        << "Cut short: 20 copies of vek_test.txt: the printer reset the connection after acknowledging \n"
           "it answered 9 of 20 print commands (9 Ticket ACK)\n"
           "\"answers\":9,\"event\":\"job\",\"expected\":20,\"notTaken\":\n"
           "\"outcome\":\"cut\",\"planned\":10431,\n!Done: ";
    QTest::newRow("9 of 20 answered, then the printer's side closed: 2")
        << QStringList{"--copies", "20", "--vek-test"} << QByteArray("ack 9, half-close") << 2
        << "9 ticket answers (ACK 9); status 2: not delivered (the printer closed the connection)";
    QTest::newRow("never answered: 3 after the answer wait") << QStringList{"--vek-ff"}
        << QByteArray("emulator --no-answers") << 3 << "status 3: unanswered (1 of 1 print commands unanswered)";
    QTest::newRow("late answers: 0") << QStringList{"--copies", "3", "--vek-test"}
                                     << QByteArray("emulator --answer-delay 500") << 0
                                     << "3 ticket answers (ACK 3); status 0";
    QTest::newRow("a half-close, the printer reading on: 0")
        << QStringList{"--vek-ff", "--file", "@big"} << QByteArray("ack 1, half-close") << 0
        << "4,194,307 bytes sent, 4,194,307 taken; 1 ticket answer (ACK 1); status 0";
    QTest::newRow("the printer gone before the last run: 2")
        << QStringList{"--vek-ff", "--repeat", "3", "--interval", "0.5"} << QByteArray("ack 1, half-close") << 2
        << "Summary: 1 run, 3 bytes sent, 3 taken; 1 ticket answer (ACK 1); status 2: not delivered";
    QTest::newRow("a reset in the first of 3 runs: 0 runs done")
        << QStringList{"--file", "@big", "--repeat", "3"} << QByteArray("close") << 2 << "Summary: 0 runs, ";
    QTest::newRow("the same in JSON") << QStringList{"--file", "@big", "--repeat", "3", "--json"}
                                      << QByteArray("close") << 2 << "\"runs\":0,";
    QTest::newRow("each action its own copies, each sent event its own bytes")
        << QStringList{"--copies", "2", "--file", "@small", "--copies", "3", "--hp-test", "--no-answers", "--json"}
        << QByteArray() << 0
        << "\"bytes\":200,\"copies\":2,\"event\":\"sent\"\n"
           "\"action\":\"--hp-test\",\"bytes\":762,\"copies\":3,\"event\":\"sent\"";
    QTest::newRow("no copies: Nothing sent, no Done")
        << QStringList{"--copies", "0", "--file", "@small", "--quiet", "0", "--json"} << QByteArray() << 0
        << "Sending 0 copies of file \nNothing sent: no copies asked for (# of Copies 0)\n!Done: ";
    QTest::newRow("ADDRESS:PORT alone reaches that port: 0") << QStringList{"--vek-ff", "@here"} << QByteArray("\x06")
                                                             << 0 << "1 ticket answer (ACK 1); status 0";
    QTest::newRow("a printer that never answers the connect: 3")
        << QStringList{"--vek-ff", "--timeout", "1", "@silent"} << QByteArray() << 3 << "no connection within 1 s";
    QTest::newRow("printer closes mid-file: 2") << QStringList{"--file", "@big"} << QByteArray("close") << 2
                                                << "status 2";
    QTest::newRow("nothing listening: 2") << QStringList{"--vek-ff", "--port", "1", "127.0.0.1"} << QByteArray() << 2
                                          << "no connection to 127.0.0.1 on port 1, nothing sent; status 2";
    QTest::newRow("bad byte value: 64") << QStringList{"--bytes", "27 300"} << QByteArray() << 64
                                        << "\"300\" in \"27 300\" is not a byte value";
    QTest::newRow("missing file: 64") << QStringList{"--file", "/nonexistent/x.prn"} << QByteArray() << 64
                                      << "no such file";
    QTest::newRow("unknown option: 64") << QStringList{"--vek-ff", "--colour"} << QByteArray() << 64
                                        << "unknown option --colour";
    QTest::newRow("no action: 64") << QStringList{"--quiet", "1"} << QByteArray() << 64 << "no action given";
    QTest::newRow("copies no number: 64") << QStringList{"--copies", "x", "--vek-test"} << QByteArray() << 64
                                          << "--copies \"x\" is not a number";
    QTest::newRow("ADDRESS:PORT, nothing listening: 2")
        << QStringList{"--vek-ff", "--port", "1", "127.0.0.1:1"} << QByteArray() << 2
        << "no connection to 127.0.0.1 on port 1, nothing sent; status 2";
    QTest::newRow("two different ports: 64") << QStringList{"--vek-ff", "--port", "1", "127.0.0.1:2"} << QByteArray()
                                             << 64 << "two ports given";
    QTest::newRow("no port after the colon: 64") << QStringList{"--vek-ff", "--port", "1", "127.0.0.1:x"}
                                                 << QByteArray() << 64 << "No printer port in \"127.0.0.1:x\"";
    QTest::newRow("blanks around the address: 2") << QStringList{"--vek-ff", "--port", "1", " 127.0.0.1 "}
                                                  << QByteArray() << 2 << "no connection to 127.0.0.1 on port 1,";
    QTest::newRow("port 65535, refused up front: 64")
        << QStringList{"--vek-ff", "--port", "1", "127.0.0.1:65535"} << QByteArray() << 64
        << "No printer port in \"127.0.0.1:65535\": write the address as address:port, the port from 1 to 65534";
    QTest::newRow("--port 65535: 64") << QStringList{"--vek-ff", "--port", "65535", "127.0.0.1"} << QByteArray() << 64
                                      << "--port \"65535\" is no port the connect can use: give 1 to 65534";
    QTest::newRow("two ports after the address: 64")
        << QStringList{"--vek-ff", "--port", "1", "127.0.0.1:9101:9102"} << QByteArray() << 64
        << "\"127.0.0.1:9101:9102\" is no printer address";
    // --pcx-as-is converts nothing: a PCX of any depth goes unchanged, anything else is refused.
    const qsizetype colour = ColourPcx().size();
    const QString colourFrame =
        QStringLiteral("%1 bytes sent").arg(PcxDownloadHeader(colour).size() + colour + qsizetype(sizeof "<p>") - 1);
    QTest::newRow("--pcx-as-is, a 24-bit PCX unchanged: 0") << QStringList{"--pcx-as-is", "--pcx", "@colour"}
                                                            << QByteArray("\x06") << 0 << colourFrame;
    QTest::newRow("--pcx-as-is, a PNG: 64") << QStringList{"--pcx-as-is", "--pcx", "@png"} << QByteArray() << 64
                                            << "--pcx: @png is not a PCX file; nothing was sent";
    QTest::newRow("--pcx-as-is, 3,000 pixels wide: 64")
        << QStringList{"--pcx", "@wide", "--pcx-as-is"} << QByteArray() << 64
        << "--pcx: @wide is 3,000 x 1 pixels, too large for a ticket printer";
    QTest::newRow("no address: 64") << QStringList{"--vek-ff", "--port", "1", ""} << QByteArray() << 64
                                    << "no printer address";
    QTest::newRow("an address that is no address: 64") << QStringList{"--vek-ff", "--port", "1", "999.999.999.999"}
                                                        << QByteArray() << 64 << "not an IPv4 address";
    QTest::newRow("--ping, an address that is no address: 64") << QStringList{"--ping", "--port", "1", "999.1.1.1"}
                                                               << QByteArray() << 64 << "not an IPv4 address";
    QTest::newRow("--ping where no ICMP socket is allowed: 64")
        << QStringList{"--ping", "--port", "1", "127.0.0.1", "@no-icmp"} << QByteArray() << 64
        << "lets the program send no ICMP echo";
    // clang-format on
}

void KivoSendTest::exitStatusSaysHowItWent() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, answer);
    QFETCH(int, status);
    QFETCH(QString, says);

    QTemporaryDir dir;
    const QMap<QString, QByteArray> files{{"@big", PatternBytes(4 << 20)},
                                          {"@png", PngPicture()},
                                          {"@colour", ColourPcx()},
                                          {"@wide", pcx_samples::Header(3000, 1, 376) + QByteArray(376, '\0')},
                                          {"@small", PatternBytes(100)}};
    for (auto file = files.begin(); file != files.end(); ++file) {
        if (!arguments.contains(file.key())) continue;
        const QString path = WrittenFile(dir, file.key().mid(1), file.value());
        arguments.replaceInStrings(file.key(), path);
        says.replace(file.key(), path);
    }
    std::optional<kivo::test::SilentPrinter> silent;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("@silent")); at >= 0) {
        silent.emplace(0);
        QVERIFY(silent->Listening());
        arguments.removeAt(at);
        arguments << QStringLiteral("--port") << QString::number(silent->Port()) << silent->Address();
    }
    // A user and network namespace of its own, with no group allowed ICMP
    // datagram sockets and the raw-socket privilege dropped.
    QStringList wrapper;
    if (arguments.removeAll(QStringLiteral("@no-icmp"))) {
        wrapper = QStringList{"unshare", "--user",  "--map-root-user",         "--net",
                              "--",      "setpriv", "--bounding-set=-net_raw", "--"};
        const Finished probe = RunKivoSend({"/proc/sys/net/ipv4/ping_group_range"}, 30000, wrapper, "cat");
        const QStringList range = probe.out.trimmed().split(QLatin1Char('\t'));
        if (probe.code != 0 || range.size() != 2 || range[0].toLongLong() <= range[1].toLongLong())
            QSKIP(qPrintable("cannot make a namespace without ICMP (unshare, setpriv): " + probe.out + probe.err));
    }
    LoopbackPrinter printer;
    QProcess emulator;
    if (answer.startsWith("emulator")) {
#ifdef KIVO_EMULATOR_PATH
        const QString port = StartEmulator(emulator, QString::fromLatin1(answer.mid(9)).split(QLatin1Char(' ')));
        QVERIFY(!port.isEmpty());
        arguments << QStringLiteral("--port") << port << QStringLiteral("127.0.0.1");
#else
        QSKIP("the printer emulator is not built");
#endif
    } else if (answer == "close") {
        printer.UseSmallBuffers(4096);
        QObject::connect(&printer, &LoopbackPrinter::bytesReceived, &printer, [&printer] { printer.CloseMidJob(); });
    } else if (answer.startsWith("ack ")) {
        printer.AnswerPrintCommands(answer == "ack each" ? -1 : answer.mid(4).split(',').value(0).toInt(), false);
    } else {
        AnswerOnce(printer, answer);
    }
    // Rows that name their own address (the last argument with --port, or
    // ADDRESS:PORT) run as they are.
    const bool here = arguments.contains(QStringLiteral("@here"));
    arguments.replaceInStrings(QStringLiteral("@here"), printer.Address() + ':' + QString::number(printer.Port()));
    const bool ownAddress = here || arguments.contains(QStringLiteral("--port"));
    const Finished run = RunKivoSend(ownAddress ? arguments : To(printer, arguments), 30000, wrapper);
    if (emulator.state() != QProcess::NotRunning) {
        emulator.terminate();
        emulator.waitForFinished();
    }
    QCOMPARE(run.code, status);
    for (const QString& line : says.split(QLatin1Char('\n'))) {
        const bool absent = line.startsWith(QLatin1Char('!'));
        QVERIFY2((status == 64 ? run.err : run.out).contains(absent ? line.mid(1) : line) != absent,
                 qPrintable(line + QStringLiteral(" in\n") + run.out + run.err));
    }
    if (status != 64) return;
    QCOMPARE(printer.Connections(), 0);
    // A usage error found in the arguments is one line and the way to the help,
    // with no phrase twice (an address that does not resolve is found later).
    if (!run.out.isEmpty()) return;
    const QStringList lines = run.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1], QStringLiteral("Try 'kivo-send --help'."));
    QVERIFY2(lines[0].count(QStringLiteral("othing")) == 1, qPrintable(lines[0]));
}

void KivoSendTest::slowPrinterGetsEveryByteBeforeTheClose() {
    // 100 KB to a printer reading 40 KB/s through small buffers: most of the file
    // is still on its way when the last byte has been handed to the system.
    const QByteArray file = PatternBytes(100 * 1024);
    QTemporaryDir dir;
    LoopbackPrinter printer;
    printer.UseSmallBuffers(4096);
    printer.ReadSlowly(2048, 50);
    const Finished run = RunKivoSend(
        To(printer, {"--file", WrittenFile(dir, QStringLiteral("slow.bin"), file), "--quiet", "0"}), 120000);
    QVERIFY2(run.code == 0, qPrintable(run.out + run.err));
    // At the exit the printer has taken all but what its own small buffer holds ...
    QVERIFY2(printer.Received().size() >= file.size() - 24 * 1024,
             qPrintable(QString::number(printer.Received().size())));
    QVERIFY(run.out.contains(QStringLiteral("102,400 bytes sent, 102,400 taken")));
    // ... and the end of the stream comes after the last byte, never a reset.
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), file.size(), 10000);
    QVERIFY(printer.Received() == file);
}

void KivoSendTest::printerThatGoesAwayGetsTrueCounts_data() {
    // clang-format off
    QTest::addColumn<QString>("how");
    QTest::newRow("stops reading") << "stall";
    QTest::newRow("resets after 50 KB") << "reset";
    QTest::newRow("closes after 50 KB") << "close";
    // clang-format on
}

// A printer that stops reading, resets or closes in the middle of a file: status
// 2, never a Done line, and the same true counts in text and in JSON: what the
// printer acknowledged is at least what it read and at most that and its small
// buffer, and the file's bytes = taken + not taken, those never handed to the
// system among them.
void KivoSendTest::printerThatGoesAwayGetsTrueCounts() {
    QFETCH(QString, how);
    QTemporaryDir dir;
    const QString path = WrittenFile(dir, QStringLiteral("big.bin"), PatternBytes(1 << 20));
    for (const bool json : {false, true}) {
        LoopbackPrinter printer;
        printer.UseSmallBuffers(4096);
        if (how == "stall") printer.SetReading(false);
        if (how == "reset") OnceReceived(printer, 50 * 1024, [&printer] { printer.Reset(); });
        if (how == "close") OnceReceived(printer, 50 * 1024, [&printer] { printer.CloseMidJob(); });
        QStringList arguments{"--file", path, "--stall", "1", "--no-answers"};
        if (json) arguments << "--json";
        const Finished run = RunKivoSend(To(printer, arguments));
        QCOMPARE(run.code, 2);
        qint64 sent = -1, taken = -1, notTaken = -1;
        if (json) {
            QVERIFY2(!run.out.contains(QStringLiteral("\"Done: ")), qPrintable(run.out));
            const QString last = run.out.trimmed().section(QLatin1Char('\n'), -1);
            const QJsonObject done = QJsonDocument::fromJson(last.toUtf8()).object();
            QVERIFY2(done["event"] == QStringLiteral("done") && done.contains("notTaken"), qPrintable(last));
            sent = done["sent"].toInteger(), taken = done["taken"].toInteger(), notTaken = done["notTaken"].toInteger();
            QCOMPARE(done["planned"].toInteger(), qint64(1) << 20);
        } else {
            QVERIFY2(!run.err.contains(QStringLiteral("Done: ")), qPrintable(run.err));
            static const QRegularExpression summary(
                QStringLiteral("([\\d,]+) bytes sent, ([\\d,]+) taken, ([\\d,]+) not taken"));
            const auto match = summary.match(run.out);
            QVERIFY2(match.hasMatch(), qPrintable(run.out));
            const QLocale english(QLocale::English);
            sent = english.toLongLong(match.captured(1)), taken = english.toLongLong(match.captured(2)),
            notTaken = english.toLongLong(match.captured(3));
        }
        if (how == "stall" && !json)
            QVERIFY2(run.err.contains(QStringLiteral("not delivered: the printer took nothing for 1 s")),
                     qPrintable(run.err));
        const qint64 read = printer.Received().size();
        QVERIFY2(notTaken > 0 && taken <= sent && sent < (1 << 20) && taken + notTaken == (1 << 20),
                 qPrintable(QStringLiteral("%1 sent, %2 taken, %3 not taken").arg(sent).arg(taken).arg(notTaken)));
        if (how != "stall")
            QVERIFY2(taken >= read && taken <= read + 16 * 1024,
                     qPrintable(QStringLiteral("read %1, acknowledged %2").arg(read).arg(taken)));
    }
}

void KivoSendTest::jsonSaysWhatTheTextSays() {
    QStringList texts;
    QJsonObject done;
    QStringList replies;
    int codes[2] = {};
    for (const bool json : {false, true}) {
        LoopbackPrinter printer;
        AnswerOnce(printer, QByteArray("\x06OK\x18", 4));
        QStringList arguments{"--vek-test", "--quiet", "0.3"};
        if (json) arguments << "--json";
        const Finished run = RunKivoSend(To(printer, arguments));
        codes[json] = run.code;
        if (!json) {
            texts = ReplyLines(run.out);
            continue;
        }
        for (const QString& line : run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
            QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(), qPrintable(line));
            const QJsonObject event = document.object();
            if (event["event"] == QStringLiteral("reply")) replies << event["text"].toString();
            if (event["event"] == QStringLiteral("done")) done = event;
        }
    }
    QCOMPARE(texts, (QStringList{"Ticket ACK", "OK", "Ticket Jam"}));
    QCOMPARE(replies, texts);
    QCOMPARE(codes[0], 1);
    QCOMPARE(done["status"].toInt(), codes[1]);
    QCOMPARE(done["status"].toInt(), codes[0]);
    QCOMPARE(done["answers"].toInt(), 2);
    QCOMPARE(done["tally"].toObject(), (QJsonObject{{"ACK", 1}, {"Jam", 1}}));
    QCOMPARE(done["sent"].toInteger(), done["taken"].toInteger());
}

void KivoSendTest::manualsNameEveryButtonAndOption() {
    const QString window = Manual("kivo-socket-test");
    QVERIFY(!window.isEmpty());
    frmkivo w;
    QStringList captions;
    for (const QPushButton* button : w.findChildren<QPushButton*>()) captions << button->text().trimmed();
    for (const Command& command : Commands()) captions << QString::fromLatin1(command.caption).trimmed();
    for (const QString& caption : captions) QVERIFY2(NamesInBold(window, caption), qPrintable(caption));

    // Every option --help lists has its entry in kivo-send(1).
    const QString send = Manual("kivo-send");
    const Finished help = RunKivoSend({QStringLiteral("--help")});
    QCOMPARE(help.code, 0);
    static const QRegularExpression option(QStringLiteral("(?:^|[\\s,(])(--?[a-z][a-z-]*)"));
    QStringList options;
    for (auto it = option.globalMatch(help.out); it.hasNext();) {
        const QString name = it.next().captured(1);
        if (!options.contains(name)) options << name;
    }
    for (const Command& command : Commands()) QVERIFY(options.contains(QLatin1String(command.option)));
    QVERIFY2(options.contains(QStringLiteral("--no-answers")), qPrintable(options.join(' ')));
    for (const QString& name : options) QVERIFY2(NamesInBold(send, name), qPrintable(name));
    // The connect's own limit is told in both.
    QVERIFY(help.out.contains(QStringLiteral("20 s")));
    QVERIFY(send.contains(QStringLiteral("20 seconds")));
}

QTEST_MAIN(KivoSendTest)
#include "kivo_send_test.moc"
