// The window under a real X server (its own Xvfb, the xcb platform): there a
// close request of the window manager is input, which a blocking wait could
// hold back until the connect gives up. Skipped when Xvfb is not installed.
// KIVO_X11_RUNS=N runs the close request N times in a row (the stress test).
#include "console/frmkivo.h"
#include "platform/winsock.h"
#include "tests/support/window_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kivo;

namespace {

// Xvfb on a display number it picks and writes back (-displayfd), no TCP; it
// ends with the test program, or by the kernel's signal if the program dies.
class VirtualDisplay {
public:
    VirtualDisplay() {
        const QByteArray xvfb = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("Xvfb")));
        int out[2];
        if (xvfb.isEmpty() || ::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const std::string fd = std::to_string(::dup(out[1]));  // the copy stays open across exec
            ::dup2(::open("/dev/null", O_RDWR), STDERR_FILENO);
            ::execl(xvfb.constData(), "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        pollfd p{out[0], POLLIN, 0};
        for (char c = 0; ::poll(&p, 1, 10000) == 1 && ::read(out[0], &c, 1) == 1 && c != '\n';) number_.append(c);
        ::close(out[0]);
        if (!number_.isEmpty()) qputenv("DISPLAY", ":" + number_);
    }
    ~VirtualDisplay() {
        if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0) ::waitpid(pid_, nullptr, 0);
    }
    [[nodiscard]] bool Running() const { return !number_.isEmpty(); }

private:
    pid_t pid_ = -1;
    QByteArray number_;
};

// What a window manager sends when the window's close button is clicked:
// WM_PROTOCOLS with WM_DELETE_WINDOW, from a connection of its own.
void RequestClose(xcb_window_t window) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(qstrlen(name)), name), nullptr);
        const xcb_atom_t found = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return found;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    // A round trip, so that the server has passed the event on before this client
    // goes: one that leaves at once may take its last request with it.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
}

}  // namespace

class X11Test : public QObject {
    Q_OBJECT
private slots:
    void closeRequestDuringAConnectEndsTheProgram_data();
    void closeRequestDuringAConnectEndsTheProgram();
};

void X11Test::closeRequestDuringAConnectEndsTheProgram_data() {
    QTest::addColumn<int>("run");
    const int runs = std::max(1, qEnvironmentVariableIntValue("KIVO_X11_RUNS"));
    for (int run = 1; run <= runs; ++run) QTest::addRow("run %d", run) << run;
}

void X11Test::closeRequestDuringAConnectEndsTheProgram() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) QSKIP("Xvfb is not installed (Debian package xvfb)");
    kivo::test::SilentPrinter printer;
    QVERIFY(printer.Listening());
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    auto* w = new frmkivo;
    w->setAttribute(Qt::WA_DeleteOnClose);
    const QPointer<frmkivo> alive(w);
    QStringList lines;
    connect(&w->OutgoingLog(), &QAbstractItemModel::rowsInserted, this, [w, &lines](const QModelIndex&, int, int last) {
        lines << w->OutgoingLog().Line(last);
    });
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    kivo::test::Field(*w, "IP_Address")->setText(printer.Address());

    QElapsedTimer sinceRequest;
    kivo::test::WhenTrue(w, [] { return ws::WSAIsBlocking(); }, [&] {
        RequestClose(static_cast<xcb_window_t>(w->winId()));
        sinceRequest.start();
    });
    // The program's own loop, which ends with its last window (or, failing, after 25 s).
    QTimer::singleShot(0, w, [w] { kivo::test::Button(*w, "CmdConnect")->click(); });
    QTimer ceiling;  // this run's own: it goes with the run
    ceiling.setSingleShot(true);
    connect(&ceiling, &QTimer::timeout, this, [] { QCoreApplication::quit(); });
    ceiling.start(25000);
    QApplication::exec();
    qInfo("the program's loop ended %lld ms after the close request", static_cast<long long>(sinceRequest.elapsed()));
    QCOMPARE(lastClosed.count(), 1);
    // Not cancelled, the connect would wait for its time-out of 20 s; a loaded
    // machine ends it well within half that.
    QVERIFY2(sinceRequest.isValid() && sinceRequest.elapsed() < ws::kConnectTimeoutMs / 2,
             qPrintable(QString::number(sinceRequest.elapsed())));
    QTRY_VERIFY(alive.isNull());
    QCOMPARE(lines.last(), QStringLiteral("Error 10004: cancelled by the operator"));
}

int main(int argc, char** argv) {
    // The display and the platform are chosen before the application exists.
    const VirtualDisplay display;
    qputenv("QT_QPA_PLATFORM", display.Running() ? "xcb" : "offscreen");
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    X11Test test;
    return QTest::qExec(&test, argc, argv);
}

#include "x11_test.moc"
