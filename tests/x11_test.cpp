// The window under a real X server (its own Xvfb, the xcb platform): there a
// close request of the window manager is input, which must end a connect that
// goes on at once; focus, popups and the context menu behave as on a desktop.
// Skipped when Xvfb is not installed.
// KIVO_X11_RUNS=N runs the close request N times in a row (the stress test).
#include "console/frmkivo.h"
#include "console/log_view.h"
#include "console/settings.h"
#include "link/printer_connection.h"
#include "tests/support/window_support.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QMenu>
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
            ::execl(xvfb.constData(), "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp",
                    static_cast<char*>(nullptr));
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

// Counts the close events a window gets, and whether its connect was still
// going on when the first came.
class CloseEvents : public QObject {
public:
    explicit CloseEvents(frmkivo& w) : w_(w) { w.installEventFilter(this); }
    int count = 0;
    bool connectingAtFirst = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Close && count++ == 0)
            connectingAtFirst = w_.Session().GetState() == PrinterSession::State::Connecting;
        return false;
    }

private:
    frmkivo& w_;
};

// The application's client leader that Qt gave `window` (WM_CLIENT_LEADER): a
// hidden 1x1 window that bears the application's name.
xcb_window_t ClientLeader(xcb_window_t window) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const char name[] = "WM_CLIENT_LEADER";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), nullptr);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, atom ? atom->atom : 0, XCB_ATOM_WINDOW, 0, 1), nullptr);
    xcb_window_t leader = XCB_WINDOW_NONE;
    if (reply && xcb_get_property_value_length(reply) == sizeof leader)
        leader = *static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
    std::free(reply);
    std::free(atom);
    xcb_disconnect(c);
    return leader;
}

}  // namespace

class X11Test : public QObject {
    Q_OBJECT
private slots:
    void init() { kivo::test::ForgetSettings(); }
    void closeRequestDuringAConnectEndsTheProgram_data();
    void closeRequestDuringAConnectEndsTheProgram();
    void connectGivesTheCommandBoxTheFocus();
    void suggestionsDoNotEatTheClickOnConnect();
    void rightClickKeepsSelectionAndFollowing();
};

namespace {

bool ShownAndActive(QWidget& w) {
    w.show();
    w.activateWindow();
    return QTest::qWaitForWindowActive(&w);
}

// A click as the window system delivers it, at the middle of `control`.
void ClickOn(QWidget& control, Qt::MouseButton button = Qt::LeftButton) {
    QWidget* window = control.window();
    QTest::mouseClick(window->windowHandle(), button, {}, control.mapTo(window, control.rect().center()));
}

}  // namespace

void X11Test::connectGivesTheCommandBoxTheFocus() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) QSKIP("Xvfb is not installed (Debian package xvfb)");
    kivo::test::LoopbackPrinter printer(9100);
    frmkivo w;
    QVERIFY(ShownAndActive(w));
    // The address shown at start is selected: what is typed replaces it.
    QLineEdit* address = kivo::test::Field(w, "IP_Address");
    QCOMPARE(QApplication::focusWidget(), address);
    QCOMPARE(address->selectedText(), address->text());
    QTest::keyClicks(address, printer.Address());
    QCOMPARE(address->text(), printer.Address());
    ClickOn(*kivo::test::Button(w, "CmdConnect"));
    QTRY_VERIFY(w.Connected());
    QTRY_COMPARE(QApplication::focusWidget(), kivo::test::Field(w, "TxtCmd"));
    QTest::keyClicks(QApplication::focusWidget(), "<p>");
    QCOMPARE(kivo::test::Field(w, "TxtCmd")->text(), QStringLiteral("<p>"));
}

void X11Test::suggestionsDoNotEatTheClickOnConnect() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) QSKIP("Xvfb is not installed (Debian package xvfb)");
    kivo::test::LoopbackPrinter printer(9100);
    {
        OperatorSettings store;
        store.RememberAddress(printer.Address() + QStringLiteral(":9100"));
        store.RememberAddress(printer.Address());
        QVERIFY(store.Sync());
    }
    frmkivo w;
    QVERIFY(ShownAndActive(w));
    QLineEdit* address = kivo::test::Field(w, "IP_Address");
    QAbstractItemView* list = address->completer()->popup();
    address->clear();
    address->setFocus();
    // Two addresses start so: the list opens, and the click on Connect still connects.
    QTest::keyClicks(address, printer.Address());
    QTRY_VERIFY(list->isVisible());
    ClickOn(*kivo::test::Button(w, "CmdConnect"));
    QTRY_VERIFY(w.Connected());
    QVERIFY(!list->isVisible());
    QCOMPARE(w.OutgoingLog().Line(0),
             "Attempting to establish a connection with the printer at " + printer.Address() + " on port 9100");

    // Typed in full, the one suggestion needs no list.
    kivo::test::Button(w, "CmdConnect")->click();  // Disconnect
    address->clear();
    QTest::keyClicks(address, printer.Address() + QStringLiteral(":91"));
    QTRY_VERIFY(list->isVisible());
    QTest::keyClicks(address, "00");
    QTRY_VERIFY(!list->isVisible());
}

void X11Test::rightClickKeepsSelectionAndFollowing() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) QSKIP("Xvfb is not installed (Debian package xvfb)");
    frmkivo w;
    QVERIFY(ShownAndActive(w));
    LogView* log = kivo::test::Log(w, "TxtMsg");
    for (int i = 0; i < 5; ++i) w.LogMessage(LogKind::Outgoing, QStringLiteral("line %1").arg(i));
    QVERIFY(log->Selection().IsOnly(4));
    // The context menu opens on the first line; Escape closes it.
    bool menuShown = false;
    kivo::test::WhenTrue(
        &w, [] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr; },
        [&] {
            menuShown = true;
            QApplication::activePopupWidget()->close();
        });
    QTest::mouseClick(w.windowHandle(), Qt::RightButton, {},
                      log->viewport()->mapTo(&w, QPoint(20, log->RowHeight() / 2)));
    QTRY_VERIFY(menuShown);
    QVERIFY(log->Selection().IsOnly(4));
    w.LogMessage(LogKind::Outgoing, QStringLiteral("line 5"));  // still following the newest line
    QVERIFY(log->Selection().IsOnly(5));
}

void X11Test::closeRequestDuringAConnectEndsTheProgram_data() {
    // clang-format off
    QTest::addColumn<bool>("whenAttempting");  // as the "Attempting" line is written, else once it is connecting
    QTest::addColumn<bool>("toLeader");        // to the hidden client-leader window, as a tool that finds by name may
    const int runs = std::max(1, qEnvironmentVariableIntValue("KIVO_X11_RUNS"));
    for (int run = 1; run <= runs; ++run) {
        QTest::addRow("attempting, run %d", run)          << true  << false;
        QTest::addRow("connecting, run %d", run)          << false << false;
        QTest::addRow("connecting, leader, run %d", run)  << false << true;
    }
    // clang-format on
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
    connect(&w->OutgoingLog(), &QAbstractItemModel::rowsInserted, this,
            [w, &lines](const QModelIndex&, int, int last) { lines << w->OutgoingLog().Line(last); });
    const CloseEvents closeEvents(*w);
    QString lastLineAtClose;
    connect(qApp, &QGuiApplication::lastWindowClosed, w, [&] { lastLineAtClose = lines.value(lines.size() - 1); });
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    kivo::test::Field(*w, "IP_Address")->setText(printer.Address());
    QFETCH(bool, whenAttempting);
    QFETCH(bool, toLeader);
    if (toLeader) QVERIFY(ClientLeader(static_cast<xcb_window_t>(w->winId())) != XCB_WINDOW_NONE);

    QElapsedTimer sinceRequest;
    const auto request = [&] {
        if (sinceRequest.isValid()) return;
        const auto window = static_cast<xcb_window_t>(w->winId());
        RequestClose(toLeader ? ClientLeader(window) : window);
        sinceRequest.start();
    };
    if (whenAttempting) {
        connect(&w->OutgoingLog(), &QAbstractItemModel::rowsInserted, this, [&, w](const QModelIndex&, int, int last) {
            if (w->OutgoingLog().Line(last).startsWith(QLatin1String("Attempting"))) request();
        });
    } else {
        kivo::test::WhenTrue(
            w, [w] { return w->Session().GetState() == PrinterSession::State::Connecting; }, request);
    }
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
    QVERIFY2(sinceRequest.isValid() && sinceRequest.elapsed() < PrinterConnection::kConnectTimeoutMs / 2,
             qPrintable(QString::number(sinceRequest.elapsed())));
    // At once: the one close request came while the connect went on, and by the
    // time the window had closed on it, the connect was cancelled.
    QCOMPARE(closeEvents.count, 1);
    QVERIFY(closeEvents.connectingAtFirst);
    QCOMPARE(lastLineAtClose, QStringLiteral("Error 10004: cancelled by the operator"));
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
