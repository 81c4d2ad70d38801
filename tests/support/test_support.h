// Shared pieces of the tests that need no window: printers on loopback, a
// console that keeps its lines in plain lists, files of pattern bytes, a private
// network namespace, and a settings folder of the test program's own. The
// window's own helpers are in window_support.h.
#pragma once

#include "link/console_port.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTimer>

#include <functional>

namespace kivo::test {

// Whether the tests run under AddressSanitizer, which makes them several times
// slower: heavy cases size their data down.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// A network namespace of the test's own for the calling thread, loopback up.
// Threads it starts share it; the thread returns to its own namespace when the
// object goes. Error() says why none could be made (it needs CAP_SYS_ADMIN).
class PrivateNetwork {
public:
    PrivateNetwork();
    ~PrivateNetwork();
    PrivateNetwork(const PrivateNetwork&) = delete;
    PrivateNetwork& operator=(const PrivateNetwork&) = delete;

    [[nodiscard]] const QString& Error() const { return error_; }
    // Sets /proc/sys/net/ipv4/<name> inside the namespace; false when it cannot,
    // and WriteError() says why.
    bool SetIpv4(const char* name, const char* value);
    [[nodiscard]] const QString& WriteError() const { return writeError_; }
    // Gives loopback the MTU of an Ethernet link (1500), so TCP meets the
    // segment sizes and the small windows of a real printer; false when it cannot.
    bool SetLoopbackMtu(int mtu);

private:
    int saved_;
    bool entered_ = false;
    QString error_;
    QString writeError_;
};

// A printer on 127.0.0.1: accepts connections, keeps every byte it receives, and
// can answer, stop reading, or reset the connection. It stops with the test.
class LoopbackPrinter : public QObject {
    Q_OBJECT
public:
    // Listens on 127.0.0.1 on a free port.
    explicit LoopbackPrinter(QObject* parent = nullptr);
    // Listens on the given port of a loopback address of its own (127.x.y.z), so
    // tests can use the printer port 9100 without taking it from anyone.
    explicit LoopbackPrinter(quint16 port, QObject* parent = nullptr);
    ~LoopbackPrinter() override;

    [[nodiscard]] quint16 Port() const { return server_.serverPort(); }
    [[nodiscard]] QString Address() const { return server_.serverAddress().toString(); }
    [[nodiscard]] bool Listening() const { return server_.isListening(); }
    [[nodiscard]] const QByteArray& Received() const { return received_; }
    [[nodiscard]] bool HasClient() const { return client_ != nullptr; }
    [[nodiscard]] int Connections() const { return connections_; }

    // Sends bytes to the connected client.
    void Send(const QByteArray& bytes);
    // Reading on and off; while off, the kernel buffers fill and sends wait.
    void SetReading(bool reading);
    // Closes the connection with a reset (RST) or in order (FIN).
    void Reset();
    void Close();
    // Closes its end in order (FIN) and drops the connection at once, as a printer
    // that closes in the middle of a job: bytes still on their way get a reset.
    void CloseMidJob();
    // Small kernel buffers for the next connections, so a send fills them fast.
    // Set on the listening socket, so the connection starts with them (a buffer
    // shrunk after the handshake makes TCP drop and retransmit).
    void UseSmallBuffers(int bytes);
    // A slow printer: from now on reads at most `bytes` every `intervalMs`, so the
    // kernel buffers fill and sends go through in parts. SetReading ends it.
    void ReadSlowly(int bytes, int intervalMs);
    // From now on answers each print command it reads ("<p>", or the form feed,
    // byte 12) at once with `answer`. After `limit` answers (-1: no limit) it
    // resets the connection, or, when `reset` is false, ends its sending side in
    // order and reads on.
    void AnswerPrintCommands(int limit = -1, bool reset = true, char answer = '\x06');
    // Reads what has arrived, waiting up to 5 s for something if nothing has, and
    // not for the event loop's turn: from within a send, so that the printer acts
    // while the sender is busy. False when nothing came.
    bool ReadNow();
    // Answers each print command "<p>" it reads with the next of `answers`, one
    // status byte each, as a ticket printer does; none once they run out.
    void AnswerPrintCommands(QByteArray answers);
    [[nodiscard]] int Answered() const { return answered_; }
    // Reads no more than `bytes` in all; the rest stays unread, as with a printer
    // that resets or stops part way.
    void ReadAtMost(qsizetype bytes) { readLimit_ = bytes; }

signals:
    void bytesReceived();

private:
    void OnNewConnection();
    void ReadAvailable();
    void ReadSomeSlowly();
    // After bytes arrived: answers the print commands among them when asked to, then tells.
    void Arrived();
    // Keeps bytes read, then as Arrived.
    void Take(const QByteArray& bytes);

    QTcpServer server_;
    QPointer<QTcpSocket> client_;
    QByteArray received_;
    bool reading_ = true;
    int connections_ = 0;
    int smallBuffers_ = 0;
    int slowPiece_ = 0;
    QTimer slowTimer_;
    bool answering_ = false;
    int answerLimit_ = -1;
    bool answerReset_ = true;  // at the limit: reset, else end the sending side (-1 for a script)
    bool endAtLimit_ = true;
    bool formFeedsToo_ = true;  // byte 12 is a print command too
    char answer_ = '\x06';
    QByteArray answerScript_;  // the answers in turn, when given
    int answered_ = 0;
    qsizetype scanned_ = 0;  // bytes of received_ looked through for print commands
    qsizetype readLimit_ = -1;
};

// A printer that never answers: a listener on a loopback address of its own
// (127.x.y.z) whose accept queue is full, so the kernel drops every further SYN
// and a connect to it waits until it is given up. Port 0 takes a free port.
class SilentPrinter {
public:
    explicit SilentPrinter(quint16 port = 9100);

    [[nodiscard]] bool Listening() const { return filler_.state() == QAbstractSocket::ConnectedState; }
    [[nodiscard]] QString Address() const { return server_.serverAddress().toString(); }
    [[nodiscard]] quint16 Port() const { return server_.serverPort(); }

private:
    QTcpServer server_;
    QTcpSocket filler_;
};

// What the program writes to standard error while this lives goes to a file of
// its own; Lines() reads it back. Standard error is put back when it goes.
class StandardErrorCapture {
public:
    StandardErrorCapture();
    ~StandardErrorCapture();
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;
    [[nodiscard]] QStringList Lines();

private:
    QTemporaryFile file_;
    int saved_ = -1;
};

// A console that keeps lines in lists.
class ListConsole : public Console {
public:
    explicit ListConsole(QString addressText = QStringLiteral("127.0.0.1")) : address(std::move(addressText)) {}
    void LogMessage(LogKind kind, const QString& text, Severity severity = Severity::None) override;
    [[nodiscard]] QString AddressText() const override { return address; }

    QStringList outgoing;
    QStringList incoming;
    QString address;
};

// A loopback address nobody else is likely to use: 127.x.y.z, chosen at random.
[[nodiscard]] QString RandomLoopbackAddress();

// Descriptors this process has open (entries of /proc/self/fd), to catch leaks.
[[nodiscard]] int OpenDescriptorCount();

// Runs the event loop until a timer started now has fired: every event queued
// before it has been delivered by then. The check that something did not come.
[[nodiscard]] bool LoopTurned();

// Runs `action` once as soon as `condition` holds. The check runs every few
// milliseconds from the event loop. Gives up after `timeoutMs`; everything goes
// with `context`.
void WhenTrue(QObject* context, std::function<bool()> condition, std::function<void()> action, int timeoutMs = 10000);

// Runs a test's steps from the event loop, each once its condition holds, so a
// test can act and look in the middle of a send.
class Steps : public QObject {
public:
    using Condition = std::function<bool()>;
    using Action = std::function<void()>;

    Steps() { connect(&poll_, &QTimer::timeout, this, &Steps::Tick); }

    // Runs `act` once `ready` holds. A step not ready within `timeoutMs` of the one
    // before ends the run as failed, and the escape unwinds whatever still waits.
    Steps& When(const QString& name, Condition ready, Action act, int timeoutMs = 15000) {
        steps_.append({name, std::move(ready), std::move(act), timeoutMs});
        return *this;
    }
    Steps& Then(const QString& name, Action act) {
        return When(
            name, [] { return true; }, std::move(act));
    }
    void Start(Action escape) {
        escape_ = std::move(escape);
        clock_.start();
        poll_.start(1);
    }
    // Every step has begun (the first may still be running, waiting deeper down),
    // or one has timed out.
    [[nodiscard]] bool Finished() const { return started_ == steps_.size() || !failure_.isEmpty(); }
    [[nodiscard]] const QString& Failure() const { return failure_; }

private:
    struct Step {
        QString name;
        Condition ready;
        Action act;
        int timeoutMs;
    };

    void Tick() {
        if (!failure_.isEmpty() || next_ == steps_.size()) return poll_.stop();
        if (started_ < next_) return;  // the last action has not begun yet
        const Step& step = steps_[next_];
        if (step.ready()) {
            ++next_;
            clock_.restart();
            // Each action on a timer of its own: one that waits does not stop the polling.
            QTimer::singleShot(0, this, [this, act = step.act] {
                ++started_;
                act();
            });
        } else if (clock_.elapsed() > step.timeoutMs) {
            failure_ = QStringLiteral("step \"%1\" not ready after %2 ms").arg(step.name).arg(step.timeoutMs);
            poll_.stop();
            if (escape_) QTimer::singleShot(0, this, escape_);
        }
    }

    QList<Step> steps_;
    qsizetype next_ = 0;
    qsizetype started_ = 0;
    QTimer poll_;
    QElapsedTimer clock_;
    QString failure_;
    Action escape_;
};

// Runs `act` once, when the printer has received at least `bytes`.
void OnceReceived(LoopbackPrinter& printer, qsizetype bytes, std::function<void()> act);

// Bytes that hold every value 0 to 255, CR LF pairs among them, repeated to `size`.
[[nodiscard]] QByteArray PatternBytes(qsizetype size);
// Writes the bytes to a new file; false when it could not be written whole.
[[nodiscard]] bool WriteFile(const QString& path, const QByteArray& bytes);
// Writes the bytes to a new file `name` in `dir`; its path, or "" when it could
// not be written whole.
[[nodiscard]] QString WrittenFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes);
// The whole file; empty when it cannot be read.
[[nodiscard]] QByteArray ReadFile(const QString& path);

// What windows remember goes to a temporary folder of the test program's own,
// made when it starts (XDG_CONFIG_HOME), never to the user's settings. The file
// of that store, and a way to forget all of it, for tests that must start afresh.
[[nodiscard]] QString SettingsFile();
void ForgetSettings();

// What a program the test ran did: its exit code (-1 when it did not end in
// time or crashed), standard output and standard error.
struct ChildRun {
    int code = -1;
    QString out;
    QString err;
};
// Runs a program with the event loop turning, so printers in this process
// answer it; with no display and no Qt platform named, as on a production line.
[[nodiscard]] ChildRun RunChild(const QString& program, const QStringList& arguments, int timeoutMs = 30000);

// A printer on a loopback address of its own (127.x.y.z:9100 unless an address is
// given) that answers each print command "<p>" it reads with `answer` (none: it
// never answers), and counts the connections that printers of its `group` hold at once.
class AnsweringPrinter : public QObject {
public:
    struct Group {
        int most = 0;
        // The connections open now. One whose end of stream waits unread counts
        // as closed: the test's loop may get to the next connect first.
        QList<QPointer<QTcpSocket>> open;
    };
    AnsweringPrinter(QByteArray answer, Group& group, const QString& address = {});
    [[nodiscard]] QString Address() const { return server_.serverAddress().toString(); }
    [[nodiscard]] bool Listening() const { return server_.isListening(); }

private:
    QTcpServer server_;
    QByteArray answer_;
    Group& group_;
};

// Hex text of bytes ("3C 70 3E"), for readable failure messages.
[[nodiscard]] QString Hex(const QByteArray& bytes);

}  // namespace kivo::test
