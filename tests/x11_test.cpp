// The window under a real X server (Xvfb, the xcb platform), during a connect to
// a printer that never answers. Under X11 a close request of the window manager
// and the clicks of the person at the display are input, which a blocking wait
// can hold back and replay later; the offscreen platform shows none of that.
//
// The test starts its own Xvfb on a free display before the application exists,
// and skips when Xvfb is not installed.
#include "console/frmkivo.h"
#include "platform/winsock.h"
#include "tests/support/test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>
#include <QTest>

#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

using namespace kivo;
using kivo::test::Button;
using kivo::test::Field;
using kivo::test::SilentPrinter;

namespace {

// An X server of the test's own: Xvfb on a display number it picks itself and
// writes back (-displayfd), listening on no TCP port. It ends with the test
// program, or with the kernel's signal if the program dies first.
class VirtualDisplay {
public:
    VirtualDisplay() {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty()) {
            error_ = QStringLiteral("Xvfb is not installed (Debian package xvfb)");
            return;
        }
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) {
            error_ = QStringLiteral("no pipe for Xvfb's display number");
            return;
        }
        const QByteArray program = QFile::encodeName(xvfb);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int fd = ::dup(pipe[1]);  // without close-on-exec
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            const std::string displayFd = std::to_string(fd);
            ::execl(program.constData(), "Xvfb", "-displayfd", displayFd.c_str(), "-nolisten", "tcp", "-screen",
                    "0", "1024x768x24", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipe[1]);
        QByteArray number;
        pollfd p{pipe[0], POLLIN, 0};
        char c = 0;
        while (::poll(&p, 1, 10000) == 1 && ::read(pipe[0], &c, 1) == 1 && c != '\n') number.append(c);
        ::close(pipe[0]);
        if (pid_ < 0 || number.isEmpty()) {
            error_ = QStringLiteral("Xvfb did not start");
            return;
        }
        qputenv("DISPLAY", ":" + number);
    }
    ~VirtualDisplay() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    [[nodiscard]] const QString& Error() const { return error_; }

private:
    pid_t pid_ = -1;
    QString error_;
};

// Another client of the X server, as the window manager and the person at the
// display are: it asks a window to close and clicks in it.
class XClient {
public:
    XClient() : c_(xcb_connect(nullptr, nullptr)) {}
    ~XClient() { xcb_disconnect(c_); }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    [[nodiscard]] bool Connected() const { return xcb_connection_has_error(c_) == 0; }

    // The window manager's close request: WM_PROTOCOLS with WM_DELETE_WINDOW.
    void RequestClose(xcb_window_t window) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = Atom("WM_PROTOCOLS");
        event.data.data32[0] = Atom("WM_DELETE_WINDOW");
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
        xcb_flush(c_);
    }

    // A left click at a point of the window.
    void Click(xcb_window_t window, QPoint at) {
        for (const std::uint8_t type : {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE}) {
            xcb_button_press_event_t event{};
            event.response_type = type;
            event.detail = 1;
            event.time = XCB_CURRENT_TIME;
            event.root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
            event.event = window;
            event.event_x = static_cast<std::int16_t>(at.x());
            event.event_y = static_cast<std::int16_t>(at.y());
            event.state = type == XCB_BUTTON_RELEASE ? XCB_BUTTON_MASK_1 : 0;
            event.same_screen = 1;
            xcb_send_event(c_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
        }
        xcb_flush(c_);
    }

private:
    xcb_atom_t Atom(const char* name) {
        const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(qstrlen(name)), name);
        const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(c_, cookie, nullptr), &std::free);
        return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }

    xcb_connection_t* c_;
};

// Ends any blocking call that has waited longer than `ms`, so that a test that
// goes wrong fails in seconds instead of waiting out the connect's time-out.
void EndLongWaits(QObject* context, int ms) {
    auto* timer = new QTimer(context);
    auto* waited = new QElapsedTimer;
    QObject::connect(timer, &QObject::destroyed, [waited] { delete waited; });
    QObject::connect(timer, &QTimer::timeout, [waited, ms] {
        if (!ws::WSAIsBlocking()) {
            waited->invalidate();
        } else if (!waited->isValid()) {
            waited->start();
        } else if (waited->elapsed() > ms) {
            ws::WSACancelBlockingCall();
        }
    });
    timer->start(50);
}

QPoint CentreOf(const QWidget& control) { return control.geometry().center(); }

}  // namespace

class X11Test : public QObject {
    Q_OBJECT
public:
    explicit X11Test(QString displayError) : displayError_(std::move(displayError)) {}

private slots:
    void initTestCase();
    void closeRequestDuringAConnectClosesTheWindowAtOnce();
    void clicksDuringAConnectAreDroppedNotReplayed();

private:
    QString displayError_;
};

void X11Test::initTestCase() {
    if (!displayError_.isEmpty()) QSKIP(qPrintable(displayError_ + QStringLiteral(": the X11 tests are skipped")));
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
}

void X11Test::closeRequestDuringAConnectClosesTheWindowAtOnce() {
    SilentPrinter printer;
    QVERIFY(printer.Listening());
    XClient windowManager;
    QVERIFY(windowManager.Connected());
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);

    auto* w = new frmkivo;
    w->setAttribute(Qt::WA_DeleteOnClose);
    const QPointer<frmkivo> alive(w);
    QStringList lines;
    connect(&w->OutgoingLog(), &QAbstractItemModel::rowsInserted, this,
            [w, &lines](const QModelIndex&, int first, int last) {
                for (int row = first; row <= last; ++row) lines << w->OutgoingLog().Line(row);
            });
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    Field(*w, "IP_Address")->setText(printer.Address());
    const auto window = static_cast<xcb_window_t>(w->winId());
    QObject guard;
    EndLongWaits(&guard, 3000);

    QElapsedTimer sinceRequest;
    kivo::test::WhenTrue(w, [] { return ws::WSAIsBlocking(); }, [&] {
        windowManager.RequestClose(window);
        sinceRequest.start();
    });
    // The program's own loop, which ends with its last window.
    QTimer::singleShot(0, w, [w] { Button(*w, "CmdConnect")->click(); });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, qApp, &QCoreApplication::quit);
    giveUp.start(10000);
    QApplication::exec();
    const qint64 ms = sinceRequest.isValid() ? sinceRequest.elapsed() : -1;
    QVERIFY2(giveUp.isActive(), "the program did not end");
    QCOMPARE(lastClosed.count(), 1);
    QVERIFY2(ms >= 0 && ms < 2000, qPrintable(QString::number(ms)));
    QTRY_VERIFY(alive.isNull());
    const QString at = printer.Address() + QStringLiteral(" on port 9100");
    QCOMPARE(lines, (QStringList{"Attempting to establish a connection with the printer at " + at,
                                 "Error while connecting to the printer " + at,
                                 "Error 10004: cancelled by the operator"}));
}

void X11Test::clicksDuringAConnectAreDroppedNotReplayed() {
    SilentPrinter printer;
    QVERIFY(printer.Listening());
    XClient person;
    QVERIFY(person.Connected());
    frmkivo w;
    QStringList lines;
    int clears = 0;
    connect(&w.OutgoingLog(), &QAbstractItemModel::rowsInserted, this,
            [&w, &lines](const QModelIndex&, int first, int last) {
                for (int row = first; row <= last; ++row) lines << w.OutgoingLog().Line(row);
            });
    connect(&w.OutgoingLog(), &QAbstractItemModel::modelReset, this, [&clears] { ++clears; });
    connect(&w.OutgoingLog(), &QAbstractItemModel::rowsRemoved, this, [&clears] { ++clears; });
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Field(w, "IP_Address")->setText(printer.Address());
    const auto window = static_cast<xcb_window_t>(w.winId());
    const QPoint clear = CentreOf(*Button(w, "CmdClear"));
    const QPoint connectButton = CentreOf(*Button(w, "CmdConnect"));
    QObject guard;
    EndLongWaits(&guard, 3000);

    QElapsedTimer clock;
    kivo::test::WhenTrue(&w, [] { return ws::WSAIsBlocking(); }, [&] {
        person.Click(window, clear);          // must not act, now or later
        person.Click(window, connectButton);  // ends the attempt
    });
    clock.start();
    Button(w, "CmdConnect")->click();
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    const QString at = printer.Address() + QStringLiteral(" on port 9100");
    const QStringList expected{"Attempting to establish a connection with the printer at " + at,
                               "Error while connecting to the printer " + at, "Error 10004: cancelled by the operator"};
    QCOMPARE(w.OutgoingLog().Lines(), expected);

    // A click after the connect acts; once it has, any click held back from
    // before it would have acted too.
    person.Click(window, clear);
    QTRY_COMPARE(w.OutgoingLog().Count(), 0);
    QCOMPARE(clears, 1);
    QCOMPARE(lines, expected);
    QVERIFY(!w.Connected());
}

int main(int argc, char** argv) {
    // The display and the platform must be set before the application exists.
    const VirtualDisplay display;
    qputenv("QT_QPA_PLATFORM", display.Error().isEmpty() ? "xcb" : "offscreen");
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    X11Test test(display.Error());
    return QTest::qExec(&test, argc, argv);
}

#include "x11_test.moc"
