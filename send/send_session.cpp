#include "send/send_session.h"

#include "send/write_text.h"

#include "link/commands.h"
#include "link/jobs.h"
#include "link/numbers.h"
#include "link/printer_socket.h"
#include "ping/ping.h"
#include "platform/socket_errors.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <utility>

namespace kivo {
namespace {

constexpr LogKind kOut = LogKind::Outgoing;
constexpr unsigned char kTicketAck = 0x06;

QString Seconds(double seconds) { return QString::number(seconds, 'f', 3); }

PrinterSession::Settings SendSessionSettings(const SendOptions& options) {
    PrinterSession::Settings settings;
    settings.filePiece = kSendFilePiece;
    settings.stallFloorSeconds = options.stallSeconds;
    return settings;
}

QString OutcomeName(JobOutcome::Kind kind) {
    switch (kind) {
    case JobOutcome::Kind::Done: return QStringLiteral("done");
    case JobOutcome::Kind::Unconfirmed: return QStringLiteral("unconfirmed");
    case JobOutcome::Kind::CutShort: return QStringLiteral("cut");
    }
    return {};
}

}  // namespace

SendSession::SendSession(SendOptions options, std::FILE* out, std::FILE* err, bool errIsTerminal, QObject* parent)
    : QObject(parent), options_(std::move(options)), out_(out), err_(err), progress_(errIsTerminal),
      session_(*this, SendSessionSettings(options_)) {
    run_.start();
    timeout_.setSingleShot(true);
    later_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this, [this] {
        GiveUp(kSendTimedOut, session_.GetState() == PrinterSession::State::Connecting
                                  ? QStringLiteral("no connection within %1 s").arg(options_.timeoutSeconds)
                                  : QStringLiteral("no end within %1 s").arg(options_.timeoutSeconds));
    });
    connect(&session_, &PrinterSession::ConnectFinished, this,
            [this](bool connected, int error) { OnConnectFinished(connected, error); });
    connect(&session_, &PrinterSession::JobHanded, this,
            [this](int, JobEnd how, qint64 bytes) { ActionHanded(bytes, how != JobEnd::Failed, false); });
    connect(&session_, &PrinterSession::JobSettled, this, &SendSession::OnJobSettled);
    connect(&session_, &PrinterSession::Progress, this, [this] {
        ShowProgress();
        CheckEnd();
    });
    connect(&session_, &PrinterSession::Stalled, this, [this](const QString& reason) {
        if (giveUp_ == kSendOk) {
            giveUp_ = kSendUndelivered;
            reason_ = reason;
        }
    });
    connect(&session_, &PrinterSession::Lost, this, [this](int error) {
        lost_ = true;
        // The action under way got as far as this.
        if (actionInFlight_) ActionHanded(session_.Sent() - actionStart_, false, /*lost=*/true);
        const QString why = error != 0 ? QStringLiteral("the printer reset the connection")
                                       : QStringLiteral("the printer closed the connection");
        // A printer that goes after it took and answered everything did its part.
        if ((!sendingDone_ || cut_ || session_.Sent() > session_.Acknowledged()) && giveUp_ == kSendOk) {
            giveUp_ = kSendUndelivered;
            reason_ = why;
        }
    });
    connect(&session_, &PrinterSession::Closed, this, &SendSession::Finish);
}

SendSession::~SendSession() {
    if (session_.IsConnected()) session_.Discard(QStringLiteral("kivo-send ended"));
}

int SendSession::Run() {
    connect(this, &SendSession::Finished, QCoreApplication::instance(),
            [](int status) { QCoreApplication::exit(status); });
    QTimer::singleShot(0, this, &SendSession::Start);
    return QCoreApplication::exec();
}

void SendSession::ReportInFleet() { inFleet_ = true; }

SendResult SendSession::Result() const {
    SendResult result;
    result.address = options_.address;
    result.port = options_.port;
    result.status = exitStatus_;
    result.reason = reason_;
    result.connectFailed = connectFailed_;
    result.sent = sent_;
    result.taken = taken_;
    result.planned = planned_;
    if (runNumber_ == 0)  // nothing began: what the run meant to send
        for (const SendAction& action : options_.actions)
            result.planned += CommandPlannedBytes(*action.command, action.input);
    result.answers = answers_;
    result.tally = tally_;
    result.runs = runsDone_;
    result.seconds = Elapsed();
    return result;
}

// ---------------------------------------------------------------- steps

void SendSession::Start() {
    if (options_.ping) return Ping();
    StartSending();
}

void SendSession::StartSending() {
    // Answers to wait for: none, a number given (counted over the whole run),
    // or, by default, one per print command, each job waiting for its own.
    if (options_.expect)
        expected_ = *options_.expect;
    else if (!options_.noAnswers)
        expected_ = PrintCommandCount(options_.actions) * options_.repeat;
    timeout_.start(static_cast<int>(std::min(options_.timeoutSeconds * 1000.0, 2147483647.0)));
    session_.SetStallWatch(true);
    session_.Connect(options_.address, options_.port);
}

void SendSession::Ping() {
    pinging_ = true;
    auto* run = new PingRun(*this, AddressText(), {}, this);
    connect(run, &PingRun::Finished, this, [this, run](const PingCounts& counts) {
        run->deleteLater();
        pinging_ = false;
        echoesAnswered_ = counts.received;
        echoesNotAllowed_ = counts.notAllowed;
        // A system that lets no echo out is a local setting, not a silent printer;
        // an address ping cannot take is bad input, as it is for a connect.
        if (echoesNotAllowed_ && echoesAnswered_ == 0)
            reason_ = QStringLiteral("this system lets the program send no ICMP echo (net.ipv4.ping_group_range)");
        else if (counts.badAddress)
            reason_ = QStringLiteral("\"%1\" is not an IPv4 address").arg(AddressText());
        if (!reason_.isEmpty()) LogMessage(kOut, reason_, Severity::Fault);
        const int pinged = !reason_.isEmpty() ? kSendUsage : echoesAnswered_ > 0 ? kSendOk : kSendUndelivered;
        if (options_.actions.empty()) {
            exitStatus_ = pinged;
            Summarize(pinged);
            finished_ = true;
            emit Finished(pinged);
            return;
        }
        reason_.clear();
        StartSending();
    });
    run->Start();
}

void SendSession::OnConnectFinished(bool connected, int error) {
    if (!connected) {
        connectFailed_ = true;
        if (giveUp_ == kSendOk) {
            // An address that is no address is bad input, refused before any connect.
            giveUp_ = error == ws::WSAHOST_NOT_FOUND ? kSendUsage : kSendUndelivered;
            reason_ = ConnectFailureReason(error, false);
        }
        Finish();
        return;
    }
    connected_.start();
    if (options_.json)
        Emit({{"event", "connect"},
              {"address", options_.address},
              {"port", options_.port},
              {"connection", session_.ConnectionText()}});
    NextAction();
}

void SendSession::NextAction() {
    if (giveUp_ != kSendOk || !session_.IsConnected() || finishing_) return;
    if (action_ == 0) {
        if (runNumber_ == options_.repeat) {
            sendingDone_ = true;
            CheckEnd();
            return;
        }
        ++runNumber_;
        for (const SendAction& action : options_.actions)
            planned_ += CommandPlannedBytes(*action.command, action.input);
    }
    const SendAction& action = options_.actions[action_];
    action_ = (action_ + 1) % options_.actions.size();
    // The plan's lines (a conversion) come before the command, as in the window.
    LogLines(kOut, action.plan.lines, action.plan.severity);
    session_.Queue(action.option, [this, &action]() -> std::optional<PrinterJob> {
        std::optional<PrinterJob> job = MakeCommandJob(*action.command, action.input, *this);
        if (!job) {
            // Nothing to send (no copies asked for): the next action, on the next turn.
            QTimer::singleShot(0, this, [this] { ActionHanded(0, true, false); });
            return job;
        }
        actionInFlight_ = true;
        actionStart_ = session_.Sent();
        // With a count of answers given, or none, the run waits for them as a
        // whole; each job is done once taken.
        if (options_.expect || options_.noAnswers) job->printCommands = 0;
        return job;
    });
}

void SendSession::ActionHanded(qint64 bytes, bool whole, bool lost) {
    actionInFlight_ = false;
    const std::size_t index = (action_ + options_.actions.size() - 1) % options_.actions.size();
    const SendAction& action = options_.actions[index];
    if (options_.json) {
        QJsonObject event{{"event", "sent"}, {"action", action.option}, {"bytes", bytes}, {"time", SinceConnect()}};
        if (!action.argument.isEmpty()) event.insert("argument", action.argument);
        if (TakesCopies(*action.command)) event.insert("copies", action.copies);
        Emit(event);
    }
    if (lost) return;
    if (!whole) {
        // A file that could not be sent whole: the printer does not get what the
        // action means to send.
        GiveUp(kSendUndelivered, QStringLiteral("%1 was not sent whole").arg(action.option));
        return;
    }
    if (action_ == 0) {
        ++runsDone_;
        if (runNumber_ < options_.repeat && options_.intervalSeconds > 0) {
            later_.callOnTimeout(this, &SendSession::NextAction, Qt::SingleShotConnection);
            later_.start(static_cast<int>(options_.intervalSeconds * 1000));
            return;
        }
    }
    NextAction();
}

void SendSession::OnJobSettled(const JobOutcome& outcome) {
    if (outcome.kind == JobOutcome::Kind::Unconfirmed) unanswered_ += outcome.expected - outcome.answers;
    if (outcome.kind == JobOutcome::Kind::CutShort && !outcome.stopped) cut_ = true;
    if (options_.json) {
        QJsonObject event{{"event", "job"},
                          {"outcome", OutcomeName(outcome.kind)},
                          {"what", outcome.what},
                          {"planned", outcome.planned},
                          {"taken", outcome.taken},
                          {"notTaken", outcome.NotTaken()},
                          {"answers", outcome.answers},
                          {"expected", outcome.expected},
                          {"time", SinceConnect()}};
        if (!outcome.line.isEmpty()) event.insert("text", outcome.line);
        Emit(event);
    }
    if (settledAt_ < 0 || session_.Settled()) settledAt_ = Elapsed();
    CheckEnd();
}

void SendSession::CheckEnd() {
    // A connection being lost is no end in order: its loss decides the status.
    if (!sendingDone_ || finishing_ || giveUp_ != kSendOk || !session_.IsConnected() || !session_.Connection().IsOpen())
        return;
    // Every byte taken and every job settled ...
    if (!session_.Settled()) return;
    // ... then, as asked, a number of answers, or a quiet spell when no answer is expected.
    if (options_.expect) {
        if (answers_ < *options_.expect) return;
    } else if (expected_ == 0 && !options_.noAnswers) {
        const double quietFor = Elapsed() - std::max(settledAt_, lastReplyAt_);
        if (quietFor < options_.quietSeconds) {
            later_.disconnect();
            later_.callOnTimeout(this, &SendSession::CheckEnd, Qt::SingleShotConnection);
            later_.start(static_cast<int>(std::ceil((options_.quietSeconds - quietFor) * 1000.0)));
            return;
        }
    }
    // The printer has taken everything: the close reads its last answers and
    // ends the stream in order.
    finishing_ = true;
    sent_ = session_.Sent();
    taken_ = session_.Acknowledged();
    session_.Disconnect();
}

void SendSession::GiveUp(int status, const QString& reason) {
    if (giveUp_ == kSendOk) {
        giveUp_ = status;
        reason_ = reason;
        // Answers that never came are what the time-out is about.
        if (status == kSendTimedOut && sendingDone_ && session_.Sent() == session_.Acknowledged()) {
            const long long wanted = options_.expect.value_or(expected_);
            if (const long long missing = wanted - answers_; missing > 0)
                reason_ = QStringLiteral("%1 of %2 print commands unanswered").arg(Grouped(missing), Grouped(wanted));
        }
    }
    if (session_.GetState() == PrinterSession::State::Connecting) {
        session_.CancelConnect(reason_);
    } else if (session_.GetState() != PrinterSession::State::Disconnected) {
        sent_ = session_.Sent();
        taken_ = session_.Acknowledged();
        session_.Discard(reason_);
    } else {
        Finish();
    }
}

void SendSession::Finish() {
    if (finished_) return;
    finished_ = true;
    timeout_.stop();
    later_.stop();
    if (session_.IsConnected()) session_.Discard(QStringLiteral("kivo-send ended"));
    sent_ = session_.Sent();
    taken_ = session_.Acknowledged();
    EndProgress();
    exitStatus_ = Status();
    Summarize(exitStatus_);
    emit Finished(exitStatus_);
}

// ---------------------------------------------------------------- output

double SendSession::SinceConnect() const {
    return connected_.isValid() ? static_cast<double>(connected_.elapsed()) / 1000.0 : 0.0;
}

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
    if (options_.expect) CheckEnd();
}

int SendSession::Status() const {
    if (giveUp_ == kSendTimedOut || giveUp_ == kSendUsage) return giveUp_;
    if (connectFailed_ || giveUp_ == kSendUndelivered || cut_) return kSendUndelivered;
    // Print commands the printer took but never answered, while it stayed connected.
    if (unanswered_ > 0) return kSendTimedOut;
    if (fault_) return kSendFault;
    if (options_.expect && acks_ < *options_.expect) return kSendFault;
    return kSendOk;
}

void SendSession::Summarize(int status) {
    if (inFleet_) return;  // the fleet's table says it
    static const char* const kMeaning[] = {"every byte taken, no fault", "the printer reported a fault",
                                           "not delivered", "timed out"};
    const char* const kBadInput = "bad input";
    QString meaning = options_.actions.empty()
                          ? QString::fromLatin1(status == kSendOk ? "the printer answers" : "no echo came back")
                          : QString::fromLatin1(status >= 0 && status <= 3 ? kMeaning[status] : kBadInput);
    if (status == kSendTimedOut && unanswered_ > 0 && giveUp_ != kSendTimedOut) meaning = QStringLiteral("unanswered");
    QString reason = reason_;
    if (reason.isEmpty() && status == kSendTimedOut && unanswered_ > 0)
        reason = QStringLiteral("%1 of %2 print commands unanswered").arg(Grouped(unanswered_), Grouped(expected_));
    // What never reached the printer: what it did not acknowledge, and what was
    // never handed to it at all.
    const qint64 notTaken = std::max<qint64>(planned_ - taken_, sent_ - taken_);
    if (options_.json) {
        QJsonObject tally;
        for (const auto& [name, count] : tally_.Counts()) tally.insert(name, static_cast<qint64>(count));
        QJsonObject done{{"event", "done"},       {"status", status},     {"meaning", meaning},  {"sent", sent_},
                         {"taken", taken_},       {"notTaken", notTaken}, {"planned", planned_}, {"answers", answers_},
                         {"expected", expected_}, {"acks", acks_},        {"tally", tally},      {"runs", runsDone_},
                         {"time", SinceConnect()}};
        if (!reason.isEmpty()) done.insert("reason", reason);
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
        if (options_.repeat > 1)
            line += runsDone_ == 1 ? QStringLiteral("1 run, ") : QStringLiteral("%1 runs, ").arg(Grouped(runsDone_));
        line += QStringLiteral("%1 sent, %2 taken").arg(ByteCount(sent_), Grouped(taken_));
        if (notTaken > 0) line += QStringLiteral(", %1 not taken").arg(Grouped(notTaken));
        line += QStringLiteral("; %1 ticket answer%2").arg(Grouped(answers_)).arg(answers_ == 1 ? "" : "s");
        if (const QString kinds = tally_.Text(); !kinds.isEmpty()) line += QStringLiteral(" (%1)").arg(kinds);
        // Warnings need the technician's eye, though the run went well.
        QStringList warnings;
        for (const StatusRow& row : StatusRows())
            if (row.severity == Severity::Warning && tally_.Count(row.byte) > 0)
                warnings << QLatin1String(row.shortName);
        if (!warnings.isEmpty()) line += QStringLiteral("; warning: ") + warnings.join(QStringLiteral(", "));
    }
    line += QStringLiteral("; status %1: %2").arg(status).arg(meaning);
    if (!reason.isEmpty() && status != kSendOk) line += QStringLiteral(" (%1)").arg(reason);
    Print(out_, line + QLatin1Char('\n'));
}

void SendSession::ShowProgress() {
    if (!progress_ || finished_) return;
    if (const std::optional<JobState> job = session_.RunningJob())
        PrintProgress(ProgressText(*job));
    else if (const qint64 unacked = session_.Sent() - session_.Acknowledged(); unacked > 0)
        PrintProgress(QStringLiteral("waiting for the printer to take %1").arg(ByteCount(unacked)));
    else if (options_.expect)
        PrintProgress(QStringLiteral("%1 of %2 ticket answers").arg(answers_).arg(*options_.expect));
}

void SendSession::Emit(QJsonObject event) {
    if (!event.contains("time")) event.insert("time", SinceConnect());
    // Among many printers, each event says whose it is.
    if (inFleet_) {
        event.insert("address", options_.address);
        event.insert("port", options_.port);
    }
    Print(out_, QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}

void SendSession::Print(std::FILE* to, const QString& text) {
    if (inFleet_ && !options_.json) return;  // the fleet prints its table instead
    WriteText(to, text);
}

void SendSession::PrintProgress(const QString& text) {
    if (inFleet_) return;
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
