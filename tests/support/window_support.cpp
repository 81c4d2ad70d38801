#include "tests/support/window_support.h"

#include "console/frmkivo.h"
#include "console/log_view.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace kivo::test {

bool ConnectWindow(frmkivo& w, LoopbackPrinter& printer) {
    Field(w, "IP_Address")->setText(printer.Address());
    Button(w, "CmdConnect")->click();
    return QTest::qWaitFor([&] { return w.Connected() && printer.HasClient(); }, 20000);
}

bool StartConnect(frmkivo& w) {
    return QTest::qWaitFor(
        [&w] {
            if (w.Session().GetState() == PrinterSession::State::Disconnected) Button(w, "CmdConnect")->click();
            return w.Session().GetState() != PrinterSession::State::Disconnected;
        },
        5000);
}

bool ConnectWindowAgain(frmkivo& w, LoopbackPrinter& printer) {
    Field(w, "IP_Address")->setText(printer.Address());
    return StartConnect(w) && QTest::qWaitFor([&] { return w.Connected() && printer.HasClient(); }, 20000);
}

bool SendWaitsForRoom(const frmkivo& w) {
    if (!w.Session().Handing() || w.PrinterSocketHandle() < 0) return false;
    pollfd room{w.PrinterSocketHandle(), POLLOUT, 0};
    return ::poll(&room, 1, 0) == 0;
}

bool UseSmallSendBuffer(frmkivo& w, int bytes) {
    return ::setsockopt(w.PrinterSocketHandle(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

bool ConnectWithSmallBuffers(frmkivo& w, LoopbackPrinter& printer, int bytes) {
    printer.UseSmallBuffers(bytes);
    return ConnectWindow(w, printer) && UseSmallSendBuffer(w, bytes);
}

QByteArray SendFileAtOnce(frmkivo& w, const QString& path, qsizetype size) {
    const QByteArray bytes = PatternBytes(size);
    const int sendBuffer = 4 * static_cast<int>(size) + 65536;
    if (!WriteFile(path, bytes) ||
        ::setsockopt(w.PrinterSocketHandle(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0)
        return {};
    // Nor does the window's own limit on what waits unsent hold the file back.
    w.Session().Connection().SetUnsentLimit(sendBuffer);
    DialogAnswer answer(w, path);
    Button(w, "CmdFile")->click();
    return QTest::qWaitFor([&] { return !w.Session().Busy(); }, 20000) ? bytes : QByteArray();
}

QString ConnectionName(const frmkivo& w) {
    sockaddr_in ends[2]{};
    socklen_t length = sizeof ends[0];
    if (::getsockname(w.PrinterSocketHandle(), reinterpret_cast<sockaddr*>(&ends[0]), &length) != 0) return {};
    length = sizeof ends[1];
    if (::getpeername(w.PrinterSocketHandle(), reinterpret_cast<sockaddr*>(&ends[1]), &length) != 0) return {};
    QStringList names;
    for (const sockaddr_in& end : ends)
        names << QStringLiteral("%1:%2")
                     .arg(end.sin_addr.s_addr, 8, 16, QLatin1Char('0'))
                     .arg(ntohs(end.sin_port), 4, 16, QLatin1Char('0'))
                     .toUpper();
    return names.join(QLatin1Char(' '));
}

bool ClosedInOrder(const QString& connection) {
    // Lines of "sl local_address rem_address st ...".
    for (const QByteArray& line : ReadFile(QStringLiteral("/proc/net/tcp")).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4 || fields[1] + ' ' + fields[2] != connection.toLatin1()) continue;
        const uint state = fields[3].toUInt(nullptr, 16);
        if (state == 0x04 || state == 0x05 || state == 0x06 || state == 0x0B) return true;
    }
    return false;
}

Watchdog::Watchdog(frmkivo& w, int ms) {
    QTimer::singleShot(ms, &w, [this, &w] {
        if (!w.Session().Busy() || !w.Connected()) return;
        fired_ = true;
        Button(w, "CmdConnect")->click();
    });
}

QByteArray SendMarker(frmkivo& w) {
    Button(w, "CmdPclFF")->click();
    return QByteArray("\x0c");
}

DialogAnswer::DialogAnswer(frmkivo& w, QString path) : DialogAnswer(w, QStringList{std::move(path)}) { repeat_ = true; }

DialogAnswer::DialogAnswer(frmkivo& w, QStringList paths)
    : window_(&w), previous_(w.SetDialogs(this)), paths_(std::move(paths)), repeat_(false) {}

DialogAnswer::~DialogAnswer() {
    if (window_) window_->SetDialogs(previous_);
}

QString DialogAnswer::ChooseFile(const CommonDialog& dialog) {
    ++shown;
    title = dialog.DialogTitle;
    initDir = dialog.InitDir;
    defaultExt = dialog.DefaultExt;
    filter = dialog.Filter;
    fileName = dialog.FileName;
    cancelError = dialog.CancelError;
    if (paths_.isEmpty()) return {};
    return repeat_ ? paths_.constFirst() : paths_.takeFirst();
}

QString DialogAnswer::ChooseSaveFile(const QString&, const QString& suggestedPath, const QString&) {
    saveSuggested = suggestedPath;
    return savePaths.isEmpty() ? QString() : savePaths.takeFirst();
}

void DialogAnswer::ShowMessage(const QString& prompt, const QString& caption) { messages << prompt << caption; }

int DialogAnswer::Ask(const Question& question) {
    questions << question;
    if (holdQuestion) {
        QEventLoop loop;
        QTimer look;
        bool moot = false;
        QString text = question.text;
        QObject::connect(&look, &QTimer::timeout, &loop, [&] {
            if (question.update) {
                const QString now = question.update();
                moot = now.isEmpty();
                if (!moot && now != text) updates << (text = now);
            }
            if (moot || !holdQuestion()) loop.quit();
        });
        look.start(20);
        loop.exec();
        if (moot) return question.mootAnswer;
    }
    return answers.isEmpty() ? question.defaultAnswer : answers.takeFirst();
}

namespace {

template <class T>
T* Find(const QWidget& w, const char* name) {
    T* control = w.findChild<T*>(QString::fromLatin1(name));
    if (!control) qFatal("the window has no control %s of the kind asked for", name);
    return control;
}

}  // namespace

QPushButton* Button(const QWidget& w, const char* name) { return Find<QPushButton>(w, name); }
QLineEdit* Field(const QWidget& w, const char* name) { return Find<QLineEdit>(w, name); }
QLabel* Label(const QWidget& w, const char* name) { return Find<QLabel>(w, name); }
LogView* Log(const QWidget& w, const char* name) { return Find<LogView>(w, name); }

QString RunStepsUntilSendsEnd(Steps& steps, frmkivo& w, const Watchdog& watchdog, int timeoutMs) {
    steps.Start([&w] {
        if (w.Connected()) Button(w, "CmdConnect")->click();
    });
    if (!QTest::qWaitFor([&] { return steps.Finished() && !w.Session().Busy(); }, timeoutMs))
        return QStringLiteral("steps or sends still running after %1 ms").arg(timeoutMs);
    if (!steps.Failure().isEmpty()) return steps.Failure();
    if (watchdog.Fired()) return QStringLiteral("the watchdog had to click Disconnect");
    return {};
}

TestDeadline::TestDeadline(int ms) {
    timer_.setSingleShot(true);
    timer_.setInterval(ms);
    connect(&timer_, &QTimer::timeout, this, &TestDeadline::Escape);
}

void TestDeadline::Start() {
    waiting_.clear();
    expired_.clear();
    timer_.start();
}

QString TestDeadline::Expired() {
    timer_.stop();
    return expired_;
}

void TestDeadline::Escape() {
    const char* row = QTest::currentDataTag();
    expired_ = QStringLiteral("%1%2 still running after %3 s, waiting for %4; its windows were disconnected")
                   .arg(QString::fromLatin1(QTest::currentTestFunction()),
                        row ? QStringLiteral(" (%1)").arg(QString::fromLatin1(row)) : QString())
                   .arg(timer_.interval() / 1000.0)
                   .arg(waiting_.isEmpty() ? QStringLiteral("something that never came") : waiting_);
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* w = qobject_cast<frmkivo*>(top);
        // The first click ends a running send or starts the close; a second one
        // discards what the printer has not taken.
        for (int click = 0; w && click < 2 && w->Connected(); ++click) Button(*w, "CmdConnect")->click();
    }
}

}  // namespace kivo::test
