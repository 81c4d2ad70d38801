// Files, test tickets and PCX images, against a printer on loopback: the pieces
// a file goes out in, the bytes and the copies that arrive, the lines logged,
// the file-open dialog's set-up, files that cannot be read, and an image file
// that shrinks while it is sent.
#include "console/frmkivo.h"
#include "console/settings.h"
#include "link/printer_connection.h"
#include "pcx/pcx_download.h"
#include "platform/program_folder.h"
#include "tests/support/window_support.h"
#ifdef KIVO_TEST_WITH_EMULATOR
#include "emulator/emulator.h"
#endif

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFile>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QRegularExpression>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kivo;
using kivo::test::Button;
using kivo::test::Field;
using kivo::test::ConnectWindow;
using kivo::test::ConnectWithSmallBuffers;
using kivo::test::DialogAnswer;
using kivo::test::Hex;
using kivo::test::LoopbackPrinter;
using kivo::test::PatternBytes;
using kivo::test::ReadFile;
using kivo::test::SendMarker;
using kivo::test::WriteFile;

namespace {

QByteArray VekCopyHeader(int copy) { return "<RL><F6><RC90,40>" + QByteArray::number(copy); }

// Whether the log holds one line saying that the printer has taken the job
// (`copies` of `name`) and its `bytes`, as they went on the wire, and answered
// its `answers` print commands with ACK.
bool SaysDone(frmkivo& w, int copies, const QString& name, qsizetype bytes, int answers = 0) {
    const QLocale english(QLocale::English);
    const QString what =
        (copies == 1 ? QStringLiteral("1 copy") : english.toString(copies) + " copies") + " of " + name;
    const QString start =
        QStringLiteral("Done: %1, %2 bytes, taken by the printer in ").arg(what, english.toString(bytes));
    const QString answered = answers == 0 ? QString()
                                          : QStringLiteral("; %1 %2: %1 Ticket ACK")
                                                .arg(english.toString(answers), answers == 1 ? "answer" : "answers");
    const QRegularExpression done('^' + QRegularExpression::escape(start) + "[0-9]+\\.[0-9]{2} s" +
                                  QRegularExpression::escape(answered) + '$');
    return w.OutgoingLog().Lines().filter(done).size() == 1;
}

// What Qt's own file-open dialog, set up as `setup`, returns when the operator
// types `typed` into its name field and presses Open. A message it shows
// instead ("File not found") is closed and the dialog cancelled: "" then.
QString TypedIntoQtDialog(const CommonDialog& setup, const QString& typed) {
    const bool native = !QCoreApplication::testAttribute(Qt::AA_DontUseNativeDialogs);
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    enum class Step { Typing, Opened, Refused } step = Step::Typing;
    QTimer operatorAtIt;
    QObject::connect(&operatorAtIt, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* message = qobject_cast<QMessageBox*>(modal)) {
            message->reject();
            step = Step::Refused;
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal); dialog && step == Step::Typing) {
            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(typed);
            // Queued: the message it may show runs a loop of its own, in which this timer must fire.
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            step = Step::Opened;
        } else if (dialog && step == Step::Refused) {
            dialog->reject();
        }
    });
    operatorAtIt.start(0);
    QtDialogs dialogs(nullptr);
    const QString chosen = dialogs.ChooseFile(setup);
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs, !native);
    return chosen;
}

// The bytes a peer of the connection reads from its end of a socket pair.
QByteArray ReadAll(int fd, QList<int>* records = nullptr) {
    QByteArray received;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        if (records) *records << static_cast<int>(n);
        received.append(buffer, n);
    }
    return received;
}

}  // namespace

class FilesTest : public QObject {
    Q_OBJECT
private slots:
    void sendFileGoesInPiecesOf1024_data();
    void sendFileGoesInPiecesOf1024();
    void largePiecesGoStraightFromTheFile_data();
    void largePiecesGoStraightFromTheFile();
    void fileCopiesAndTheirWording_data();
    void fileCopiesAndTheirWording();
    void cancelledDialogSendsNothing_data();
    void cancelledDialogSendsNothing();
    void missingFileIsNamedOnceAndNothingSent();
    void testTicketsHoldCopiesBetween1And100_data();
    void testTicketsHoldCopiesBetween1And100();
    void vekTicketJobCountsItsCopyHeaders();
    void missingTestTicket_data();
    void missingTestTicket();
    void pcxImageIsFramedForTheDownload_data();
    void pcxImageIsFramedForTheDownload();
    void pcxFileThatCannotBeOpenedSendsNothing();
    void fileThatIsNoMonochromePcxIsAskedAbout_data();
    void fileThatIsNoMonochromePcxIsAskedAbout();
    void pcxFileThatShrinksIsPaddedToItsHeader();
};

void FilesTest::sendFileGoesInPiecesOf1024_data() {
    // clang-format off
    QTest::addColumn<int>("size");  // -1: no such file
    QTest::addColumn<QList<int>>("pieces");
    QTest::newRow("empty file") << 0 << QList<int>{};
    QTest::newRow("one full piece") << 1024 << QList<int>{1024};
    QTest::newRow("full piece and one byte") << 1025 << QList<int>{1024, 1};
    QTest::newRow("3000 bytes") << 3000 << QList<int>{1024, 1024, 952};
    QTest::newRow("no such file") << -1 << QList<int>{};
    // clang-format on
}

// The window's connection hands a file in sends of 1024 bytes; over a
// sequenced-packet socket pair each send arrives as one record, so the records
// are the pieces.
void FilesTest::sendFileGoesInPiecesOf1024() {
    QFETCH(int, size);
    QFETCH(QList<int>, pieces);
    QTemporaryDir dir;
    const QString path = dir.filePath("pieces.bin");
    const QByteArray file = PatternBytes(std::max(size, 0));
    if (size >= 0) QVERIFY(WriteFile(path, file));

    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds), 0);
    PrinterConnection connection;
    connection.Adopt(fds[0]);
    QSignalSpy handed(&connection, &PrinterConnection::JobHanded);
    PrinterJob job;
    job.AddFile(path);
    connection.Hand(std::move(job));
    QTRY_COMPARE(handed.count(), 1);

    QList<int> records;
    const QByteArray received = ReadAll(fds[1], &records);
    ::close(fds[1]);
    QCOMPARE(records, pieces);
    QVERIFY(received == file);
    QCOMPARE(connection.Sent(), qint64(std::max(size, 0)));
    QCOMPARE(handed[0][0].value<JobEnd>(), size >= 0 ? JobEnd::Sent : JobEnd::Failed);
    const QString fileError = handed[0][1].toString();
    QVERIFY2(size >= 0 ? fileError.isEmpty() : fileError.startsWith("Cannot send file " + path + ": "),
             qPrintable(fileError));
}

void FilesTest::largePiecesGoStraightFromTheFile_data() {
    QTest::addColumn<int>("shrinkTo");  // -1: the file stays whole
    QTest::newRow("more than two pieces, byte for byte") << -1;
    QTest::newRow("the file shrinks while the send waits") << 300 * 1024;
}

// Pieces larger than the window's go from the file to the socket inside the
// system. The peer reads only while the send waits for room, and the file may
// shrink at the first wait: the bytes still on disk go out, and the read that
// follows says how many were missing, as a send read piece by piece says.
void FilesTest::largePiecesGoStraightFromTheFile() {
    QFETCH(int, shrinkTo);
    QTemporaryDir dir;
    const QString path = dir.filePath("large.bin");
    const QByteArray file = PatternBytes(5 * 512 * 1024 + 3);
    QVERIFY(WriteFile(path, file));

    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    const int buffer = 64 * 1024;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    PrinterConnection connection(1024 * 1024);
    connection.Adopt(fds[0]);
    QSignalSpy handed(&connection, &PrinterConnection::JobHanded);
    QByteArray received;
    int waits = 0;
    QTimer peer;
    peer.callOnTimeout([&] {
        pollfd room{fds[0], POLLOUT, 0};
        if (!connection.Handing() || ::poll(&room, 1, 0) != 0) return;  // the send does not wait
        if (++waits == 1 && shrinkTo >= 0) QVERIFY(QFile::resize(path, shrinkTo));
        received += ReadAll(fds[1]);
    });
    peer.start(1);
    PrinterJob job;
    job.AddFile(path);
    connection.Hand(std::move(job));
    QTRY_COMPARE_WITH_TIMEOUT(handed.count(), 1, 20000);
    peer.stop();
    received += ReadAll(fds[1]);
    ::close(fds[1]);

    const qsizetype whole = shrinkTo < 0 ? file.size() : shrinkTo;
    QVERIFY(waits > 0);
    QCOMPARE(received.size(), whole);
    QVERIFY(received == file.left(whole));
    QCOMPARE(connection.Sent(), qint64(whole));
    QCOMPARE(
        handed[0][1].toString(),
        shrinkTo < 0
            ? QString()
            : QStringLiteral("Cannot send file %1: the file ended %2 bytes early").arg(path).arg(file.size() - whole));
}

void FilesTest::fileCopiesAndTheirWording_data() {
    // clang-format off
    QTest::addColumn<QString>("count");
    QTest::addColumn<int>("copies");  // -1: the count is refused
    QTest::addColumn<bool>("singleWording");
    QTest::newRow("1") << "1" << 1 << true;
    QTest::newRow("1.0") << "1.0" << 1 << true;
    QTest::newRow("1 with blanks") << " 1 " << 1 << true;
    QTest::newRow("3") << "3" << 3 << false;
    QTest::newRow("0") << "0" << 0 << false;
    QTest::newRow("-2") << "-2" << 0 << false;
    QTest::newRow("2.5 halves to 2") << "2.5" << 2 << false;
    QTest::newRow("3.5 halves to 4") << "3.5" << 4 << false;
    QTest::newRow("1.4 rounds to 1") << "1.4" << 1 << false;
    QTest::newRow("not a number") << "abc" << -1 << false;
    QTest::newRow("empty") << "" << -1 << false;
    QTest::newRow("beyond 16 bits") << "40000" << -1 << false;
    // clang-format on
}

// The file holds NUL, CR LF and every byte 0x80-0xFF, and crosses a piece
// boundary: each copy must arrive byte for byte.
void FilesTest::fileCopiesAndTheirWording() {
    QFETCH(QString, count);
    QFETCH(int, copies);
    QFETCH(bool, singleWording);
    QTemporaryDir dir;
    const QString path = dir.filePath("a ticket.prn");
    const QByteArray file = PatternBytes(1500);
    QVERIFY(WriteFile(path, file));

    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    Field(w, "TxtCount")->setText(count);
    DialogAnswer answer(w, path);
    Button(w, "CmdFile")->click();
    const QStringList lines = w.OutgoingLog().Lines();
    const QByteArray expected = file.repeated(std::max(copies, 0)) + SendMarker(w);

    QTRY_COMPARE(printer.Received().size(), expected.size());
    QVERIFY(printer.Received() == expected);
    if (copies > 0) QTRY_VERIFY(SaysDone(w, copies, "a ticket.prn", expected.size() - 1));
    QCOMPARE(Field(w, "TxtCount")->text(), count);
    const QString address = printer.Address();
    if (copies < 0) {
        QCOMPARE(lines.size(), 1);
        QVERIFY2(!lines[0].startsWith(QLatin1String("Sending")) && lines[0].contains(count), qPrintable(lines[0]));
    } else if (singleWording) {
        QCOMPARE(lines, QStringList{"Sending file " + path + " to IP Address " + address});
    } else {
        QStringList said{"Sending " + count + " copies of file " + path + " to IP Address " + address};
        if (copies == 0) said << "Nothing sent: no copies asked for (# of Copies " + count + ")";
        QCOMPARE(lines, said);
    }
}

void FilesTest::cancelledDialogSendsNothing_data() {
    // clang-format off
    QTest::addColumn<bool>("pcx");
    QTest::addColumn<QString>("defaultExt");
    QTest::addColumn<QString>("filter");
    QTest::newRow("Send Text File") << false << "*.txt"
                                    << "text files(*.txt)|*.txt|prn files(*.prn)|*.prn|all files(*)|*";
    QTest::newRow("Print PCX File")
        << true << "pcx"
        << "pcx(*.pcx)|*.pcx|Pictures (*.png *.bmp *.jpg *.jpeg *.gif *.pcx)|*.png;*.bmp;*.jpg;*.jpeg;*.gif;*.pcx|"
           "all files(*)|*";
    // clang-format on
}

void FilesTest::cancelledDialogSendsNothing() {
    QFETCH(bool, pcx);
    QFETCH(QString, defaultExt);
    QFETCH(QString, filter);
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    Field(w, "TxtCount")->setText("abc");  // not read after a cancel
    // What an earlier use of the dialog left behind must not carry over.
    w.CommonDialog1.FileName = "/left/over.txt";
    w.CommonDialog1.CancelError = true;
    w.CommonDialog1.DefaultExt = "prn";
    DialogAnswer answer(w, QString{});
    QPushButton* button = pcx ? Button(w, "CmdPcxFile") : Button(w, "CmdFile");
    button->click();
    const QStringList lines = w.OutgoingLog().Lines();
    const QByteArray marker = SendMarker(w);

    QTRY_COMPARE(Hex(printer.Received()), Hex(marker));
    QCOMPARE(lines, QStringList{"Download File Canceled"});
    QCOMPARE(answer.shown, 1);
    QCOMPARE(answer.defaultExt, defaultExt);
    QCOMPARE(answer.filter, filter);
    QCOMPARE(answer.title, button->text());
    if (pcx)  // as Qt's dialog shows it: the PCX files, then any picture, then every file
        QCOMPARE(FilterToNameFilters(filter),
                 (QStringList{"pcx(*.pcx)", "Pictures (*.png *.bmp *.jpg *.jpeg *.gif *.pcx)", "all files(*)"}));
    // The last choice takes every file, one without an extension too.
    const QString every = FilterToNameFilters(filter).constLast();
    QVERIFY2(QDir::match(every.section('(', -1).chopped(1), QStringLiteral("TICKET")), qPrintable(every));
    QCOMPARE(answer.fileName, QString());
    QCOMPARE(answer.cancelError, false);

    // In Qt's own dialog so set up, a name typed without an extension is the
    // file of that name: no default suffix is added to it.
    QTemporaryDir dir;
    const QString typed = dir.filePath(QStringLiteral("ticketnoext"));
    QVERIFY(WriteFile(typed, "<p>"));
    w.CommonDialog1.InitDir = dir.path();
    QCOMPARE(TypedIntoQtDialog(w.CommonDialog1, QStringLiteral("ticketnoext")), typed);
}

void FilesTest::missingFileIsNamedOnceAndNothingSent() {
    QTemporaryDir dir;
    const QString path = dir.filePath("gone.txt");
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    Field(w, "TxtCount")->setText("3");
    DialogAnswer answer(w, path);
    Button(w, "CmdFile")->click();
    QTRY_VERIFY(!w.Session().Busy());
    const QStringList lines = w.OutgoingLog().Lines();
    const QByteArray marker = SendMarker(w);

    QTRY_COMPARE(Hex(printer.Received()), Hex(marker));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], "Sending 3 copies of file " + path + " to IP Address " + printer.Address());
    QVERIFY2(lines[1].contains(path) && lines[1].contains("No such file"), qPrintable(lines[1]));
}

void FilesTest::testTicketsHoldCopiesBetween1And100_data() {
    // clang-format off
    QTest::addColumn<bool>("vek");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QString>("countAfter");
    QTest::addColumn<int>("copies");  // -1: the count is refused
    QTest::newRow("VEK 0") << true << "0" << "1" << 1;
    QTest::newRow("VEK 0.5") << true << "0.5" << "1" << 1;
    QTest::newRow("VEK 101") << true << "101" << "1" << 1;
    QTest::newRow("VEK -4") << true << "-4" << "1" << 1;
    QTest::newRow("VEK 100") << true << "100" << "100" << 100;
    QTest::newRow("VEK 3, numbered in order") << true << "3" << "3" << 3;
    QTest::newRow("VEK 2.5 halves to 2") << true << "2.5" << "2.5" << 2;
    QTest::newRow("VEK not a number") << true << "abc" << "abc" << -1;
    QTest::newRow("HP 0") << false << "0" << "1" << 1;
    QTest::newRow("HP 101") << false << "101" << "1" << 1;
    QTest::newRow("HP 100") << false << "100" << "100" << 100;
    QTest::newRow("HP 3") << false << "3" << "3" << 3;
    // clang-format on
}

void FilesTest::testTicketsHoldCopiesBetween1And100() {
    QFETCH(bool, vek);
    QFETCH(QString, count);
    QFETCH(QString, countAfter);
    QFETCH(int, copies);
    const QString path = platform::ProgramFolder() + (vek ? "/vek_test.txt" : "/hp_id.prn");
    const QByteArray ticket = ReadFile(path);
    QVERIFY2(!ticket.isEmpty(), qPrintable(path));

    LoopbackPrinter printer(9100);
    printer.AnswerPrintCommands();
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    Field(w, "TxtCount")->setText(count);
    (vek ? Button(w, "CmdVEKTest") : Button(w, "CmdHPTest"))->click();
    const QStringList lines = w.OutgoingLog().Lines();
    QByteArray expected;
    for (int i = 1; i <= copies; ++i) expected += (vek ? VekCopyHeader(i) : QByteArray()) + ticket;
    expected += SendMarker(w);

    QTRY_COMPARE(printer.Received().size(), expected.size());
    QVERIFY(printer.Received() == expected);
    // The Done line counts the copy headers too: every byte on the wire but the
    // marker; and it comes with an answer to each copy's print command.
    if (copies > 0) QTRY_VERIFY(SaysDone(w, copies, vek ? "vek_test.txt" : "hp_id.prn", expected.size() - 1, copies));
    QCOMPARE(Field(w, "TxtCount")->text(), countAfter);
    QCOMPARE(lines.value(0), "Sending  " + path);
    QCOMPARE(lines.size(), copies < 0 ? 2 : 1);
    // A corrected count is what the next run finds in the field.
    if (countAfter != count) QCOMPARE(OperatorSettings().CopyCount(), countAfter);
}

// The job's planned size holds the copy headers too: a Stop in the middle names
// the whole job as it goes on the wire, not the copies of the file alone.
void FilesTest::vekTicketJobCountsItsCopyHeaders() {
    const QByteArray ticket = ReadFile(platform::ProgramFolder() + "/vek_test.txt");
    QVERIFY(!ticket.isEmpty());
    qsizetype wire = 0;
    for (int i = 1; i <= 100; ++i) wire += VekCopyHeader(i).size() + ticket.size();

    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    printer.SetReading(false);
    w.ClearLogs();
    Field(w, "TxtCount")->setText("100");
    Button(w, "CmdVEKTest")->click();
    // The printer reads nothing: the send waits once the buffers are full.
    QTRY_VERIFY(w.Session().Sent() > 0);
    QVERIFY(w.Session().Handing());
    Button(w, "CmdStop")->click();

    QVERIFY(!w.Session().Busy());
    const QStringList lines = w.OutgoingLog().Lines();
    const QRegularExpression stopped("^Stopped: 100 copies of vek_test\\.txt, the printer acknowledged [0-9,]+ of " +
                                     QLocale(QLocale::English).toString(wire) +
                                     " bytes(; (1 byte was|[0-9,]+ bytes were) already on their way)?$");
    QVERIFY2(lines.filter(stopped).size() == 1, qPrintable(lines.join(" | ")));
}

void FilesTest::missingTestTicket_data() {
    // clang-format off
    QTest::addColumn<bool>("vek");
    QTest::newRow("VEK") << true;
    QTest::newRow("HP") << false;
    // clang-format on
}

// The tickets are beside this executable, and other tests use them at the same
// time. So the check runs in a copy of this executable in a folder of its own,
// where the ticket is missing.
void FilesTest::missingTestTicket() {
    QFETCH(bool, vek);
    const QString path = platform::ProgramFolder() + (vek ? "/vek_test.txt" : "/hp_id.prn");
    if (QFile::exists(path)) {
        QTemporaryDir dir;
        const QString copy = dir.filePath("files_test");
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
        QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(copy, {QStringLiteral("missingTestTicket:") + QTest::currentDataTag()});
        const bool finished = child.waitForFinished(60000);
        if (!finished) child.kill();
        const QByteArray output = child.readAll();
        QVERIFY2(finished && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
        QVERIFY2(output.contains("PASS   : FilesTest::missingTestTicket(" + QByteArray(QTest::currentDataTag())),
                 output.constData());
        return;
    }

    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    Field(w, "TxtCount")->setText("2");
    (vek ? Button(w, "CmdVEKTest") : Button(w, "CmdHPTest"))->click();
    QTRY_VERIFY(!w.Session().Busy());
    const QStringList lines = w.OutgoingLog().Lines();
    const QByteArray expected = (vek ? VekCopyHeader(1) + VekCopyHeader(2) : QByteArray()) + SendMarker(w);

    QTRY_COMPARE(Hex(printer.Received()), Hex(expected));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], "Sending  " + path);
    QVERIFY2(lines[1].contains(path) && lines[1].contains("No such file"), qPrintable(lines[1]));
}

void FilesTest::pcxImageIsFramedForTheDownload_data() {
    // clang-format off
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("count");
    QTest::newRow("empty image") << "empty.pcx" << 0 << "1";
    QTest::newRow("1500 bytes") << "logo.pcx" << 1500 << "1";
    QTest::newRow("2048 bytes") << "two pieces.pcx" << 2048 << "1";
    QTest::newRow("copies field not read") << "logo.pcx" << 1500 << "5";
    QTest::newRow("other extension, same frame") << "image.txt" << 700 << "abc";
    // clang-format on
}

void FilesTest::pcxImageIsFramedForTheDownload() {
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(QString, count);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    const QByteArray image = PatternBytes(size);
    QVERIFY(WriteFile(path, image));

    LoopbackPrinter printer(9100);
    printer.AnswerPrintCommands();
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    Field(w, "TxtCount")->setText(count);
    DialogAnswer answer(w, path);
    answer.answers = {0};  // the patterned bytes are no PCX nor picture: "Send As It Is"
    Button(w, "CmdPcxFile")->click();
    const QStringList lines = w.OutgoingLog().Lines();
    const QByteArray expected = "<SP100,100><pcx><G" + QByteArray::number(size) + ">" + image + "<p>" + SendMarker(w);

    QTRY_COMPARE(printer.Received().size(), expected.size());
    QVERIFY(printer.Received() == expected);
    QCOMPARE(lines, QStringList{"Sending PCX file " + path + " to IP Address " + printer.Address()});
    QTRY_VERIFY(SaysDone(w, 1, name, expected.size() - 1, 1));
}

void FilesTest::pcxFileThatCannotBeOpenedSendsNothing() {
    QTemporaryDir dir;
    const QString path = dir.filePath("missing.pcx");
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    DialogAnswer answer(w, path);
    Button(w, "CmdPcxFile")->click();
    const QStringList lines = w.OutgoingLog().Lines();
    const QByteArray marker = SendMarker(w);

    QTRY_COMPARE(Hex(printer.Received()), Hex(marker));  // not even the header
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains(path) && lines[0].contains("No such file"), qPrintable(lines[0]));
}

void FilesTest::fileThatIsNoMonochromePcxIsAskedAbout_data() {
    // clang-format off
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("line");  // the line written at the click, if any
    // Convert, which cannot read it as a picture, is not offered.
    QTest::newRow("Send As It Is") << 0 << true << "";
    QTest::newRow("Cancel") << 1 << false << "PCX download canceled: odd.pcx was not sent";
    // clang-format on
}

void FilesTest::fileThatIsNoMonochromePcxIsAskedAbout() {
    QFETCH(int, answer);
    QFETCH(bool, sent);
    QFETCH(QString, line);
    QTemporaryDir dir;
    const QString path = dir.filePath("odd.pcx");
    const QByteArray bytes = PatternBytes(300);
    QVERIFY(WriteFile(path, bytes));
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    DialogAnswer dialogs(w, path);
    dialogs.answers = {answer};
    Button(w, "CmdPcxFile")->click();
    const QStringList lines = w.OutgoingLog().Lines();
    const QByteArray marker = SendMarker(w);

    QCOMPARE(dialogs.questions.size(), 1);
    const Question& question = dialogs.questions[0];
    QCOMPARE(question.text,
             "odd.pcx is not a PCX file; the printer prints 1-bit monochrome PCX only. Cannot read "
             "odd.pcx as a picture: Unsupported image format.");
    QCOMPARE(question.answers, (QStringList{"Send As It Is", "Cancel"}));
    QCOMPARE(question.defaultAnswer, 1);
    QCOMPARE(question.escapeAnswer, 1);
    const QByteArray expected = sent ? "<SP100,100><pcx><G300>" + bytes + "<p>" + marker : marker;
    QTRY_COMPARE(printer.Received().size(), expected.size());
    QVERIFY(printer.Received() == expected);
    if (!sent) QVERIFY2(lines.size() == 1 && lines[0].endsWith(line), qPrintable(lines.join('\n')));
}

// The header announces 1 MiB; the file shrinks to a quarter while the download
// waits for the printer. The image is made up with zeros to the length announced,
// so the print command after it is read as one.
void FilesTest::pcxFileThatShrinksIsPaddedToItsHeader() {
    QTemporaryDir dir;
    const QString path = dir.filePath("shrinks.pcx");
    const QByteArray image = PatternBytes(1024 * 1024);
    QVERIFY(WriteFile(path, image));
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    printer.SetReading(false);
    w.ClearLogs();
    DialogAnswer answer(w, path);
    answer.answers = {0};  // the patterned bytes are no PCX nor picture: "Send As It Is"
    Button(w, "CmdPcxFile")->click();
    // The printer reads nothing: the download waits with the image begun.
    QTRY_VERIFY(w.Session().Sent() > 0);
    QVERIFY(w.Session().Handing());
    QVERIFY(QFile::resize(path, 256 * 1024));
    printer.SetReading(true);

    const QByteArray expected =
        PcxDownloadHeader(image.size()) + image.left(256 * 1024) + QByteArray(768 * 1024, '\0') + "<p>";
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), expected.size(), 10000);
    QVERIFY(printer.Received() == expected);
    QCOMPARE(w.OutgoingLog().Lines().mid(0, 2),
             (QStringList{"Sending PCX file " + path + " to IP Address " + printer.Address(),
                          "PCX file " + path +
                              " read short (the file ended 786432 bytes early): padded the image "
                              "with 786,432 zero bytes to the 1,048,576 bytes its header announced"}));
#ifdef KIVO_TEST_WITH_EMULATOR
    // The printer sees one whole image and one print.
    struct Images : emu::PrinterStream::Sink {
        void Answer(std::uint8_t) override {}
        void ImageEnded(const emu::ImageEvent& image) override { complete << image.Complete(); }
        QList<bool> complete;
    } sink;
    emu::PrinterStream stream;
    const QByteArray wire = printer.Received();
    stream.Feed(std::span(reinterpret_cast<const std::uint8_t*>(wire.constData()), wire.size()), sink);
    QCOMPARE(sink.complete, QList<bool>{true});
    QCOMPARE(stream.PrintCommands(), std::uint64_t{1});
#endif
}

QTEST_MAIN(FilesTest)
#include "files_test.moc"
