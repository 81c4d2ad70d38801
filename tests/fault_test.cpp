// The window when the printer misbehaves: resets in the middle of every kind of
// job and right after the connect, a close in the middle of a file, a printer that
// never reads, one that floods while it is being sent to, and clicks that pile up
// behind a long send. In every case the window stays alive and answers clicks,
// says in the outgoing log what happened (a connection the printer dropped puts
// it back in its disconnected state), and the printer gets an unbroken prefix of
// the bytes, in order.
#include "console/frmkivo.h"
#include "link/delivery.h"
#include "link/numbers.h"
#include "link/printer_socket.h"
#include "link/reply_decoder.h"
#include "platform/program_folder.h"
#include "platform/socket_errors.h"
#include "tests/support/window_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

using namespace kivo;
using kivo::test::Button;
using kivo::test::Field;
using kivo::test::DialogAnswer;
using kivo::test::ConnectWindow;
using kivo::test::ConnectWithSmallBuffers;
using kivo::test::kSanitized;
using kivo::test::LoopbackPrinter;
using kivo::test::ReadFile;
using kivo::test::OnceReceived;
using kivo::test::RunStepsUntilSendsEnd;
using kivo::test::SendWaitsForRoom;
using kivo::test::Steps;
using kivo::test::Watchdog;
using kivo::test::WrittenFile;

namespace {


constexpr qsizetype kMiB = 1024 * 1024;
// Both ways at once; smaller under the sanitizers, which run several times slower.
constexpr qsizetype kFloodBytes = (kSanitized ? 10 : 20) * kMiB;

// A printer on a thread of its own, as a real one runs beside the window: it takes
// every connection and resets it, at once or a few milliseconds later (the nth
// connection after n % 4 ms), whatever the window is doing meanwhile.
class ResettingPrinter {
public:
    ResettingPrinter() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        for (int attempt = 0; attempt < 20 && !listening_; ++attempt) {
            address_ = kivo::test::RandomLoopbackAddress();
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(9100);
            at.sin_addr.s_addr = ::inet_addr(address_.toLatin1().constData());
            listening_ =
                ::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && ::listen(listener_, 16) == 0;
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~ResettingPrinter() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    ResettingPrinter(const ResettingPrinter&) = delete;
    ResettingPrinter& operator=(const ResettingPrinter&) = delete;

    [[nodiscard]] const QString& Address() const { return address_; }
    [[nodiscard]] bool Listening() const { return listening_; }
    [[nodiscard]] int Resets() const { return resets_; }

private:
    void Run() {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) continue;
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            pollfd held{connection, 0, 0};  // no events asked: only the time-out ends it
            ::poll(&held, 1, resets_ % 4);
            const ::linger hard{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            ::close(connection);
            ++resets_;
        }
    }

    int listener_ = -1;
    bool listening_ = false;
    QString address_;
    std::atomic<bool> stop_ = false;
    std::atomic<int> resets_ = 0;
    std::thread thread_;
};

[[nodiscard]] QByteArray RandomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    random.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    for (qsizetype i = size / 4 * 4; i < size; ++i) bytes[i] = static_cast<char>(random.bounded(256));
    return bytes;
}

// Empty when `received` is an unbroken prefix of `sent`; else where they part.
[[nodiscard]] QString NotAPrefix(const QByteArray& received, const QByteArray& sent) {
    if (received.size() > sent.size())
        return QStringLiteral("received %1 bytes of %2 sent").arg(received.size()).arg(sent.size());
    for (qsizetype i = 0; i < received.size(); ++i)
        if (received[i] != sent[i]) return QStringLiteral("byte %1 differs").arg(i);
    return {};
}

[[nodiscard]] int CountStartingWith(const QStringList& lines, const QString& start) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&start](const QString& l) { return l.startsWith(start); }));
}

// Milliseconds from scheduling a click until `handled` holds, or -1 after 5 s:
// a window that still waits for something (a printer, a time-out) does not
// answer within that bound, however loaded the machine.
[[nodiscard]] qint64 ClickAnswerMs(QAbstractButton* button, const std::function<bool()>& handled) {
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(0, button, [button] { button->click(); });
    if (!QTest::qWaitFor(handled, 5000)) return -1;
    return clock.elapsed();
}

// Walks the incoming log against the bytes the printer sent: every byte below 32
// or above 126 must stand as its own line with its name, and every run of the
// others must be spelled out by text lines, in order. Keeps its place between calls.
class IncomingAccount {
public:
    explicit IncomingAccount(const QByteArray& sent) : sent_(sent) {}

    void Advance(const LogModel& log) {
        for (; error_.isEmpty() && line_ < log.Count(); ++line_) {
            const QString text = log.Line(line_);
            if (byte_ >= sent_.size()) {
                error_ = QStringLiteral("line %1 beyond the bytes sent: \"%2\"").arg(line_).arg(text);
            } else if (const auto b = static_cast<unsigned char>(sent_[byte_]); b < 32 || b > 126) {
                if (text == ReplyByteLine(b))
                    ++byte_;
                else
                    error_ = QStringLiteral("line %1 \"%2\" for byte %3 at %4").arg(line_).arg(text).arg(b).arg(byte_);
            } else if (SpellsRun(text)) {
                byte_ += text.size();
            } else {
                error_ = QStringLiteral("line %1 \"%2\" is not the text at byte %3")
                             .arg(line_)
                             .arg(text.left(40))
                             .arg(byte_);
            }
        }
    }
    [[nodiscard]] qsizetype Bytes() const { return byte_; }
    [[nodiscard]] const QString& Error() const { return error_; }

private:
    bool SpellsRun(const QString& text) const {
        if (text.isEmpty() || byte_ + text.size() > sent_.size()) return false;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char c = sent_[byte_ + i];
            if (c < 32 || c > 126 || text[i] != QLatin1Char(c)) return false;
        }
        return true;
    }

    const QByteArray& sent_;
    qsizetype byte_ = 0;
    qsizetype line_ = 0;
    QString error_;
};

// What a printer sends when it floods: runs of printable bytes of 1 to 40, each
// followed by one other byte, every value 0 to 255 among them.
[[nodiscard]] QByteArray MixedReplyBytes(qsizetype size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const int run = random.bounded(1, 41);
        for (int i = 0; i < run && bytes.size() < size; ++i) bytes.append(static_cast<char>(random.bounded(32, 127)));
        if (bytes.size() < size) {
            const int other = random.bounded(161);  // 0..31, then 127..255
            bytes.append(static_cast<char>(other < 32 ? other : other + 95));
        }
    }
    return bytes;
}

}  // namespace

class FaultTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init() {
        kivo::test::ForgetSettings();  // no copy count kept from the test before
        deadline_.Start();
    }
    void cleanup() {
        const QString expired = deadline_.Expired();
        QVERIFY2(expired.isEmpty(), qPrintable(expired));
    }

    void printerResetsInTheMiddleOfAJob_data();
    void printerResetsInTheMiddleOfAJob();
    void ticketsAreDoneOnlyOnThePrintersAnswers_data();
    void ticketsAreDoneOnlyOnThePrintersAnswers();
    void aFileThatGoesAwayIsNamedWithWhatWasTaken_data();
    void aFileThatGoesAwayIsNamedWithWhatWasTaken();
    void printerResetsRightAfterTheConnect();
    void printerClosesInTheMiddleOfAFileAndTheWindowDisconnects();
    void printerThatNeverReadsWaitsUntilDisconnect();
    void closingTheWindowEndsAWaitingSendAndLeavesNothingOpen();
    void floodWhileSendingLosesNoByteEitherWay();
    void clicksDuringALongSendGoOutWholeInClickOrder();

private:
    QTemporaryDir dir_;
    kivo::test::TestDeadline deadline_{120000};
};

void FaultTest::initTestCase() {
    // A send on a dead connection must not raise SIGPIPE; if it did, this process
    // would end here with it.
    std::signal(SIGPIPE, SIG_DFL);
    QVERIFY(dir_.isValid());
}

enum class Job { TypedCommand, TextFile, PcxImage, VekTickets };
Q_DECLARE_METATYPE(Job)

void FaultTest::printerResetsInTheMiddleOfAJob_data() {
    // clang-format off
    QTest::addColumn<Job>("job");
    QTest::addColumn<qsizetype>("resetAfter");  // bytes the printer takes before it resets
    QTest::newRow("typed command") << Job::TypedCommand << qsizetype(2000);
    QTest::newRow("text file") << Job::TextFile << qsizetype(256 * 1024);
    QTest::newRow("PCX download") << Job::PcxImage << qsizetype(256 * 1024);
    QTest::newRow("100 VEK test tickets") << Job::VekTickets << qsizetype(8000);
    // clang-format on
}

void FaultTest::printerResetsInTheMiddleOfAJob() {
    QFETCH(Job, job);
    QFETCH(qsizetype, resetAfter);
    LoopbackPrinter printer(9100);
    QVERIFY(printer.Listening());
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));

    // What the job puts on the wire when nothing goes wrong, and the click that starts it.
    QByteArray whole;
    QAbstractButton* button = nullptr;
    QString path;
    switch (job) {
    case Job::TypedCommand: {
        QString command;
        for (int i = 0; i < 30000; ++i) command.append(QLatin1Char("<RC10,20>KIVO 0123456789"[i % 24]));
        Field(w, "TxtCmd")->setText(command);
        QCOMPARE(Field(w, "TxtCmd")->text().size(), qsizetype(30000));
        whole = command.toLatin1();
        button = Button(w, "CmdText");
        break;
    }
    case Job::TextFile:
        whole = RandomBytes(4 * kMiB, 1);
        path = WrittenFile(dir_, "reset.txt", whole);
        button = Button(w, "CmdFile");
        break;
    case Job::PcxImage: {
        const QByteArray image = RandomBytes(2 * kMiB, 2);
        path = WrittenFile(dir_, "reset.pcx", image);
        whole = "<SP100,100><pcx><G" + QByteArray::number(image.size()) + '>' + image + "<p>";
        button = Button(w, "CmdPcxFile");
        break;
    }
    case Job::VekTickets: {
        const QByteArray ticket = ReadFile(platform::ProgramFolder() + QStringLiteral("/vek_test.txt"));
        QVERIFY(!ticket.isEmpty());
        for (int copy = 1; copy <= 100; ++copy) whole += "<RL><F6><RC90,40>" + QByteArray::number(copy) + ticket;
        Field(w, "TxtCount")->setText(QStringLiteral("100"));
        button = Button(w, "CmdVEKTest");
        break;
    }
    }
    DialogAnswer choices(w, QStringList{path});
    choices.answers = {0};  // a PCX of random bytes goes "As It Is" (no Convert is offered)
    OnceReceived(printer, resetAfter, [&printer] { printer.Reset(); });
    const Watchdog watchdog(w, 30000);
    QTimer::singleShot(0, button, [button] { button->click(); });
    deadline_.Waiting(QStringLiteral("the job to end after the printer reset the connection"));
    QTRY_VERIFY_WITH_TIMEOUT(!printer.HasClient() && !w.Session().Busy(), 40000);
    QVERIFY(!watchdog.Fired());

    const QByteArray received = printer.Received();
    QVERIFY2(NotAPrefix(received, whole).isEmpty(), qPrintable(NotAPrefix(received, whole)));
    QVERIFY(received.size() >= resetAfter);
    QVERIFY2(received.size() < whole.size(), "the reset came after the job had ended");

    // The lost connection in its own line with its error, whether a read or a
    // send met the reset first, the job cut short in one line however many
    // pieces or copies were left, and the window back in its disconnected state.
    QTRY_VERIFY(!w.Connected());
    QStringList lines = w.OutgoingLog().Lines();
    QStringList shortLines = lines;  // the typed command's line would hide the rest
    for (QString& line : shortLines)
        if (line.size() > 200) line = line.left(60) + QStringLiteral("...");
    QCOMPARE(lines.count(QStringLiteral("Lost connection with printer")), 1);
    QVERIFY2(lines.count(LossReason(ws::WSAECONNRESET)) == 1, qPrintable(shortLines.join(" | ")));
    QCOMPARE(CountStartingWith(lines, QStringLiteral("Error while sending")), 0);
    QCOMPARE(CountStartingWith(lines, QStringLiteral("Cut short: ")), 1);
    QCOMPARE(CountStartingWith(lines, QStringLiteral("Send canceled")), 0);
    QCOMPARE(w.PrinterSocketHandle(), -1);

    // The window answers the operator's next click at once, and nothing goes out.
    const qint64 answerMs = ClickAnswerMs(button, [] { return true; });
    QVERIFY2(answerMs >= 0, "the click was not answered");
    QCOMPARE(w.OutgoingLog().Lines(), lines);
    QCOMPARE(printer.Received(), received);
    QCOMPARE(Button(w, "CmdConnect")->text(), QStringLiteral("Connect"));
}

void FaultTest::ticketsAreDoneOnlyOnThePrintersAnswers_data() {
    // clang-format off
    QTest::addColumn<QByteArray>("answers");  // the printer's answers to the print commands it reads
    QTest::addColumn<qsizetype>("readLimit"); // bytes it reads before it ends the connection; -1: all
    QTest::addColumn<QString>("end");         // then: "reset", "close", or "" to stay connected
    QTest::addColumn<QStringList>("lines");   // patterns of the lines after the job's own; %1 the job's bytes
    const QString job = "20 copies of vek_test\\.txt";
    const QByteArray acks(20, '\x06');
    QTest::newRow("every print command answered, one NAK")
        << QByteArray(19, '\x06') + '\x15' << qsizetype(-1) << ""
        << QStringList{"^Done: " + job + ", %1 bytes, taken by the printer in [0-9.]+ s; 20 answers: 19 Ticket ACK, "
                       "1 Ticket NAK$"};
    // The whole job fits the printer's buffer and is acknowledged at once: only
    // the answers tell what it printed.
    QTest::newRow("a reset after 5,000 bytes and 9 answers")
        << acks << qsizetype(5000) << "reset"
        << QStringList{"^Lost connection with printer$", "^" + QRegularExpression::escape(LossReason(ws::WSAECONNRESET)) + "$",
                       "^Cut short: " + job + ": the printer reset the connection after acknowledging [0-9,]+ of %1 "
                       "bytes; it answered 9 of 20 print commands \\(9 Ticket ACK\\)$"};
    QTest::newRow("9 answers, then the printer closes")
        << QByteArray(9, '\x06') << qsizetype(-1) << "close"
        << QStringList{"^Lost connection with printer$",
                       "^Cut short: " + job + ": the printer closed the connection after acknowledging %1 of %1 "
                       "bytes; it answered 9 of 20 print commands \\(9 Ticket ACK\\)$"};
    QTest::newRow("no answer: unconfirmed, and late answers logged")
        << QByteArray() << qsizetype(-1) << ""
        << QStringList{"^Unconfirmed: " + job + ", taken by the printer, but 20 of 20 print commands unanswered "
                       "after 1 s$"};
    // clang-format on
}

// A ticket job to a printer with its own buffers is done only once the printer
// has answered every print command; a printer that goes away first or says
// nothing is named with the answers it gave.
void FaultTest::ticketsAreDoneOnlyOnThePrintersAnswers() {
    QFETCH(QByteArray, answers);
    QFETCH(qsizetype, readLimit);
    QFETCH(QString, end);
    QFETCH(QStringList, lines);
    const QString path = platform::ProgramFolder() + QStringLiteral("/vek_test.txt");
    const QByteArray ticket = ReadFile(path);
    QByteArray whole;
    for (int copy = 1; copy <= 20; ++copy) whole += "<RL><F6><RC90,40>" + QByteArray::number(copy) + ticket;
    QCOMPARE(whole.left(5000).count("<p>"), 9);
    LoopbackPrinter printer(9100);
    printer.AnswerPrintCommands(answers);
    if (readLimit >= 0) printer.ReadAtMost(readLimit);
    OnceReceived(printer, readLimit >= 0 ? readLimit : whole.size(), [&] {
        if (end == "reset") printer.Reset();
        if (end == "close") printer.Close();
    });
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.Session().SetAnswerWait(1);
    w.ClearLogs();
    Field(w, "TxtCount")->setText(QStringLiteral("20"));
    Button(w, "CmdVEKTest")->click();
    deadline_.Waiting(QStringLiteral("the ticket job to settle"));
    QTRY_VERIFY_WITH_TIMEOUT(w.OutgoingLog().Count() > lines.size(), 20000);

    const QStringList after = w.OutgoingLog().Lines();
    QCOMPARE(after.value(0), "Sending  " + path);
    QVERIFY2(after.size() == lines.size() + 1, qPrintable(after.join(" | ")));
    for (qsizetype i = 0; i < lines.size(); ++i)
        QVERIFY2(
            QRegularExpression(QString(lines[i]).replace("%1", Grouped(whole.size()))).match(after[i + 1]).hasMatch(),
            qPrintable(after[i + 1]));
    // A fault among the answers gives the line its colour.
    QCOMPARE(w.OutgoingLog().LineSeverity(lines.size()) == Severity::Fault, answers.contains('\x15') || !end.isEmpty());
    // Every answer the printer gave is in the incoming log, late ones too.
    if (answers.isEmpty()) printer.Send(QByteArray(20, '\x06'));
    const auto acks = [&w] { return w.IncomingLog().Lines().count(ReplyByteLine(0x06)); };
    QTRY_COMPARE(acks(), answers.isEmpty() ? 20 : static_cast<int>(answers.left(readLimit < 0 ? 20 : 9).count('\x06')));
    QCOMPARE(w.OutgoingLog().Lines(), after);  // and no Done after a late answer
    QCOMPARE(w.Connected(), end.isEmpty());
}

void FaultTest::aFileThatGoesAwayIsNamedWithWhatWasTaken_data() {
    // clang-format off
    QTest::addColumn<int>("copies");
    QTest::addColumn<int>("goneAfter");       // copies handed before the file goes; -1: before its turn
    QTest::addColumn<QStringList>("lines");   // %1 the file's path
    const QString cannot = "Cannot send file %1: No such file or directory";
    const QString marker = "Queued behind the running send: HP Form Feed";
    const QString markerSent = "Sending an PCL Form Feed to IP Address %2";
    QTest::newRow("removed after it was chosen, before its turn")
        << 1 << -1 << QStringList{"Sending an VEK Form Feed to IP Address %2",
                                  "Queued behind the running send: Send Text File", marker,
                                  "Sending file %1 to IP Address %2", cannot, markerSent};
    // The printer has acknowledged exactly the end of the second copy.
    QTest::newRow("removed after two of three copies")
        << 3 << 2 << QStringList{"Sending 3 copies of file %1 to IP Address %2", marker, cannot, markerSent,
                                 QStringLiteral("Cut short: 3 copies of gone.txt, the printer acknowledged 2,000 of "
                                                "3,000 bytes (2 of 3 copies); 1,000 not delivered")};
    // clang-format on
}

// A file removed after it was chosen is named, with what the printer took of it.
void FaultTest::aFileThatGoesAwayIsNamedWithWhatWasTaken() {
    QFETCH(int, copies);
    QFETCH(int, goneAfter);
    QFETCH(QStringList, lines);
    const QString path = WrittenFile(dir_, "gone.txt", RandomBytes(1000, 10));
    QVERIFY(!path.isEmpty());
    LoopbackPrinter printer(9100);
    frmkivo w;
    DialogAnswer choices(w, path);
    QVERIFY(ConnectWindow(w, printer));
    w.Session().SetAnswerWait(1);
    w.ClearLogs();
    int copiesHanded = 0;
    connect(&w.Session().Connection(), &PrinterConnection::CopyHanded, &w, [&] {
        if (++copiesHanded == goneAfter) QFile::remove(path);
    });
    Field(w, "TxtCount")->setText(QString::number(copies));
    if (goneAfter < 0) Button(w, "CmdVekFF")->click();
    Button(w, "CmdFile")->click();
    if (goneAfter < 0) QFile::remove(path);
    const QByteArray marker = kivo::test::SendMarker(w);

    // The marker's form feed, unanswered, settles after every job before it.
    QTRY_VERIFY(w.OutgoingLog().Lines().last().startsWith("Unconfirmed: HP Form Feed"));
    QCOMPARE(printer.Received().size(), (goneAfter < 0 ? 3 : 1000 * goneAfter) + marker.size());
    const QStringList expected = lines.replaceInStrings("%1", path).replaceInStrings("%2", printer.Address());
    QCOMPARE(w.OutgoingLog().Lines().filter(QRegularExpression("^(?!Done|Unconfirmed)")), expected);
}

void FaultTest::printerResetsRightAfterTheConnect() {
    ResettingPrinter printer;
    QVERIFY(printer.Listening());
    frmkivo w;
    Field(w, "IP_Address")->setText(printer.Address());
    const QString at = printer.Address() + QStringLiteral(" on port 9100");
    // The reset may beat the end of the connect or come just after it, depending on
    // the printer's delay and the scheduler; either outcome has its lines.
    int refused = 0;
    for (int round = 0; round < 20; ++round) {
        w.ClearLogs();
        deadline_.Waiting(QStringLiteral("a connect to a printer that resets at once"));
        // Connect is clicked until a connect starts: the window drops a click that
        // comes within half a second of the last round's loss.
        QVERIFY(kivo::test::StartConnect(w));
        QTRY_VERIFY(w.Session().GetState() != PrinterSession::State::Connecting);
        QStringList lines = w.OutgoingLog().Lines();
        QCOMPARE(lines.value(0), "Attempting to establish a connection with the printer at " + at);
        if (lines.value(1) != "Connection made to " + at) {
            QCOMPARE(lines.value(1), "Error while connecting to the printer " + at);
            QVERIFY2(lines.size() == 3 && lines[2].startsWith(QLatin1String("Error 100")),
                     qPrintable(lines.join(" | ")));
            ++refused;
            continue;
        }
        QCOMPARE(lines.value(1), "Connection made to " + at);
        // Its error, if it has one, is written with it.
        QTRY_VERIFY(w.OutgoingLog().Lines().contains(QStringLiteral("Lost connection with printer")));
        lines = w.OutgoingLog().Lines();
        QCOMPARE(lines.count(QStringLiteral("Lost connection with printer")), 1);
        const QStringList afterLoss = lines.mid(lines.indexOf(QStringLiteral("Lost connection with printer")) + 1);
        QVERIFY2(afterLoss == QStringList{LossReason(ws::WSAECONNRESET)}, qPrintable(afterLoss.join(" | ")));

        // The window is back in its disconnected state: a click sends nothing.
        QVERIFY(!w.Connected());
        Button(w, "CmdVekFF")->click();
        QCOMPARE(w.OutgoingLog().Lines(), lines);
    }
    QTRY_COMPARE(printer.Resets(), 20);
    qInfo("%d of 20 connects failed, the others were lost after they were made", refused);
    const qint64 answerMs = ClickAnswerMs(Button(w, "CmdClear"), [&w] { return w.OutgoingLog().Count() == 0; });
    QVERIFY2(answerMs >= 0, "the click was not answered");
}

void FaultTest::printerClosesInTheMiddleOfAFileAndTheWindowDisconnects() {
    const QByteArray file = RandomBytes(4 * kMiB, 3);
    const QString path = WrittenFile(dir_, "closed.txt", file);
    QVERIFY(!path.isEmpty());
    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    w.ClearLogs();
    DialogAnswer choices(w, QStringList{path, path});
    OnceReceived(printer, 256 * 1024, [&printer] { printer.CloseMidJob(); });
    const Watchdog watchdog(w, 30000);
    QTimer::singleShot(0, Button(w, "CmdFile"), [&w] { Button(w, "CmdFile")->click(); });
    deadline_.Waiting(QStringLiteral("the file send to end after the printer closed"));
    QTRY_VERIFY_WITH_TIMEOUT(!printer.HasClient() && !w.Session().Busy(), 40000);
    QVERIFY(!watchdog.Fired());

    const QByteArray received = printer.Received();
    QVERIFY2(NotAPrefix(received, file).isEmpty(), qPrintable(NotAPrefix(received, file)));
    QVERIFY(received.size() >= 256 * 1024 && received.size() < file.size());
    // The printer closed in order, so the loss carries no error of its own. The
    // file is cut short; its bytes the printer had not taken are named, and the
    // send's own error comes only if it met the closed connection first.
    QTRY_VERIFY(!w.Connected());
    const QString sending = "Sending file " + path + " to IP Address " + printer.Address();
    QStringList lines = w.OutgoingLog().Lines();
    QCOMPARE(lines.value(0), sending);
    QCOMPARE(lines.count(QStringLiteral("Lost connection with printer")), 1);
    QCOMPARE(CountStartingWith(lines, QStringLiteral("Error while sending")), 0);
    // What the printer acknowledged is at least what it read, and at most that and
    // its small receive buffer: never a false Done.
    const QStringList cut =
        lines.filter(QRegularExpression("^Cut short: 1 copy of closed.txt, the printer acknowledged "
                                        "[0-9,]+ of 4,194,304 bytes; [0-9,]+ not delivered$"));
    QVERIFY2(cut.size() == 1, qPrintable(lines.join(" | ")));
    QVERIFY(lines.filter(QRegularExpression("^Done: ")).isEmpty());
    const qint64 acked = QLocale(QLocale::English).toLongLong(cut[0].section(' ', 9, 9));
    QVERIFY2(acked >= received.size() && acked <= received.size() + 16 * 1024,
             qPrintable(QStringLiteral("read %1, acknowledged %2").arg(received.size()).arg(acked)));
    QVERIFY(lines.filter(QRegularExpression("bytes? not delivered: ")).size() <= 1);

    // The operator's next click sends nothing.
    const qint64 answerMs = ClickAnswerMs(Button(w, "CmdFile"), [] { return true; });
    QVERIFY2(answerMs >= 0, "the click was not answered");
    QCOMPARE(w.OutgoingLog().Lines(), lines);
    QCOMPARE(printer.Received(), received);
}

void FaultTest::printerThatNeverReadsWaitsUntilDisconnect() {
    const QByteArray file = RandomBytes(50 * kMiB, 4);
    const QString path = WrittenFile(dir_, "fifty.txt", file);
    QVERIFY(!path.isEmpty());
    LoopbackPrinter printer(9100);
    printer.UseSmallBuffers(4096);
    frmkivo w;
    QVERIFY(ConnectWindow(w, printer));
    w.ClearLogs();
    bool stalled = false;
    OnceReceived(printer, 64 * 1024, [&] {
        printer.SetReading(false);
        stalled = true;
    });
    DialogAnswer choices(w, QStringList{path});

    bool clickedWhileWaiting = false;
    qsizetype receivedWhenStalled = -1;
    Steps steps;
    steps.Then("click Send Text File", [&w] { Button(w, "CmdFile")->click(); })
        .When(
            "the send waits for a printer that reads no more", [&] { return stalled && SendWaitsForRoom(w); },
            [&] {
                receivedWhenStalled = printer.Received().size();
                QTimer::singleShot(0, &w, [&] {
                    clickedWhileWaiting = SendWaitsForRoom(w);
                    Field(w, "TxtCmd")->setText(QStringLiteral("<never sent>"));
                    Button(w, "CmdText")->click();
                    Button(w, "CmdVekFF")->click();
                });
            })
        .When(
            "the progress shows the send still waiting",
            [&] {
                return w.Session().Queued() == 2 && SendWaitsForRoom(w) &&
                       !w.findChild<QWidget*>(QStringLiteral("PrgSend"))->isHidden();
            },
            [&w] { Button(w, "CmdConnect")->click(); })
        // Reconnected at once: not one byte of the canceled send may reach the new
        // connection.
        .Then("connect again", [&w] { Button(w, "CmdConnect")->click(); })
        .When(
            "the window has the new connection", [&] { return printer.Connections() == 2 && w.Connected(); },
            [&] {
                printer.SetReading(true);
                Field(w, "TxtCmd")->setText(QStringLiteral("<after>"));
                Button(w, "CmdText")->click();
            });
    const Watchdog watchdog(w, 45000);
    deadline_.Waiting(QStringLiteral("the steps with a printer that stopped reading"));
    const QString failure = RunStepsUntilSendsEnd(steps, w, watchdog, 60000);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    QVERIFY(clickedWhileWaiting);  // the clicks were answered during the wait
    QTRY_VERIFY(printer.Received().endsWith("<after>"));
    const QByteArray first = printer.Received().chopped(7);
    QCOMPARE(first.size(), receivedWhenStalled);
    QVERIFY2(NotAPrefix(first, file).isEmpty(), qPrintable(NotAPrefix(first, file)));

    const QString address = printer.Address();
    const QString at = address + QStringLiteral(" on port 9100");
    const QStringList lines = w.OutgoingLog().Lines();
    QVERIFY2(lines.size() == 9, qPrintable(lines.join(" | ")));
    QCOMPARE(lines.mid(0, 3), (QStringList{"Sending file " + path + " to IP Address " + address,
                                           "Queued behind the running send: Send Text",
                                           "Queued behind the running send: VEK Form Feed"}));
    QVERIFY2(QRegularExpression("^Send canceled by Disconnect: 1 copy of fifty.txt, the printer acknowledged [0-9,]+ "
                                "of 52,428,800 bytes; 2 queued sends dropped: Send Text, VEK Form Feed$")
                 .match(lines[3])
                 .hasMatch(),
             qPrintable(lines[3]));
    QVERIFY2(QRegularExpression("^[0-9,]+ bytes not delivered: discarded at your request$").match(lines[4]).hasMatch(),
             qPrintable(lines[4]));
    QCOMPARE(lines.mid(5),
             (QStringList{"Disconnected from " + at, "Attempting to establish a connection with the printer at " + at,
                          "Connection made to " + at, "Sending text =><after> to IP Address " + address}));
    QCOMPARE(printer.Connections(), 2);
}

void FaultTest::closingTheWindowEndsAWaitingSendAndLeavesNothingOpen() {
    const QString path = WrittenFile(dir_, "closing.txt", RandomBytes(50 * kMiB, 5));
    QVERIFY(!path.isEmpty());
    {  // Whatever Qt opens once, on first use, is open before the count.
        LoopbackPrinter printer(9100);
        frmkivo w;
        QVERIFY(ConnectWindow(w, printer));
        Button(w, "CmdConnect")->click();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const int before = kivo::test::OpenDescriptorCount();

    QStringList lines;
    qint64 closeMs = -1;
    {
        LoopbackPrinter printer(9100);
        printer.UseSmallBuffers(4096);
        auto* w = new frmkivo;
        DialogAnswer choices(*w, QStringList{path});
        choices.answers = {1};  // the close question: Discard and Close
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->show();
        const QPointer<frmkivo> alive(w);
        connect(&w->OutgoingLog(), &QAbstractItemModel::rowsInserted, this,
                [w, &lines](const QModelIndex&, int first, int last) {
                    for (int row = first; row <= last; ++row) lines << w->OutgoingLog().Line(row);
                });
        QVERIFY(ConnectWindow(*w, printer));
        printer.SetReading(false);
        QElapsedTimer clock;
        bool stillShownAfterClose = false;
        Steps steps;
        steps.Then("click Send Text File", [w] { Button(*w, "CmdFile")->click(); })
            .When(
                "the send waits", [w] { return SendWaitsForRoom(*w); },
                [&, w] {
                    Button(*w, "CmdVekFF")->click();
                    clock.start();
                    w->close();
                    stillShownAfterClose = w->isVisible();
                });
        const Watchdog watchdog(*w, 30000);
        steps.Start([alive] {
            if (alive && alive->Connected()) Button(*alive, "CmdConnect")->click();
        });
        deadline_.Waiting(QStringLiteral("the window to close while its send waits"));
        QTRY_VERIFY_WITH_TIMEOUT(steps.Finished() && alive.isNull(), 30000);
        closeMs = clock.elapsed();
        QVERIFY2(steps.Failure().isEmpty(), qPrintable(steps.Failure()));
        QVERIFY(!stillShownAfterClose);  // the answer discards at once: nothing to unwind
        QVERIFY(!watchdog.Fired());
    }
    QVERIFY2(closeMs < 10000, qPrintable(QString::number(closeMs)));  // only a close that hangs takes this long
    // The queued form feed never started, and a canceled send is no error: closing
    // is a Disconnect, with its lines.
    QCOMPARE(lines.size(), 7);
    QVERIFY(lines.at(2).startsWith(QStringLiteral("Sending file ")));
    QCOMPARE(lines.at(3), QStringLiteral("Queued behind the running send: VEK Form Feed"));
    QVERIFY2(lines.at(4).startsWith(QStringLiteral("Send canceled by Disconnect: 1 copy of closing.txt, ")) &&
                 lines.at(4).endsWith(QStringLiteral("; 1 queued send dropped: VEK Form Feed")),
             qPrintable(lines.at(4)));
    QVERIFY2(lines.at(5).endsWith(QStringLiteral(" bytes not delivered: discarded at your request")),
             qPrintable(lines.at(5)));
    QVERIFY(lines.at(6).startsWith(QStringLiteral("Disconnected from ")));
    QTRY_VERIFY2(kivo::test::OpenDescriptorCount() <= before,
                 qPrintable(QStringLiteral("%1 open, %2 before").arg(kivo::test::OpenDescriptorCount()).arg(before)));
}

void FaultTest::floodWhileSendingLosesNoByteEitherWay() {
    const QByteArray file = RandomBytes(kFloodBytes, 6);
    const QString path = WrittenFile(dir_, "both_ways.txt", file);
    QVERIFY(!path.isEmpty());
    const QByteArray flood = MixedReplyBytes(kFloodBytes, 7);
    LoopbackPrinter printer(9100);
    // Buffers of 64 KiB each way, so neither side gets far ahead: the window must
    // read the printer's bytes while its own send waits, or both would stall.
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer, 64 * 1024));
    DialogAnswer choices(w, QStringList{path});
    IncomingAccount account(flood);
    QElapsedTimer clock;
    clock.start();
    printer.Send(flood);
    bool clickedWhileSending = false;
    Steps steps;
    steps.Then("click Send Text File", [&w] { Button(w, "CmdFile")->click(); })
        .When(
            "the send waits while replies are logged",
            [&w] { return SendWaitsForRoom(w) && w.IncomingLog().Count() > 0; },
            [&] { QTimer::singleShot(0, &w, [&] { clickedWhileSending = w.Session().Busy(); }); });
    const Watchdog watchdog(w, 60000);
    deadline_.Waiting(QStringLiteral("the flood both ways to end"));
    const QString failure = RunStepsUntilSendsEnd(steps, w, watchdog, 80000);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    const qint64 sendMs = clock.elapsed();
    QVERIFY(clickedWhileSending);  // the window answered during the send
    const auto accounted = [&] {
        account.Advance(w.IncomingLog());
        return account.Bytes() == flood.size() || !account.Error().isEmpty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(accounted(), 80000);
    qInfo("%lld bytes each way: sent in %lld ms, all replies logged in %lld ms", static_cast<long long>(kFloodBytes),
          static_cast<long long>(sendMs), static_cast<long long>(clock.elapsed()));

    QTRY_COMPARE(printer.Received().size(), file.size());
    QVERIFY(printer.Received() == file);
    QVERIFY2(account.Error().isEmpty(), qPrintable(account.Error()));
    QCOMPARE(account.Bytes(), flood.size());
    QTRY_COMPARE(w.OutgoingLog().Count(), 4);
    QCOMPARE(w.OutgoingLog().Line(2), "Sending file " + path + " to IP Address " + printer.Address());
    QVERIFY2(w.OutgoingLog().Line(3).startsWith("Done: 1 copy of both_ways.txt, " + Grouped(kFloodBytes) +
                                                " bytes, taken by the printer in "),
             qPrintable(w.OutgoingLog().Line(3)));
    const qint64 answerMs = ClickAnswerMs(Button(w, "CmdClear"), [&w] { return w.IncomingLog().Count() == 0; });
    QVERIFY2(answerMs >= 0, "the click was not answered");
}

void FaultTest::clicksDuringALongSendGoOutWholeInClickOrder() {
    const QByteArray fileA = RandomBytes(kMiB + 3, 8);
    const QByteArray fileB = RandomBytes(256 * 1024 + 1, 9);
    const QString pathA = WrittenFile(dir_, "first.txt", fileA);
    const QString pathB = WrittenFile(dir_, "second.prn", fileB);
    QVERIFY(!pathA.isEmpty() && !pathB.isEmpty());
    const QString hpPath = platform::ProgramFolder() + QStringLiteral("/hp_id.prn");
    const QByteArray hp = ReadFile(hpPath);
    QVERIFY(!hp.isEmpty());

    LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ConnectWithSmallBuffers(w, printer));
    printer.SetReading(false);
    w.ClearLogs();
    DialogAnswer choices(w, QStringList{pathA, pathB});
    int queued = -1;
    Steps steps;
    steps.Then("click Send Text File", [&w] { Button(w, "CmdFile")->click(); })
        .When(
            "the send waits", [&w] { return SendWaitsForRoom(w); },
            [&] {
                // The printer reads again from the next turn of the event loop on;
                // clicks that did not wait their turn would get their bytes in now.
                printer.SetReading(true);
                // Each click takes the fields as they are at that click.
                Field(w, "TxtCmd")->setText(QStringLiteral("<T1>"));
                Button(w, "CmdText")->click();
                Field(w, "TxtCmd")->setText(QStringLiteral("65"));
                Button(w, "CmdAscii")->click();
                Button(w, "CmdVekFF")->click();
                Button(w, "CmdPclFF")->click();
                Field(w, "TxtCount")->setText(QStringLiteral("2"));
                Button(w, "CmdHPTest")->click();
                Field(w, "TxtCmd")->setText(QStringLiteral("<T2>"));
                Button(w, "CmdText")->click();
                Field(w, "TxtCount")->setText(QStringLiteral("1"));
                Button(w, "CmdFile")->click();
                Field(w, "TxtCmd")->setText(QStringLiteral("<not clicked>"));
                queued = w.Session().Queued();
            });
    const Watchdog watchdog(w, 45000);
    deadline_.Waiting(QStringLiteral("the clicks queued behind a long send to go out"));
    const QString failure = RunStepsUntilSendsEnd(steps, w, watchdog, 60000);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(queued, 7);

    const QByteArray expected = fileA + "<T1>" + "A" + "<p>" + "\x0c" + hp + hp + "<T2>" + fileB;
    QTRY_COMPARE_WITH_TIMEOUT(printer.Received().size(), expected.size(), 20000);
    QVERIFY2(printer.Received() == expected, qPrintable(NotAPrefix(printer.Received(), expected)));
    const QString to = QStringLiteral(" to IP Address ") + printer.Address();
    // Each click says at once that it waits its turn. The files are done once the
    // printer has taken them; the form feeds and the tickets once it has answered
    // their print commands too, its answers going to them in order.
    printer.Send(QByteArray(4, '\x06'));
    QTRY_COMPARE(CountStartingWith(w.OutgoingLog().Lines(), QStringLiteral("Done: ")), 5);
    const QStringList lines = w.OutgoingLog().Lines();
    const QString behind = QStringLiteral("Queued behind the running send: ");
    QCOMPARE(lines.filter(QRegularExpression("^(?!Done: )")),
             (QStringList{"Sending file " + pathA + to, behind + "Send Text", behind + "Send Ascii ",
                          behind + "VEK Form Feed", behind + "HP Form Feed", behind + "HP Test Ticket",
                          behind + "Send Text", behind + "Send Text File", "Sending text =><T1>" + to,
                          "Sending Ascii =>65" + to, "Sending an VEK Form Feed" + to, "Sending an PCL Form Feed" + to,
                          "Sending  " + hpPath, "Sending text =><T2>" + to, "Sending file " + pathB + to}));
    // (The last file's Done and the answers come in either order.)
    QStringList done = lines.filter(QRegularExpression("^Done: "))
                           .replaceInStrings(QRegularExpression(" in [0-9.]+ s"), QStringLiteral(" in N s"));
    done.sort();
    const QString taken = QStringLiteral(" bytes, taken by the printer in N s");
    QCOMPARE(done, (QStringList{
                       "Done: 1 copy of first.txt, " + Grouped(fileA.size()) + taken,
                       "Done: 1 copy of second.prn, " + Grouped(fileB.size()) + taken,
                       "Done: 2 copies of hp_id.prn, " + Grouped(2 * hp.size()) + taken + "; 2 answers: 2 Ticket ACK",
                       "Done: HP Form Feed, 1 byte, taken by the printer in N s; 1 answer: 1 Ticket ACK",
                       "Done: VEK Form Feed, 3 bytes, taken by the printer in N s; 1 answer: 1 Ticket ACK"}));
}

QTEST_MAIN(FaultTest)
#include "fault_test.moc"
