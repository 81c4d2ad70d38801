// The tests' helpers for the window: connecting it to a loopback printer,
// finding its controls by name, answering its dialogs, and bounding what a test
// waits for.
#pragma once

#include "console/operator_dialogs.h"
#include "tests/support/test_support.h"

#include <QPointer>
#include <QTimer>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace kivo {
class frmkivo;
class LogView;
}  // namespace kivo

namespace kivo::test {

// Connects the window to the printer through its Connect button (the port is the
// window's fixed 9100) and waits until the printer has the connection.
[[nodiscard]] bool ConnectWindow(frmkivo& w, LoopbackPrinter& printer);

// Clicks Connect until the window starts a connect (it drops a click on Connect
// for half a second after the printer went away), then waits as ConnectWindow.
[[nodiscard]] bool ConnectWindowAgain(frmkivo& w, LoopbackPrinter& printer);
// Clicks Connect until the window starts a connect; false when it never does.
[[nodiscard]] bool StartConnect(frmkivo& w);

// The running job waits for room: the system holds as much as it takes, and the
// window hands nothing until the printer takes some.
[[nodiscard]] bool SendWaitsForRoom(const frmkivo& w);

// A small send buffer on the window's connection, so that sends fill it within a
// few kilobytes instead of the megabytes loopback grows it to. Set after the
// connect: shrinking the sending side does no harm to the handshake.
[[nodiscard]] bool UseSmallSendBuffer(frmkivo& w, int bytes = 4096);

// ConnectWindow with `bytes` of kernel buffer each way: the printer's set before
// the connect, the window's send buffer after it. Sends then wait after a few
// kilobytes.
[[nodiscard]] bool ConnectWithSmallBuffers(frmkivo& w, LoopbackPrinter& printer, int bytes = 4096);

// "Send Text File" of `size` pattern bytes written to `path`, through a send
// buffer (and a limit on unsent bytes) big enough to take them at once, waiting until every byte is handed to
// the system, while a printer with small buffers holds few of them. Returns the
// bytes, or nothing when the file could not be written or was not handed.
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
    QString title;
    QString initDir;
    QString defaultExt;
    QString filter;
    QString fileName;
    bool cancelError = true;
    // Answers still to give to Save As and to questions, and what was asked.
    QStringList savePaths;
    QString saveSuggested;  // the path the last Save As offered
    QList<int> answers;
    QList<Question> questions;
    QStringList messages;  // prompt and title of each message, one after the other
    // While set, each question stays up as a modal dialog does, in an event loop
    // of its own, until this turns false, and then takes the next answer. Its
    // text is kept current meanwhile through the question's update (each new
    // text in `updates`); a question that becomes moot ends with its moot answer.
    std::function<bool()> holdQuestion;
    QStringList updates;

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

// A control of the window by its object name; the test program stops with a
// message when the window has none of that name and kind.
QPushButton* Button(const QWidget& w, const char* name);
QLineEdit* Field(const QWidget& w, const char* name);
QLabel* Label(const QWidget& w, const char* name);
LogView* Log(const QWidget& w, const char* name);

// Starts the steps, with a click on Disconnect as their escape, and waits up to
// `timeoutMs` for every step to have begun and the sends to have ended. Empty
// when all went well, else what did not.
[[nodiscard]] QString RunStepsUntilSendsEnd(Steps& steps, frmkivo& w, const Watchdog& watchdog, int timeoutMs);

// Bounds each test function of a test class: Start() it in init(), Expired() in
// cleanup(). A test still running after the bound is waiting for something that
// never comes, perhaps deep in a nested event loop where no check can return:
// the deadline then ends every window's connect, send and connection, so the
// test unwinds, and Expired() names the test and what it was waiting for, to
// fail that test alone while the others run on.
class TestDeadline : public QObject {
public:
    explicit TestDeadline(int ms);
    void Start();
    // What the test waits for from now on, for the message.
    void Waiting(const QString& what) { waiting_ = what; }
    // Empty while the test kept within the bound; else what it waited for.
    [[nodiscard]] QString Expired();

private:
    void Escape();

    QTimer timer_;
    QString waiting_;
    QString expired_;
};

}  // namespace kivo::test
