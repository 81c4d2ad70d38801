#include "send/send_session.h"

#include "link/commands.h"
#include "link/jobs.h"
#include "link/reply_decoder.h"
#include "link/printer_link.h"
#include "link/winsock_module.h"
#include "pcx/pcx_download.h"
#include "ping/ping.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <algorithm>
#include <utility>

#include <poll.h>

namespace kivo {
namespace {

constexpr LogKind kOut = LogKind::Outgoing;
constexpr unsigned char kTicketAck = 0x06;

QString Seconds(double seconds) { return QString::number(seconds, 'f', 3); }

}  // namespace

SendSession::SendSession(SendOptions options, std::FILE* out, std::FILE* err, bool errIsTerminal)
    : options_(std::move(options)), out_(out), err_(err), progress_(errIsTerminal), sender_(*this),
      link_(&window_, *this), watch_(sender_, *this, link_) {
    run_.start();
}

SendSession::~SendSession() {
    if (link_.IsOpen()) watch_.CloseNow(QStringLiteral("kivo-send ended"));
}

int SendSession::Run() {
    QString why;
    if (!StartNetwork(&why)) {
        reason_ = QStringLiteral("the socket library did not start: ") + why;
        connectFailed_ = true;
        Summarize(kSendUndelivered);
        return kSendUndelivered;
    }
    if (options_.ping) {
        const int pinged = Ping();
        if (options_.actions.empty()) {
            Summarize(pinged);
            return pinged;
        }
    }
    // Answers to wait for: as given, none, or one per print command made.
    if (options_.expect)
        expected_ = *options_.expect;
    else if (!options_.noAnswers)
        expected_ = PrintCommandCount(options_.actions) * options_.repeat;
    if (Connect()) {
        RunActions();
        WaitForPrinter();
        Close();
    }
    EndProgress();
    const int status = Status();
    Summarize(status);
    return status;
}

// ---------------------------------------------------------------- steps

int SendSession::Ping() {
    pinging_ = true;
    PingRun run(*this, AddressText());
    PingCounts counts;
    QEventLoop loop;
    QObject::connect(&run, &PingRun::Finished, &loop, [&](const PingCounts& ended) {
        counts = ended;
        loop.quit();
    });
    run.Start();
    loop.exec();
    pinging_ = false;
    echoesAnswered_ = counts.received;
    echoesNotAllowed_ = counts.notAllowed;
    // A system that lets no echo out is a local setting, not a silent printer;
    // an address ping cannot take is bad input, as it is for a connect.
    if (echoesNotAllowed_ && echoesAnswered_ == 0)
        reason_ = QStringLiteral("this system lets the program send no ICMP echo (net.ipv4.ping_group_range)");
    else if (counts.badAddress)
        reason_ = QStringLiteral("\"%1\" is not an IPv4 address").arg(AddressText());
    if (!reason_.isEmpty()) {
        LogMessage(kOut, reason_, Severity::Fault);
        return kSendUsage;
    }
    return echoesAnswered_ > 0 ? kSendOk : kSendUndelivered;
}

bool SendSession::Connect() {
    const QString where = QStringLiteral("%1 on port %2").arg(options_.address).arg(options_.port);
    LogMessage(kOut, QStringLiteral("Attempting to establish a connection with the printer at ") + where);
    bool timedOut = false;
    const auto previous = ws::WSASetBlockingHook([this, &timedOut] {
        if (Elapsed() < options_.timeoutSeconds || timedOut) return;
        timedOut = true;
        ws::WSACancelBlockingCall();
    });
    QString connection;
    link_.Open(options_.address, options_.port, connection);
    const int error = ws::WSAGetLastError();
    ws::WSASetBlockingHook(previous);
    if (!link_.IsOpen()) {
        connectFailed_ = true;
        if (timedOut) {
            giveUp_ = kSendTimedOut;
            reason_ = QStringLiteral("no connection within %1 s").arg(options_.timeoutSeconds);
        } else if (error == ws::WSAHOST_NOT_FOUND) {
            // An address that is no address: bad input, refused before any connect.
            giveUp_ = kSendUsage;
            reason_ = ConnectFailureReason(error, false);
        } else {
            reason_ = ConnectFailureReason(error, false);
        }
        LogMessage(kOut, QStringLiteral("Error while connecting to the printer ") + where, Severity::Fault);
        LogMessage(kOut, reason_, Severity::Fault);
        return false;
    }
    connected_.start();
    watch_.Attach();
    lastTakenAt_ = Elapsed();
    if (options_.json)
        Emit(
            {{"event", "connect"}, {"address", options_.address}, {"port", options_.port}, {"connection", connection}});
    LogMessage(kOut, QStringLiteral("Connection made to ") + where);
    return true;
}

void SendSession::RunActions() {
    for (long long run = 1; run <= options_.repeat && !Stopped(); ++run) {
        if (run > 1) {
            const double until = Elapsed() + options_.intervalSeconds;
            while (!Stopped() && Elapsed() < until) Pause(std::min(0.05, until - Elapsed()));
        }
        for (const SendAction& action : options_.actions) {
            if (Stopped()) break;
            Perform(action);
            // Replies, a lost connection and the time-out are heard between actions
            // too, not only while a send waits for room.
            platform::DoEvents();
            Check();
        }
    }
    sendingDone_ = true;
}

void SendSession::Perform(const SendAction& action) {
    const qint64 before = watch_.Sent();
    sender_.BeginJob();
    int job = 0;
    // The plan's lines (a conversion) come before the command, as in the window.
    LogLines(kOut, action.plan.lines, action.plan.severity);
    const CommandTarget target{sender_,
                               link_.Handle(),
                               *this,
                               [this, &job](const QString& what, qint64 planned, qint64 copies, bool reportDone) {
                                   job = watch_.BeginJob(what, planned, copies, reportDone);
                               },
                               [this, &job] { watch_.EndCopy(job); },
                               kSendFilePiece};
    const CommandOutcome outcome = RunCommand(*action.command, action.input, target);
    const bool failed = sender_.JobFailed() || outcome.incomplete || outcome.refused;
    if (job != 0) watch_.EndJob(job, failed ? JobEnd::Failed : JobEnd::Sent);
    if (failed && giveUp_ == kSendOk && !lost_) {
        // A send error, or a file that could not be sent whole: the printer
        // does not get what the action means to send.
        giveUp_ = kSendUndelivered;
        reason_ = QStringLiteral("%1 was not sent whole").arg(action.option);
        sender_.CancelJob();
    }
    if (options_.json) {
        QJsonObject event{
            {"event", "sent"}, {"action", action.option}, {"bytes", watch_.Sent() - before}, {"time", SinceConnect()}};
        if (!action.argument.isEmpty()) event.insert("argument", action.argument);
        if (TakesCopies(*action.command)) event.insert("copies", action.copies);
        Emit(event);
    }
}

void SendSession::WaitForPrinter() {
    // Every byte taken by the printer first ...
    while (!Stopped() && watch_.Unacknowledged() > 0) {
        ShowProgress(QStringLiteral("waiting for the printer to take %1").arg(ByteCount(watch_.Unacknowledged())));
        Pause(0.05);
    }
    // ... then its answers: as many as expected, or until it has been quiet.
    const double takenAt = Elapsed();
    while (!Stopped() && !options_.noAnswers) {
        if (expected_ > 0 ? answers_ >= expected_
                          : Elapsed() - std::max(takenAt, lastReplyAt_) >= options_.quietSeconds)
            break;
        ShowProgress(expected_ > 0 ? QStringLiteral("%1 of %2 ticket answers").arg(answers_).arg(expected_)
                                   : QStringLiteral("waiting for answers"));
        Pause(0.05);
    }
    // Answers that never came are what the time-out is about.
    if (giveUp_ == kSendTimedOut && expected_ > 0 && answers_ < expected_ && sendingDone_ &&
        watch_.Unacknowledged() == 0)
        reason_ =
            QStringLiteral("%1 of %2 print commands unanswered").arg(Grouped(expected_ - answers_), Grouped(expected_));
}

void SendSession::Close() {
    if (!link_.IsOpen()) return;
    sent_ = watch_.Sent();
    if (giveUp_ != kSendOk) {
        taken_ = Acked();
        notTaken_ = sent_ - taken_;
        watch_.CloseNow(reason_);
    } else {
        // The printer has taken everything: the close reads its last answers and
        // ends the stream in order.
        if (!watch_.CloseWhenTaken())
            while (watch_.Waiting()) Pause(0.05);
        taken_ = Acked();
        notTaken_ = sent_ - taken_;
    }
    link_.CloseAbortive();  // does nothing once the watch has closed it
}

void SendSession::ConnectionLost(ws::SOCKET s, int error) {
    if (!link_.IsOpen() || s != link_.Handle()) return;
    sent_ = watch_.Sent();
    // The printer's acknowledged count survives its close or reset.
    taken_ = Acked();
    notTaken_ = sent_ - taken_;
    sender_.CancelJob();
    const QString why = error != 0 ? QStringLiteral("the printer reset the connection")
                                   : QStringLiteral("the printer closed the connection");
    watch_.CloseNow(why);
    link_.CloseAbortive();  // does nothing once the watch has closed it
    lost_ = true;
    if (!sendingDone_ || notTaken_ > 0) {
        if (giveUp_ == kSendOk) giveUp_ = kSendUndelivered;
        if (reason_.isEmpty()) reason_ = why;
    }
}

// ---------------------------------------------------------------- waiting

void SendSession::Pause(double seconds) {
    const int ms = std::max(1, static_cast<int>(seconds * 1000));
    QEventLoop loop;
    if (sender_.Waiting() && link_.IsOpen()) {
        // A send waiting for room goes on as soon as the system has room again
        // (or after the pause): a file streams at the printer's pace, not at
        // that of 10 ms naps. There is no window to keep responsive; replies
        // that came meanwhile are handled right after.
        pollfd room{link_.Handle(), POLLOUT, 0};
        ::poll(&room, 1, ms);
        loop.processEvents();
    } else {
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        // After the last send, a printer that took as much during the last
        // pause as it still has to take is looked at every few milliseconds, so
        // the run ends soon after its last acknowledgement; a slow printer is
        // not polled any more often than before.
        QTimer taken;
        const qint64 unacked = sendingDone_ && link_.IsOpen() ? watch_.Unacknowledged() : 0;
        const qint64 acked = watch_.Sent() - unacked;
        if (unacked > 0 && ackedAtPause_ >= 0 && acked - ackedAtPause_ >= unacked) {
            QObject::connect(&taken, &QTimer::timeout, &loop, [this, &loop] {
                if (watch_.Unacknowledged() == 0) loop.quit();
            });
            taken.start(5);
        }
        ackedAtPause_ = unacked > 0 ? acked : -1;
        loop.exec();
    }
    Check();
}


void SendSession::Check() {
    if (giveUp_ != kSendOk || pinging_) return;
    if (Elapsed() >= options_.timeoutSeconds) {
        GiveUp(kSendTimedOut, QStringLiteral("no end within %1 s").arg(options_.timeoutSeconds));
        return;
    }
    if (!link_.IsOpen()) return;
    const qint64 unacked = watch_.Unacknowledged();
    const qint64 acked = watch_.Sent() - unacked;
    if (acked > lastAcked_ || unacked == 0) {
        lastAcked_ = acked;
        lastTakenAt_ = Elapsed();
    } else if (Elapsed() - lastTakenAt_ >= options_.stallSeconds) {
        GiveUp(kSendUndelivered, QStringLiteral("the printer took nothing for %1 s").arg(options_.stallSeconds));
        return;
    }
    if (const std::optional<JobState> job = watch_.RunningJob()) ShowProgress(ProgressText(*job));
}

void SendSession::GiveUp(int status, const QString& reason) {
    if (giveUp_ != kSendOk) return;
    giveUp_ = status;
    reason_ = reason;
    sender_.CancelJob();
}

double SendSession::SinceConnect() const {
    return connected_.isValid() ? static_cast<double>(connected_.elapsed()) / 1000.0 : 0.0;
}

// ---------------------------------------------------------------- output

void SendSession::LogMessage(LogKind kind, const QString& text, Severity severity) {
    if (pinging_) {
        // The ping report is what --ping asks for: it goes to the output.
        if (options_.json)
            Emit({{"event", "ping"}, {"text", text}});
        else if (!options_.quietOutput)
            Print(out_, text + QLatin1Char('\n'));
        return;
    }
    if (options_.json) {
        QJsonObject event{{"event", "log"},
                          {"log", kind == kOut ? "outgoing" : "incoming"},
                          {"text", text},
                          {"time", SinceConnect()}};
        if (severity != Severity::None) event.insert("severity", severity == Severity::Fault ? "fault" : "warning");
        Emit(event);
    } else if (!options_.quietOutput) {
        EndProgress();
        Print(err_, text + QLatin1Char('\n'));
    }
}

void SendSession::LogReply(const std::vector<ReplyLine>& lines) {
    lastReplyAt_ = Elapsed();
    const double at = SinceConnect();
    for (const ReplyLine& line : lines) {
        QJsonArray bytes;
        if (line.byte >= 0) {
            const auto byte = static_cast<unsigned char>(line.byte);
            bytes.append(line.byte);
            tally_.Add(byte);
            if (const StatusRow* status = FindStatus(byte)) {
                if (status->answer) ++answers_;
                if (byte == kTicketAck) ++acks_;
                if (status->severity == Severity::Fault) fault_ = true;
            }
        } else {
            for (const char c : line.text.toLatin1()) bytes.append(static_cast<unsigned char>(c));
        }
        if (options_.json) {
            Emit({{"event", "reply"}, {"time", at}, {"text", line.text}, {"bytes", bytes}});
        } else if (!options_.quietOutput) {
            EndProgress();
            Print(out_, QStringLiteral("%1  %2\n").arg(Seconds(at), 8).arg(line.text));
        }
    }
}

int SendSession::Status() const {
    if (giveUp_ == kSendTimedOut || giveUp_ == kSendUsage) return giveUp_;
    if (connectFailed_ || giveUp_ == kSendUndelivered) return kSendUndelivered;
    if (fault_) return kSendFault;
    if (options_.expect && acks_ < *options_.expect) return kSendFault;
    return kSendOk;
}

void SendSession::Summarize(int status) {
    static const char* const kMeaning[] = {"every byte taken, no fault", "the printer reported a fault",
                                           "not delivered", "timed out"};
    const char* const kBadInput = "bad input";
    const QString meaning = options_.actions.empty()
                                ? QString::fromLatin1(status == kSendOk ? "the printer answers" : "no echo came back")
                                : QString::fromLatin1(status >= 0 && status <= 3 ? kMeaning[status] : kBadInput);
    if (options_.json) {
        QJsonObject tally;
        for (const auto& [name, count] : tally_.Counts()) tally.insert(name, static_cast<qint64>(count));
        QJsonObject done{{"event", "done"}, {"status", status},        {"meaning", meaning},    {"sent", sent_},
                         {"taken", taken_}, {"notTaken", notTaken_},   {"answers", answers_},   {"acks", acks_},
                         {"tally", tally},  {"runs", options_.repeat}, {"time", SinceConnect()}};
        if (!reason_.isEmpty()) done.insert("reason", reason_);
        Emit(done);
        return;
    }
    QString line;
    if (options_.actions.empty()) {
        line = QStringLiteral("Summary: %1 of %2 echoes answered").arg(echoesAnswered_).arg(kPingCount);
    } else if (connectFailed_) {
        line = QStringLiteral("Summary: no connection to %1 on port %2, nothing sent")
                   .arg(options_.address)
                   .arg(options_.port);
    } else {
        line = QStringLiteral("Summary: ");
        if (options_.repeat > 1) line += QStringLiteral("%1 runs, ").arg(Grouped(options_.repeat));
        line += QStringLiteral("%1 sent, %2 taken").arg(ByteCount(sent_), Grouped(taken_));
        if (notTaken_ > 0) line += QStringLiteral(", %1 not taken").arg(Grouped(notTaken_));
        line += QStringLiteral("; %1 ticket answer%2").arg(Grouped(answers_)).arg(answers_ == 1 ? "" : "s");
        if (const QString tally = tally_.Text(); !tally.isEmpty()) line += QStringLiteral(" (%1)").arg(tally);
        // Warnings need the technician's eye, though the run went well.
        QStringList warnings;
        for (const StatusRow& row : StatusRows())
            if (row.severity == Severity::Warning && tally_.Count(row.byte) > 0)
                warnings << QLatin1String(row.shortName);
        if (!warnings.isEmpty()) line += QStringLiteral("; warning: ") + warnings.join(QStringLiteral(", "));
    }
    line += QStringLiteral("; status %1: %2").arg(status).arg(meaning);
    if (!reason_.isEmpty() && status != kSendOk) line += QStringLiteral(" (%1)").arg(reason_);
    Print(out_, line + QLatin1Char('\n'));
}

void SendSession::Emit(QJsonObject event) {
    if (!event.contains("time")) event.insert("time", SinceConnect());
    Print(out_, QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}

void SendSession::Print(std::FILE* to, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fflush(to);
}

void SendSession::ShowProgress(const QString& text) {
    if (!progress_) return;
    if (progressShown_.isValid() && progressShown_.elapsed() < 250) return;
    progressShown_.start();
    Print(err_, QStringLiteral("\r\x1b[K") + text);
    progressLine_ = true;
}

void SendSession::EndProgress() {
    if (!progressLine_) return;
    progressLine_ = false;
    Print(err_, QStringLiteral("\r\x1b[K"));
}

}  // namespace kivo
