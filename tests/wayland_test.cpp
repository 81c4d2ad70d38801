// The window on a Wayland desktop, natively: Qt's wayland platform under a
// headless weston of the test's own, with no X server to fall back on. It opens,
// connects to a printer on loopback, sends the VEK test ticket, shows the
// printer's answer and closes on request. Skipped when weston or Qt's Wayland
// platform plug-in is not installed.
#include "console/frmkivo.h"
#include "link/jobs.h"
#include "link/stock_tickets.h"
#include "tests/support/window_support.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kivo;

namespace {

// weston with its headless back end, in a runtime folder of the test's own. The
// program is its one client, over a socket pair (WAYLAND_SERVER_SOCKET for
// weston, WAYLAND_SOCKET for Qt): nothing to find by name, no wait for weston to
// listen, and weston ends when the program's connection does. Stopped at the
// end, or by the kernel's signal if the program dies; the clients weston starts
// itself (its panel, its keyboard) fall to the test, which waits for them too.
class HeadlessWeston {
public:
    HeadlessWeston() {
        const QByteArray weston = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("weston")));
        if (weston.isEmpty()) {
            why_ = "weston is not installed (Debian package weston)";
            return;
        }
        if (!QFile::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so")) {
            why_ = "Qt's Wayland platform plug-in is not installed (Debian package qt6-wayland)";
            return;
        }
        int ends[2];
        if (!runtime_.isValid() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            why_ = "no runtime folder or socket pair for weston";
            return;
        }
        // Nothing reaches the desktop this runs on: no X server, no other compositor.
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const std::string fd = std::to_string(::dup(ends[1]));  // the copy stays open across exec
            ::setenv("WAYLAND_SERVER_SOCKET", fd.c_str(), 1);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::execl(weston.constData(), "weston", "--backend=headless-backend.so", "--idle-time=0",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ends[1]);
        qputenv("WAYLAND_SOCKET", QByteArray::number(ends[0]));
    }
    ~HeadlessWeston() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        while (::waitpid(-1, nullptr, 0) > 0) {
        }
    }
    HeadlessWeston(const HeadlessWeston&) = delete;
    HeadlessWeston& operator=(const HeadlessWeston&) = delete;

    [[nodiscard]] bool Started() const { return pid_ > 0; }
    // Why it did not start.
    [[nodiscard]] const char* Why() const { return why_; }

private:
    QTemporaryDir runtime_;  // made 0700, as a runtime folder must be
    pid_t pid_ = -1;
    const char* why_ = "";
};

}  // namespace

class WaylandTest : public QObject {
    Q_OBJECT
public:
    explicit WaylandTest(const HeadlessWeston& compositor) : compositor_(compositor) {}

private slots:
    void init() { kivo::test::ForgetSettings(); }
    void windowSendsTheVekTicketAndClosesOnRequest();

private:
    const HeadlessWeston& compositor_;
};

void WaylandTest::windowSendsTheVekTicketAndClosesOnRequest() {
    if (!compositor_.Started()) QSKIP(compositor_.Why());
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
    const QByteArray ticket = kivo::test::ReadFile(StockTicketPath(QStringLiteral("vek_test.txt")));
    QVERIFY(!ticket.isEmpty());
    kivo::test::LoopbackPrinter printer(9100);
    auto* w = new frmkivo;
    w->setAttribute(Qt::WA_DeleteOnClose);
    const QPointer<frmkivo> alive(w);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));  // weston has configured and shown it

    QVERIFY(kivo::test::ConnectWindow(*w, printer));
    kivo::test::Field(*w, "TxtCount")->setText(QStringLiteral("1"));
    kivo::test::Button(*w, "CmdVEKTest")->click();
    const QByteArray sent = VekCopyHeader(1) + ticket;
    QTRY_COMPARE(printer.Received().size(), sent.size());
    QVERIFY(printer.Received() == sent);
    printer.Send(QByteArray(1, '\x06'));
    QTRY_VERIFY(w->IncomingLog().Lines().contains(QStringLiteral("Ticket ACK")));

    // What Qt's wayland platform does with the compositor's close request: the
    // window lets go of the printer in order and goes.
    const QString connection = kivo::test::ConnectionName(*w);
    w->windowHandle()->close();
    QTRY_VERIFY(alive.isNull());
    QVERIFY(kivo::test::ClosedInOrder(connection));
}

int main(int argc, char** argv) {
    // The compositor and the platform are chosen before the application exists.
    const HeadlessWeston weston;
    qputenv("QT_QPA_PLATFORM", weston.Started() ? "wayland" : "offscreen");
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    WaylandTest test(weston);
    return QTest::qExec(&test, argc, argv);
}

#include "wayland_test.moc"
