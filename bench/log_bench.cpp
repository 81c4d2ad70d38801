// Receiving and logging: a flood of printer replies decoded into the incoming
// log while the window must stay responsive, and a million lines appended to a log.
#include "bench/measure.h"

#include "console/frmkivo.h"
#include "link/reply_decoder.h"

#include <QClipboard>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListView>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kivo::bench {
namespace {

constexpr LogKind kOut = LogKind::Outgoing;

// A log line of the kind the window writes most.
QString LogLine(qint64 i) {
    return QStringLiteral("Sending text =>TICKET ") + QString::number(i) + QStringLiteral(" to IP Address 127.0.0.1");
}

// The first count log lines in one list.
QStringList LogLineList(qint64 count) {
    QStringList lines;
    lines.reserve(count);
    for (qint64 i = 0; i < count; ++i) lines << LogLine(i);
    return lines;
}

// The lines a log measurement asks for: a million unless told otherwise.
qint64 LineCount(const QStringList& args) {
    return static_cast<qint64>(NumberOption(args, QStringLiteral("--lines"), 1e6));
}

double Mb(long kb) { return static_cast<double>(kb) / 1024.0; }

// Appends lines one at a time until all are in or the time is up; keeps the
// time every 1024 lines, so the figures show whether a line costs more as the
// log grows. Its memory figure counts from just before the first line.
struct OneAtATime {
    long rssBefore = PeakRssKb();
    qint64 lines = 0;
    double seconds = 0;
    double secondsAtHalf = 0;

    OneAtATime(qint64 count, double cap, const std::function<void(qint64)>& append) {
        std::vector<double> marks;
        const double start = Now();
        for (; lines < count; ++lines) {
            append(lines);
            if ((lines & 1023) == 0) {
                marks.push_back(Now() - start);
                if (marks.back() > cap) break;
            }
        }
        QCoreApplication::processEvents();  // the view catches up and paints
        seconds = Now() - start;
        secondsAtHalf = marks.empty() ? 0 : marks[static_cast<std::size_t>(lines / 2 / 1024)];
    }

    [[nodiscard]] Figures Result() const {
        return {{QStringLiteral("lines"), static_cast<double>(lines)},
                {QStringLiteral("seconds"), seconds},
                {QStringLiteral("seconds_at_half"), secondsAtHalf},
                {QStringLiteral("lines_per_s"), static_cast<double>(lines) / seconds},
                {QStringLiteral("mem_mb"), Mb(PeakRssKb() - rssBefore)}};
    }
};

// Fills the outgoing log one line at a time, so no list of all lines raises
// the peak memory before the measurement starts.
void FillLog(frmkivo& window, qint64 count) {
    for (qint64 i = 0; i < count; ++i) window.OutgoingLog().Append(LogLine(i));
    window.findChild<LogView*>("TxtMsg")->FollowNewest();
    QCoreApplication::processEvents();
}

// What one LogMessage call costs with a log that already holds n lines, for
// each n of the probe: the log is cleared, filled in one batch, and then takes
// 100 calls. Also what all calls would take.
void ProbeCallCost(frmkivo& window, const std::vector<qint64>& sizes, qint64 count, Figures& figures) {
    constexpr int kCalls = 100;
    std::vector<double> xs, ys;
    for (const qint64 size : sizes) {
        window.ClearLogs();
        window.LogLines(kOut, LogLineList(size));
        QCoreApplication::processEvents();
        const double start = Now();
        for (int i = 0; i < kCalls; ++i) window.LogMessage(kOut, LogLine(size + i));
        const double perCall = (Now() - start) / kCalls;
        figures[QStringLiteral("ms_per_call_at_%1").arg(size)] = perCall * 1000;
        xs.push_back(static_cast<double>(size));
        ys.push_back(perCall);
    }
    figures[QStringLiteral("projected_s")] = ProjectLinearCost(xs, ys, static_cast<double>(count));
}

}  // namespace

int MeasureDecodeWindow(const QStringList& args) {
    const qint64 bytes = static_cast<qint64>(NumberOption(args, QStringLiteral("--bytes"), 10e6));
    const QString seed = TextOption(args, QStringLiteral("--seed"), QStringLiteral("7"));
    const auto app = MakeApplication();
    frmkivo window;
    if (!ShowAndExpose(window)) return 1;
    std::optional<Peer> peer = StartListeningPeer(
        {QStringLiteral("burst"), QStringLiteral("--bytes"), QString::number(bytes), QStringLiteral("--seed"), seed});
    if (!peer || !ConnectWindow(window, peer->address)) return 1;
    // A log that already holds lines from earlier work, when asked for.
    const qint64 prefill = static_cast<qint64>(NumberOption(args, QStringLiteral("--prefill"), 0));
    if (prefill > 0) {
        const QStringList earlier = LogLineList(prefill);
        window.LogLines(LogKind::Incoming, earlier);
        QCoreApplication::processEvents();
    }

    QEventLoop loop;
    double lastLine = 0;
    bool closed = false;
    QObject::connect(&window.IncomingLog(), &QAbstractItemModel::rowsInserted, &loop, [&] { lastLine = Now(); });
    // The peer closes after the burst; the close is reported once every byte before it was read.
    QObject::connect(&window.OutgoingLog(), &QAbstractItemModel::rowsInserted, &loop, [&] {
        const LogModel& out = window.OutgoingLog();
        if (out.Line(out.Count() - 1) == QLatin1String("Lost connection with printer")) {
            closed = true;
            loop.quit();
        }
    });

    // A timer due every 100 ms stands for a click: how late it runs is how long
    // the operator would wait for an answer.
    double due = 0;
    double worstLate = 0;
    int ticks = 0;
    std::function<void()> tick = [&] {
        worstLate = std::max(worstLate, Now() - due);
        ++ticks;
        if (closed) return;
        due += 0.1;
        QTimer::singleShot(std::max(0, static_cast<int>((due - Now()) * 1000)), Qt::PreciseTimer, &loop, tick);
    };

    const long rssBefore = PeakRssKb();
    window.findChild<QLineEdit*>("TxtCmd")->setText(QStringLiteral("go"));
    const double start = Now();
    due = start + 0.1;
    QTimer::singleShot(100, Qt::PreciseTimer, &loop, tick);
    window.CmdText_Click();  // the peer starts its burst on the first byte it gets
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    if (!closed) loop.exec();
    const long rssAfter = PeakRssKb();
    const std::optional<qint64> sent = WaitReport(*peer, 5);
    Stop(*peer);
    if (!closed || !sent) return 1;

    const double seconds = lastLine - start;
    const LogModel& in = window.IncomingLog();
    const qint64 lines = in.Count() - prefill;
    PrintResult({{QStringLiteral("seconds"), seconds},
                 {QStringLiteral("mbps"), static_cast<double>(*sent) / 1e6 / seconds},
                 {QStringLiteral("lines"), static_cast<double>(lines)},
                 {QStringLiteral("lines_per_s"), static_cast<double>(lines) / seconds},
                 {QStringLiteral("mem_mb"), Mb(rssAfter - rssBefore)},
                 {QStringLiteral("worst_late_ms"), worstLate * 1000},
                 {QStringLiteral("ticks"), ticks},
                 {QStringLiteral("bytes_sent"), static_cast<double>(*sent)},
                 {QStringLiteral("bytes_in_log"), static_cast<double>(BytesBehindLines(in.Lines().mid(prefill)))}});
    return 0;
}

int MeasureDecodePlain(const QStringList& args) {
    const qint64 bytes = static_cast<qint64>(NumberOption(args, QStringLiteral("--bytes"), 10e6));
    const QString seed = TextOption(args, QStringLiteral("--seed"), QStringLiteral("7"));
    std::optional<Peer> peer = StartListeningPeer(
        {QStringLiteral("burst"), QStringLiteral("--bytes"), QString::number(bytes), QStringLiteral("--seed"), seed});
    const int fd = peer ? ConnectPlain(peer->address) : -1;
    if (fd < 0) return 1;

    // The same bytes read in 64 KiB pieces, decoded and kept in a plain list.
    const long rssBefore = PeakRssKb();
    QStringList lines;
    std::vector<char> buffer(64 * 1024);
    qint64 received = 0;
    const double start = Now();
    if (::send(fd, "go", 2, MSG_NOSIGNAL) != 2) return 1;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received += n;
        lines += DecodeReply(QByteArrayView(buffer.data(), n));
    }
    const double seconds = Now() - start;
    ::close(fd);
    Stop(*peer);
    if (received != bytes) return 1;
    PrintResult({{QStringLiteral("seconds"), seconds},
                 {QStringLiteral("mbps"), static_cast<double>(received) / 1e6 / seconds},
                 {QStringLiteral("lines"), static_cast<double>(lines.size())},
                 {QStringLiteral("lines_per_s"), static_cast<double>(lines.size()) / seconds},
                 {QStringLiteral("mem_mb"), Mb(PeakRssKb() - rssBefore)}});
    return 0;
}

int MeasureLogSingle(const QStringList& args) {
    const qint64 count = LineCount(args);
    const double cap = NumberOption(args, QStringLiteral("--cap"), 30);
    const auto app = MakeApplication();
    frmkivo window;
    if (!ShowAndExpose(window)) return 1;
    const OneAtATime run(count, cap, [&](qint64 i) { window.LogMessage(kOut, LogLine(i)); });
    Figures figures = run.Result();
    figures[QStringLiteral("in_log")] = static_cast<double>(window.OutgoingLog().Count());
    if (run.lines < count) ProbeCallCost(window, {count / 100, count / 10, count}, count, figures);
    PrintResult(figures);
    return 0;
}

// The same lines appended to the window's log model alone: no selecting and
// no scrolling for each line; the view catches up once at the end.
int MeasureLogModelOnly(const QStringList& args) {
    const qint64 count = LineCount(args);
    const auto app = MakeApplication();
    frmkivo window;
    if (!ShowAndExpose(window)) return 1;
    const OneAtATime run(count, 120, [&](qint64 i) { window.OutgoingLog().Append(LogLine(i)); });
    PrintResult(run.Result());
    return 0;
}

int MeasureLogBatch(const QStringList& args) {
    const qint64 count = LineCount(args);
    const auto app = MakeApplication();
    frmkivo window;
    if (!ShowAndExpose(window)) return 1;
    const long rssEmpty = PeakRssKb();
    const QStringList lines = LogLineList(count);
    // What the log itself takes, over the list the caller already holds.
    const long rssBefore = PeakRssKb();
    const double start = Now();
    window.LogLines(kOut, lines);
    QCoreApplication::processEvents();
    const double seconds = Now() - start;
    PrintResult({{QStringLiteral("lines"), static_cast<double>(count)},
                 {QStringLiteral("seconds"), seconds},
                 {QStringLiteral("lines_per_s"), static_cast<double>(count) / seconds},
                 {QStringLiteral("mem_mb"), Mb(PeakRssKb() - rssBefore)},
                 {QStringLiteral("list_mb"), Mb(rssBefore - rssEmpty)},
                 {QStringLiteral("in_log"), static_cast<double>(window.OutgoingLog().Count())}});
    return 0;
}

int MeasureLogPlainModel(const QStringList& args) {
    const qint64 count = LineCount(args);
    const double cap = NumberOption(args, QStringLiteral("--cap"), 30);
    const auto app = MakeApplication();
    // Qt's own string list model in a view set up as the window's logs are.
    QStringListModel model;
    QListView view;
    view.setModel(&model);
    view.setUniformItemSizes(true);
    view.resize(713, 139);
    if (!ShowAndExpose(view)) return 1;
    const OneAtATime run(count, cap, [&](qint64 i) {
        const int row = model.rowCount();
        model.insertRows(row, 1);
        const QModelIndex index = model.index(row);
        model.setData(index, LogLine(i));
        view.setCurrentIndex(index);
        view.scrollTo(index);
    });
    PrintResult(run.Result());
    return 0;
}

// Ctrl+A then Ctrl+C in a log of a million lines; with --plain, the lines taken
// out of the log, joined by hand and put on the clipboard instead.
int MeasureLogCopy(const QStringList& args) {
    const qint64 count = LineCount(args);
    const auto app = MakeApplication();
    frmkivo window;
    if (!ShowAndExpose(window)) return 1;
    FillLog(window, count);
    window.findChild<LogView*>("TxtMsg")->setFocus();
    const long rssBefore = PeakRssKb();
    const double start = Now();
    if (args.contains(QStringLiteral("--plain"))) {
        QGuiApplication::clipboard()->setText(window.OutgoingLog().Lines().join(QLatin1Char('\n')));
    } else {
        QTest::keyClick(window.findChild<LogView*>("TxtMsg"), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(window.findChild<LogView*>("TxtMsg"), Qt::Key_C, Qt::ControlModifier);
    }
    const double seconds = Now() - start;
    const QString copied = QGuiApplication::clipboard()->text();
    if (copied.count(QLatin1Char('\n')) + 1 != count) return 1;
    PrintResult({{QStringLiteral("seconds"), seconds},
                 {QStringLiteral("mem_mb"), Mb(PeakRssKb() - rssBefore)},
                 {QStringLiteral("text_mb"), static_cast<double>(copied.size()) * 2 / (1024 * 1024)}});
    return 0;
}

// Save As of a log of a million lines; with --plain, the same lines with the
// same ISO times written by a plain QFile loop instead.
int MeasureLogSave(const QStringList& args) {
    const qint64 count = LineCount(args);
    const auto app = MakeApplication();
    frmkivo window;
    if (!ShowAndExpose(window)) return 1;
    FillLog(window, count);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    const long rssBefore = PeakRssKb();
    const double start = Now();
    if (args.contains(QStringLiteral("--plain"))) {
        const LogModel& log = window.OutgoingLog();
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return 1;
        for (qsizetype row = 0; row < log.Count(); ++row) {
            file.write(QDateTime::fromMSecsSinceEpoch(log.LineTime(row)).toString(Qt::ISODateWithMs).toUtf8());
            file.write("\t");
            file.write(log.Line(row).toUtf8());
            file.write("\n");
        }
        file.close();
    } else {
        window.findChild<LogView*>("TxtMsg")->SetSaveChooser([&path](QWidget*, const QString&) { return path; });
        window.findChild<LogView*>("TxtMsg")->SaveAs();
    }
    const double seconds = Now() - start;
    if (window.OutgoingLog().Count() != count) return 1;  // a failed save would have added a line
    PrintResult({{QStringLiteral("seconds"), seconds},
                 {QStringLiteral("mem_mb"), Mb(PeakRssKb() - rssBefore)},
                 {QStringLiteral("file_mb"), static_cast<double>(QFileInfo(path).size()) / (1024 * 1024)}});
    return 0;
}

}  // namespace kivo::bench
