// What the measurements share, and the "measure" and "startup" commands.
#include "bench/measure.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include "console/frmkivo.h"

#include <QLineEdit>
#include <QTimer>
#include <QTest>
#include <QWindow>

#include <cstdio>

namespace kivo::bench {

QString TextOption(const QStringList& args, const QString& name, const QString& fallback) {
    const qsizetype i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args[i + 1] : fallback;
}

double NumberOption(const QStringList& args, const QString& name, double fallback) {
    bool ok = false;
    const double value = TextOption(args, name).toDouble(&ok);
    return ok ? value : fallback;
}

std::unique_ptr<QApplication> MakeApplication() {
    static int argc = 1;
    static char name[] = "kivo-bench";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QApplication>(argc, argv);
}

bool ShowAndExpose(QWidget& widget) {
    widget.show();
    return QTest::qWaitForWindowExposed(&widget);
}

std::optional<Peer> StartListeningPeer(const QStringList& args, int receiveBuffer) {
    std::optional<Listener> listener = ListenOnPrinterPort(receiveBuffer);
    if (!listener) return std::nullopt;
    return StartPeer(*listener, args);
}

bool ConnectWindow(frmkivo& window, const QString& address) {
    window.findChild<QLineEdit*>("IP_Address")->setText(address);
    window.CmdConnect_Click();
    return RunLoopUntil([&window] { return window.Connected(); }, 20);
}

bool RunLoopUntil(const std::function<bool()>& done, double timeoutSeconds) {
    const double deadline = Now() + timeoutSeconds;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || Now() >= deadline) loop.quit();
    });
    check.start(10);
    if (!done()) loop.exec();
    return done();
}

void RunLoopFor(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

std::optional<qint64> WaitReportLooping(Peer& peer, double timeoutSeconds) {
    if (peer.reportFd < 0) return std::nullopt;
    QSocketNotifier ready(peer.reportFd, QSocketNotifier::Read);
    bool readable = false;
    QObject::connect(&ready, &QSocketNotifier::activated, [&] {
        readable = true;
        ready.setEnabled(false);
    });
    if (!RunLoopUntil([&readable] { return readable; }, timeoutSeconds)) return std::nullopt;
    return WaitReport(peer, timeoutSeconds);
}

int RunMeasure(const QStringList& args) {
    const QString name = args.value(0);
    const QStringList options = args.mid(1);
    if (name == QLatin1String("cpu-wait")) return MeasureCpuWait(options);
    if (name == QLatin1String("disconnect-wait")) return MeasureDisconnectWait(options);
    if (name == QLatin1String("send-program")) return MeasureSendProgram(options);
    if (name == QLatin1String("send-loop")) return MeasureSendLoop(options);
    if (name == QLatin1String("send-nc")) return MeasureSendNc(options);
    if (name == QLatin1String("send-kivo")) return MeasureSendKivo(options);
    if (name == QLatin1String("decode-window")) return MeasureDecodeWindow(options);
    if (name == QLatin1String("decode-plain")) return MeasureDecodePlain(options);
    if (name == QLatin1String("log-single")) return MeasureLogSingle(options);
    if (name == QLatin1String("log-model-only")) return MeasureLogModelOnly(options);
    if (name == QLatin1String("log-batch")) return MeasureLogBatch(options);
    if (name == QLatin1String("log-plain-model")) return MeasureLogPlainModel(options);
    if (name == QLatin1String("log-copy")) return MeasureLogCopy(options);
    if (name == QLatin1String("log-save")) return MeasureLogSave(options);
    if (name == QLatin1String("find")) return MeasureFind(options);
    if (name == QLatin1String("fleet")) return MeasureFleet(options);
    std::fprintf(stderr, "unknown measurement: %s\n", qPrintable(name));
    return 2;
}

int RunStartup(const QString& kind) {
    const auto app = MakeApplication();
    std::unique_ptr<QWidget> widget;
    if (kind == QLatin1String("window")) {
        widget = std::make_unique<frmkivo>();
    } else if (kind == QLatin1String("bare")) {
        widget = std::make_unique<QWidget>();
        widget->resize(731, 552);  // the main window's size
    } else {
        return 2;
    }
    widget->show();
    // The first turn of the event loop after show(): the window is up and has
    // had its first events. Polls every millisecond until it is exposed.
    QEventLoop loop;
    double exposedAt = 0;
    QTimer poll;
    poll.setInterval(0);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (widget->windowHandle() && widget->windowHandle()->isExposed()) {
            exposedAt = Now();
            loop.quit();
        }
    });
    poll.start();
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    if (exposedAt == 0) return 1;
    PrintResult({{QStringLiteral("exposed"), exposedAt}});
    return 0;
}

}  // namespace kivo::bench
