// kivo-send, the executable, against printers on loopback: the same bytes as the
// window's buttons, its exit statuses, a slow printer that gets every byte, one
// that stops reading, and JSON that says what the text says.
#include "console/frmkivo.h"
#include "pcx/pcx_image.h"
#include "tests/support/window_support.h"

#include <QEventLoop>
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

using namespace kivo;
using kivo::test::Button;
using kivo::test::ConnectWindow;
using kivo::test::DialogAnswer;
using kivo::test::Field;
using kivo::test::Hex;
using kivo::test::LoopbackPrinter;
using kivo::test::PatternBytes;
using kivo::test::SendMarker;
using kivo::test::WrittenFile;

namespace {

struct Finished {
    int code = -1;
    QString out;
    QString err;
};

// Runs kivo-send with the event loop turning, so printers in this process answer.
Finished RunKivoSend(const QStringList& arguments, int timeoutMs = 30000) {
    QProcess child;
    child.start(QStringLiteral(KIVO_SEND_PATH), arguments);
    QEventLoop loop;
    QObject::connect(&child, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (child.state() != QProcess::NotRunning) loop.exec();
    Finished result;
    if (child.state() != QProcess::NotRunning) {
        child.kill();
        child.waitForFinished();
        return result;
    }
    result.code = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    result.out = QString::fromUtf8(child.readAllStandardOutput());
    result.err = QString::fromUtf8(child.readAllStandardError());
    return result;
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

// A monochrome PCX of a small striped picture.
QByteArray MonochromePcx() {
    MonoBitmap bitmap;
    bitmap.width = 20;
    bitmap.height = 4;
    bitmap.bytesPerLine = 4;
    bitmap.bits = QByteArray(16, '\x0F');
    return EncodeMonochromePcx(bitmap);
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
    void printerThatStopsReadingGivesStatusTwoAndTheCount();
    void jsonSaysWhatTheTextSays();
};

void KivoSendTest::sendsTheBytesOfTheWindowsButtons_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QByteArray>("file");  // written and chosen in the file dialog
    QTest::addColumn<QStringList>("action");

    const QByteArray none;
    const QByteArray pattern = PatternBytes(5000);  // NUL and 0x80-0xFF included
    QTest::newRow("text, Windows-1252") << "CmdText" << QStringLiteral("Caf\u00e9 \u20ac <p>") << "1" << none
                                        << QStringList{"--text", QStringLiteral("Caf\u00e9 \u20ac <p>")};
    QTest::newRow("a byte list") << "CmdAscii" << "27 64,0x0C &HFF" << "1" << none
                                 << QStringList{"--bytes", "27 64,0x0C &HFF"};
    QTest::newRow("VEK form feed") << "CmdVekFF" << "" << "1" << none << QStringList{"--vek-ff"};
    QTest::newRow("HP form feed") << "CmdPclFF" << "" << "1" << none << QStringList{"--hp-ff"};
    QTest::newRow("file, 3 copies") << "CmdFile" << "" << "3" << pattern
                                    << QStringList{"--copies", "3", "--file", "@"};
    QTest::newRow("file, 2.5 copies round to 2") << "CmdFile" << "" << "2.5" << pattern
                                                 << QStringList{"--file", "@", "--copies", "2.5"};
    QTest::newRow("VEK test ticket, 3 copies") << "CmdVEKTest" << "" << "3" << none
                                               << QStringList{"--vek-test", "--copies", "3"};
    QTest::newRow("HP test ticket, 150 copies count as 1") << "CmdHPTest" << "" << "150" << none
                                                           << QStringList{"--copies", "150", "--hp-test"};
    QTest::newRow("monochrome PCX") << "CmdPcxFile" << "" << "1" << MonochromePcx() << QStringList{"--pcx", "@"};
}

void KivoSendTest::sendsTheBytesOfTheWindowsButtons() {
    QFETCH(QString, button);
    QFETCH(QString, command);
    QFETCH(QString, count);
    QFETCH(QByteArray, file);
    QFETCH(QStringList, action);

    QTemporaryDir dir;
    const QString path = file.isEmpty() ? QString() : WrittenFile(dir, QStringLiteral("job.pcx"), file);
    action.replaceInStrings(QRegularExpression(QStringLiteral("^@$")), path);

    // The window's button ...
    LoopbackPrinter windowPrinter(9100);
    frmkivo w;
    DialogAnswer answer(w, path);
    QVERIFY(ConnectWindow(w, windowPrinter));
    Field(w, "TxtCmd")->setText(command);
    Field(w, "TxtCount")->setText(count);
    Button(w, qPrintable(button))->click();
    const QByteArray marker = SendMarker(w);
    QTRY_VERIFY(windowPrinter.Received().endsWith(marker));
    const QByteArray bytes = windowPrinter.Received().chopped(marker.size());
    QVERIFY(!bytes.isEmpty());

    // ... and the same action of kivo-send.
    LoopbackPrinter printer;
    const Finished sent = RunKivoSend(To(printer, action << "--quiet" << "0"));
    QVERIFY2(sent.code == 0, qPrintable(sent.err));
    QTRY_COMPARE(Hex(printer.Received()), Hex(bytes));
}

void KivoSendTest::exitStatusSaysHowItWent_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("answer");  // what the printer answers, once
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");  // in standard output, or in standard error for 64

    const QStringList ff{"--vek-ff", "--quiet", "0.3"};
    QTest::newRow("ACK: 0") << ff << QByteArray("\x06") << 0 << "status 0";
    QTest::newRow("the ACK expected: 0") << QStringList{"--vek-ff", "--expect", "1"} << QByteArray("\x06") << 0
                                         << "1 ticket answer (ACK 1)";
    QTest::newRow("Ribbon Low is no fault: 0") << ff << QByteArray("\x06\x16") << 0 << "ACK 1 \u00b7 Ribbon Low 1";
    QTest::newRow("Jam: 1") << ff << QByteArray("\x18") << 1 << "(Jam 1)";
    QTest::newRow("NAK, nothing expected: 1") << ff << QByteArray("\x15") << 1 << "(NAK 1)";
    QTest::newRow("NAK where an ACK was expected: 1") << QStringList{"--vek-ff", "--expect", "1"}
                                                      << QByteArray("\x15") << 1 << "NAK 1";
    QTest::newRow("no answer to the one expected: 3")
        << QStringList{"--vek-ff", "--expect", "1", "--timeout", "1"} << QByteArray() << 3 << "status 3: timed out";
    QTest::newRow("a burn-in of three runs: 0") << QStringList{"--vek-ff", "--repeat", "3", "--interval", "0.1",
                                                               "--quiet", "0.3"}
                                                << QByteArray("\x06") << 0 << "3 runs, 9 bytes sent, 9 taken";
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
    QTest::newRow("no address: 64") << QStringList{"--vek-ff", "--port", "1", ""} << QByteArray() << 64
                                    << "no printer address";
    QTest::newRow("an address that is no address: 64") << QStringList{"--vek-ff", "--port", "1", "999.999.999.999"}
                                                        << QByteArray() << 64 << "not an IPv4 address";
}

void KivoSendTest::exitStatusSaysHowItWent() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, answer);
    QFETCH(int, status);
    QFETCH(QString, says);

    QTemporaryDir dir;
    arguments.replaceInStrings(QStringLiteral("@big"), WrittenFile(dir, QStringLiteral("big"), PatternBytes(4 << 20)));
    std::optional<kivo::test::SilentPrinter> silent;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("@silent")); at >= 0) {
        silent.emplace(0);
        QVERIFY(silent->Listening());
        arguments.removeAt(at);
        arguments << QStringLiteral("--port") << QString::number(silent->Port()) << silent->Address();
    }
    LoopbackPrinter printer;
    if (answer == "close") {
        printer.UseSmallBuffers(4096);
        QObject::connect(&printer, &LoopbackPrinter::bytesReceived, &printer, [&printer] { printer.CloseMidJob(); });
    } else {
        AnswerOnce(printer, answer);
    }
    // Rows that name their own address (the last argument with --port) run as they are.
    const bool ownAddress = arguments.contains(QStringLiteral("--port"));
    const Finished run = RunKivoSend(ownAddress ? arguments : To(printer, arguments));
    QCOMPARE(run.code, status);
    QVERIFY2((status == 64 ? run.err : run.out).contains(says), qPrintable(run.out + run.err));
    if (status == 64) QCOMPARE(printer.Connections(), 0);
}

void KivoSendTest::slowPrinterGetsEveryByteBeforeTheClose() {
    // 100 KB to a printer reading 40 KB/s through small buffers: most of the file
    // is still on its way when the last byte has been handed to the system.
    const QByteArray file = PatternBytes(100 * 1024);
    QTemporaryDir dir;
    LoopbackPrinter printer;
    printer.UseSmallBuffers(4096);
    printer.ReadSlowly(2048, 50);
    const Finished run =
        RunKivoSend(To(printer, {"--file", WrittenFile(dir, QStringLiteral("slow.bin"), file), "--quiet", "0"}), 120000);
    QVERIFY2(run.code == 0, qPrintable(run.out + run.err));
    // At the exit the printer has taken all but what its own small buffer holds ...
    QVERIFY2(printer.Received().size() >= file.size() - 24 * 1024, qPrintable(QString::number(printer.Received().size())));
    QVERIFY(run.out.contains(QStringLiteral("102,400 bytes sent, 102,400 taken")));
    // ... and the end of the stream comes after the last byte, never a reset.
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), file.size(), 10000);
    QVERIFY(printer.Received() == file);
}

void KivoSendTest::printerThatStopsReadingGivesStatusTwoAndTheCount() {
    QTemporaryDir dir;
    LoopbackPrinter printer;
    printer.UseSmallBuffers(4096);
    printer.SetReading(false);
    const Finished run = RunKivoSend(
        To(printer, {"--file", WrittenFile(dir, QStringLiteral("big.bin"), PatternBytes(1 << 20)), "--stall", "1"}));
    QCOMPARE(run.code, 2);
    static const QRegularExpression notTaken(QStringLiteral("([\\d,]+) not taken"));
    const auto match = notTaken.match(run.out);
    QVERIFY2(match.hasMatch(), qPrintable(run.out));
    QVERIFY(QLocale(QLocale::English).toLongLong(match.captured(1)) > 0);
    QVERIFY2(run.err.contains(QStringLiteral("not delivered: the printer took nothing for 1 s")), qPrintable(run.err));
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

QTEST_MAIN(KivoSendTest)
#include "kivo_send_test.moc"
