// Shared pieces of the tests: a printer on loopback and a console that keeps its
// lines in plain lists.
#pragma once

#include "console/operator_dialogs.h"
#include "link/console_port.h"
#include "platform/window.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace kivo {
class frmkivo;
class LogView;
}

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
    // Sets /proc/sys/net/ipv4/<name> inside the namespace; false when it cannot.
    bool SetIpv4(const char* name, const char* value);

private:
    int saved_;
    bool entered_ = false;
    QString error_;
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

signals:
    void bytesReceived();

private:
    void OnNewConnection();
    void ReadAvailable();
    void ReadSomeSlowly();

    QTcpServer server_;
    QPointer<QTcpSocket> client_;
    QByteArray received_;
    bool reading_ = true;
    int connections_ = 0;
    int smallBuffers_ = 0;
    int slowPiece_ = 0;
    QTimer slowTimer_;
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

// A console that keeps lines in lists; Pause runs the event loop; each repaint
// records how many incoming lines were there to show.
class ListConsole : public Console {
public:
    explicit ListConsole(QString addressText = QStringLiteral("127.0.0.1")) : address(std::move(addressText)) {}
    void LogMessage(const QString& kind, const QString& text) override;
    void Pause(double seconds) override;
    void Repaint() override { repaintedAt << incoming.size(); }
    [[nodiscard]] QString AddressText() const override { return address; }

    QStringList outgoing;
    QStringList incoming;
    QString address;
    int pauses = 0;
    QList<qsizetype> repaintedAt;
};

// A loopback address nobody else is likely to use: 127.x.y.z, chosen at random.
[[nodiscard]] QString RandomLoopbackAddress();

// Descriptors this process has open (entries of /proc/self/fd), to catch leaks.
[[nodiscard]] int OpenDescriptorCount();

// Connects the window to the printer through its Connect button (the port is the
// window's fixed 9100) and waits until the printer has the connection.
[[nodiscard]] bool ConnectWindow(frmkivo& w, LoopbackPrinter& printer);

// A small send buffer on the window's connection, so that sends fill it within a
// few kilobytes instead of the megabytes loopback grows it to. Set after the
// connect: shrinking the sending side does no harm to the handshake.
[[nodiscard]] bool UseSmallSendBuffer(frmkivo& w, int bytes = 4096);

// ConnectWindow with `bytes` of kernel buffer each way: the printer's set before
// the connect, the window's send buffer after it. Sends then wait after a few
// kilobytes.
[[nodiscard]] bool ConnectWithSmallBuffers(frmkivo& w, LoopbackPrinter& printer, int bytes = 4096);

// "Send Text File" of `size` pattern bytes written to `path`, through a send
// buffer big enough to take them at once: the click returns with every byte
// handed to the system, while a printer with small buffers holds few of them.
// Returns the bytes, or nothing when the file could not be written or the send
// had to wait.
[[nodiscard]] QByteArray SendFileAtOnce(frmkivo& w, const QString& path, qsizetype size);

// The window's connection as the system lists it in /proc/net/tcp, both ends
// ("0100007F:A1B2 0100007F:238C"); empty when it has none.
[[nodiscard]] QString ConnectionName(const frmkivo& w);
// Whether that connection was closed in order: the system keeps a socket that
// sent its end of the stream (FIN_WAIT, CLOSING or TIME_WAIT), where an
// abortive close (a reset) leaves none.
[[nodiscard]] bool ClosedInOrder(const QString& connection);

// A click on "HP Form Feed" after the click under test: once its 0C has arrived,
// everything the click under test sent has arrived before it. Returns the 0C.
QByteArray SendMarker(frmkivo& w);

// Answers a window's dialogs while it lives, in place of Qt's: each file-open
// dialog with `path`, or with the next of `paths` ("" once they run out: a
// cancel); each question with the next of `answers` (the question's default once
// they run out); every message is kept. The window gets its own dialogs back
// when the answer goes, if the window is still there.
class DialogAnswer : public OperatorDialogs {
public:
    DialogAnswer(frmkivo& w, QString path);
    DialogAnswer(frmkivo& w, QStringList paths);
    ~DialogAnswer() override;
    DialogAnswer(const DialogAnswer&) = delete;
    DialogAnswer& operator=(const DialogAnswer&) = delete;

    QString ChooseFile(const CommonDialog& dialog) override;
    QString ChooseSaveFile(const QString& title, const QString& suggestedPath, const QString& filter) override;
    void ShowMessage(const QString& prompt, const QString& title) override;
    int Ask(const Question& question) override;

    // How the last file-open dialog was set up, and how many were shown.
    int shown = 0;
    QString initDir;
    QString defaultExt;
    QString filter;
    QString fileName;
    bool cancelError = true;
    // Answers still to give to Save As and to questions, and what was asked.
    QStringList savePaths;
    QList<int> answers;
    QList<Question> questions;
    QStringList messages;  // prompt and title of each message, one after the other

private:
    QPointer<frmkivo> window_;
    OperatorDialogs* previous_;
    QStringList paths_;
    bool repeat_;
};

// Ends a send that still waits after `ms` with a click on Disconnect, so a test
// that goes wrong fails instead of hanging; Fired() says it had to. It must not
// go before the window does.
class Watchdog {
public:
    Watchdog(frmkivo& w, int ms);
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    [[nodiscard]] bool Fired() const { return fired_; }

private:
    bool fired_ = false;
};

// Runs `action` once as soon as `condition` holds. The check runs every few
// milliseconds from the event loop, so also inside a wait that a click is
// blocked in. Gives up after `timeoutMs`; everything goes with `context`.
void WhenTrue(QObject* context, std::function<bool()> condition, std::function<void()> action,
              int timeoutMs = 10000);

// Bytes that hold every value 0 to 255, CR LF pairs among them, repeated to `size`.
[[nodiscard]] QByteArray PatternBytes(qsizetype size);
// Writes the bytes to a new file; false when it could not be written whole.
[[nodiscard]] bool WriteFile(const QString& path, const QByteArray& bytes);
// The whole file; empty when it cannot be read.
[[nodiscard]] QByteArray ReadFile(const QString& path);

// A control of the window by its object name; the test program stops with a
// message when the window has none of that name and kind.
QPushButton* Button(const QWidget& w, const char* name);
QLineEdit* Field(const QWidget& w, const char* name);
QLabel* Label(const QWidget& w, const char* name);
LogView* Log(const QWidget& w, const char* name);

// What windows remember goes to a temporary folder of the test program's own,
// made when it starts (XDG_CONFIG_HOME), never to the user's settings. The file
// of that store, and a way to forget all of it, for tests that must start afresh.
[[nodiscard]] QString SettingsFile();
void ForgetSettings();

// Hex text of bytes ("3C 70 3E"), for readable failure messages.
[[nodiscard]] QString Hex(const QByteArray& bytes);

}  // namespace kivo::test
