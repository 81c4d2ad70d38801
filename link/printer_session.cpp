#include "link/printer_session.h"

#include "link/numbers.h"
#include "link/printer_socket.h"
#include "platform/socket_errors.h"

#include <algorithm>
#include <cmath>

namespace kivo {
namespace {

constexpr LogKind kOut = LogKind::Outgoing;
// The acknowledged count is read at least this often while bytes wait for the
// printer, and at most every millisecond: the pace follows the printer's rate.
constexpr int kMostFollowMs = 100;
// While answers are awaited, the progress is looked at this often.
constexpr int kAnswerFollowMs = 250;
// The printer's pace is measured over this long.
constexpr double kRateWindow = 1.0;

}  // namespace

QString DroppedSendsText(const QStringList& captions) {
    if (captions.isEmpty()) return {};
    return (captions.size() == 1 ? QStringLiteral("1 queued send dropped: ")
                                 : QStringLiteral("%1 queued sends dropped: ").arg(captions.size())) +
           captions.join(QStringLiteral(", "));
}

PrinterSession::PrinterSession(Console& console, Settings settings, QObject* parent)
    : QObject(parent), console_(console), settings_(std::move(settings)), connection_(settings_.filePiece),
      reader_([this](const std::vector<ReplyLine>& lines) { OnReplyLines(lines); }) {
    clock_.start();
    follow_.setSingleShot(true);
    connect(&follow_, &QTimer::timeout, this, &PrinterSession::OnFollow);
    connect(&connection_, &PrinterConnection::Connected, this, &PrinterSession::OnConnected);
    connect(&connection_, &PrinterConnection::ConnectFailed, this, &PrinterSession::OnConnectFailed);
    connect(&connection_, &PrinterConnection::Received, this, [this](const QByteArray& bytes) { reader_.Feed(bytes); });
    connect(&connection_, &PrinterConnection::EndOfStream, this, &PrinterSession::OnEndOfStream);
    connect(&connection_, &PrinterConnection::Lost, this, &PrinterSession::EndWithLoss);
    connect(&connection_, &PrinterConnection::Written, this, [this] {
        Follow();
        emit Progress();
    });
    connect(&connection_, &PrinterConnection::CopyHanded, this, [this] { ledger_.CopyEnded(handingId_, Sent()); });
    connect(&connection_, &PrinterConnection::JobHanded, this, &PrinterSession::OnJobHanded);
    connect(&connection_, &PrinterConnection::Note, this,
            [this](const QString& line) { console_.LogMessage(kOut, line, Severity::Warning); });
}

PrinterSession::~PrinterSession() {
    // The console may be half gone by now: held text is dropped, not written.
    reader_.Drop();
    follow_.stop();
    disconnect(&connection_, nullptr, this, nullptr);
}

void PrinterSession::SetState(State state) {
    if (state_ == state) return;
    state_ = state;
    emit StateChanged(state);
}

// ---------------------------------------------------------------- connect

void PrinterSession::Connect(const QString& host, int port) {
    if (state_ != State::Disconnected) return;
    host_ = host;
    port_ = port;
    cancelled_ = false;
    cancelReason_.clear();
    console_.LogMessage(
        kOut,
        QStringLiteral("Attempting to establish a connection with the printer at %1 on port %2").arg(host_).arg(port_));
    SetState(State::Connecting);
    connection_.Open(host, port);
}

void PrinterSession::CancelConnect(const QString& why) {
    if (state_ != State::Connecting) return;
    cancelled_ = true;
    cancelReason_ = why;
    connection_.CancelConnect();
}

void PrinterSession::OnConnected() {
    ledger_.Clear();
    samples_.clear();
    rate_ = 0;
    lastAcked_ = 0;
    longestGap_ = 0;
    lastGrowthAt_ = Now();
    streamEnded_ = false;
    rawJobDone_ = false;
    // Until the printer's pace is known the system holds little, so Stop still
    // stops a small job to a slow printer; the pace then sizes it.
    unsentLimit_ = kLeastUnsentLimit;
    connection_.SetUnsentLimit(unsentLimit_);
    SetState(State::Connected);
    console_.LogMessage(kOut, QStringLiteral("Connection made to %1 on port %2").arg(host_).arg(port_));
    emit ConnectFinished(true, 0, false);
    StartNext();
}

void PrinterSession::OnConnectFailed(int error) {
    const bool byOperator = cancelled_ && cancelReason_.isEmpty();
    // The operator's own cancel is no fault of the printer's.
    const Severity severity = byOperator ? Severity::None : Severity::Fault;
    console_.LogMessage(
        kOut, QStringLiteral("Error while connecting to the printer %1 on port %2").arg(host_).arg(port_), severity);
    console_.LogMessage(kOut, cancelled_ && !byOperator ? cancelReason_ : ConnectFailureReason(error, byOperator),
                        severity);
    queue_.clear();
    SetState(State::Disconnected);
    emit ConnectFinished(false, error, cancelled_);
}

// ---------------------------------------------------------------- jobs

void PrinterSession::Queue(const QString& caption, JobMaker make) {
    if (state_ != State::Connected) return;  // nothing goes out but on an open connection
    queue_.push_back({caption, std::move(make)});
    StartNext();
}

QStringList PrinterSession::DropQueued() {
    QStringList captions;
    for (const Entry& entry : queue_) captions << entry.caption.trimmed();
    queue_.clear();
    return captions;
}

void PrinterSession::StartNext() {
    if (startingNext_) return;  // a maker's line may be read by a front end that queues more
    startingNext_ = true;
    while (!queue_.empty() && state_ == State::Connected && !connection_.Handing()) {
        Entry entry = std::move(queue_.front());
        queue_.pop_front();
        std::optional<PrinterJob> job = entry.make();
        if (!job || state_ != State::Connected) continue;
        if (ledger_.Empty() && Sent() == Acknowledged()) lastGrowthAt_ = Now();  // no gap while nothing waited
        handingId_ =
            ledger_.Begin(job->what, job->planned, job->copies, job->printCommands, job->reportDone, Sent(), Now());
        connection_.Hand(std::move(*job));
        Follow();
    }
    startingNext_ = false;
    if (!Busy()) emit Idle();
}

void PrinterSession::OnJobHanded(JobEnd how, const QString& fileError) {
    if (!fileError.isEmpty()) console_.LogMessage(kOut, fileError, Severity::Fault);
    const int id = std::exchange(handingId_, 0);
    const std::optional<JobState> job = ledger_.Running(Sent(), Acknowledged(), Now());
    ledger_.End(id, Sent(), how);
    const qint64 bytes = job && job->id == id ? job->handed : 0;
    emit JobHanded(id, how, bytes);
    Follow();
    StartNext();
}

std::optional<JobState> PrinterSession::RunningJob() const {
    if (!connection_.IsOpen()) return std::nullopt;
    const qint64 acked = Acknowledged();
    std::optional<JobState> job = ledger_.Running(Sent(), acked, Now());
    if (job) {
        job->rate = rate_;
        job->nothingTakenFor = Sent() > acked ? Now() - lastGrowthAt_ : 0;
    }
    return job;
}

bool PrinterSession::Stop() {
    std::optional<JobState> job = RunningJob();
    if (!Busy() && !job) return false;
    // Nothing more is handed to the system; what it already holds is on its way.
    if (connection_.Handing()) {
        connection_.StopHanding();
        handingId_ = 0;
        job = RunningJob();
    }
    const QStringList dropped = DropQueued();
    QString line = QStringLiteral("Stopped");
    if (job) {
        ledger_.Stop(job->id, Sent());
        line += QStringLiteral(": %1, the printer acknowledged %2 of %3")
                    .arg(job->what, Grouped(job->taken), ByteCount(std::max(job->planned, job->handed)));
        if (const qint64 onTheirWay = job->handed - job->taken; onTheirWay > 0)
            line += QStringLiteral("; %1 already on their way")
                        .arg(onTheirWay == 1 ? QStringLiteral("1 byte was")
                                             : ByteCount(onTheirWay) + QStringLiteral(" were"));
    }
    if (!dropped.isEmpty()) line += QStringLiteral("; ") + DroppedSendsText(dropped);
    console_.LogMessage(kOut, line);
    Follow();
    emit Progress();
    if (!Busy()) emit Idle();
    return true;
}

// ---------------------------------------------------------------- replies

void PrinterSession::OnReplyLines(const std::vector<ReplyLine>& lines) {
    const double now = Now();
    for (const ReplyLine& line : lines) {
        if (line.byte < 0) continue;
        const StatusRow* status = FindStatus(static_cast<unsigned char>(line.byte));
        if (status && status->answer) ledger_.Answer(status->byte, now);
    }
    console_.LogReply(lines);
    Settle();
}

void PrinterSession::Settle() {
    if (!connection_.IsOpen() && state_ != State::Closing) return;
    for (const JobOutcome& outcome : ledger_.Settle(Acknowledged(), Now(), settings_.answerWaitSeconds)) {
        if (outcome.kind == JobOutcome::Kind::Done && outcome.expected == 0 && !outcome.line.isEmpty())
            rawJobDone_ = true;
        if (!outcome.line.isEmpty()) console_.LogMessage(kOut, outcome.line, outcome.severity);
        emit JobSettled(outcome);
    }
}

// ---------------------------------------------------------------- following the printer

void PrinterSession::SetStallWatch(bool on) {
    if (on && !stallWatch_) watchedSince_ = Now();
    stallWatch_ = on;
    if (on) Follow();
}

double PrinterSession::StallLimit() const { return std::max(settings_.stallFloorSeconds, 3 * longestGap_); }

qint64 PrinterSession::Undelivered() const { return Sent() - Acknowledged() + ledger_.NotYetHanded(Sent()); }

double PrinterSession::Rate() const { return rate_; }

void PrinterSession::Follow() {
    if (!connection_.IsOpen() || follow_.isActive()) return;
    follow_.start(1);
}

void PrinterSession::OnFollow() {
    if (!connection_.IsOpen()) return;
    const double now = Now();
    const qint64 sent = Sent();
    const qint64 acked = Acknowledged();
    const qint64 unacked = sent - acked;
    const bool grew = acked > lastAcked_;
    if (grew) {
        longestGap_ = std::max(longestGap_, now - lastGrowthAt_);
        lastAcked_ = acked;
        lastGrowthAt_ = now;
    } else if (unacked == 0) {
        lastGrowthAt_ = now;  // nothing waits for the printer: no gap
    }
    // The printer's pace over the last second, while bytes wait for it.
    if (unacked > 0 || grew) samples_.emplace_back(now, acked);
    if (unacked == 0 && !grew) samples_.clear();
    while (samples_.size() > 2 && now - samples_[1].first >= kRateWindow) samples_.pop_front();
    if (samples_.size() >= 2 && samples_.back().first - samples_.front().first >= 0.2)
        rate_ = static_cast<double>(samples_.back().second - samples_.front().second) /
                (samples_.back().first - samples_.front().first);
    // About half a second of the printer's pace waits in the system, so Stop
    // stops a slow printer soon and a fast one still runs at full speed.
    if (samples_.size() >= 2 && samples_.back().first - samples_.front().first >= 0.5) {
        const int limit = static_cast<int>(std::clamp(rate_ / 2, double(kLeastUnsentLimit), double(kUnsentLimit)));
        if (std::abs(limit - unsentLimit_) > unsentLimit_ / 4) {
            unsentLimit_ = limit;
            connection_.SetUnsentLimit(limit);
        }
    }

    Settle();
    if (!connection_.IsOpen()) return;
    if (state_ == State::Closing && !connection_.Handing() && unacked == 0 && !ledger_.AwaitingAnswers(acked)) {
        CloseInOrderNow();
        return;
    }
    if (streamEnded_ && !connection_.Handing() && queue_.empty() && unacked == 0) {
        // The printer ended its side and has taken all it was sent: the connection is over.
        EndWithLoss(0);
        return;
    }
    const bool watching = state_ == State::Closing || stallWatch_ || streamEnded_;
    // A wait counts from its own start: a printer that had paused before it gets the whole time.
    const double stalled = now - std::max(lastGrowthAt_, watchedSince_);
    if (watching && unacked > 0 && stalled >= StallLimit()) {
        const QString reason = QStringLiteral("the printer took nothing for %1 s").arg(std::llround(stalled));
        emit Stalled(reason);
        Discard(reason);
        return;
    }
    emit Progress();

    int next = -1;
    if (unacked > 0 || connection_.Handing()) {
        const double expected = rate_ > 0 ? static_cast<double>(unacked) / rate_ * 1000.0 : 20.0;
        next = static_cast<int>(std::clamp(expected, 1.0, double(kMostFollowMs)));
    } else if (!ledger_.Empty()) {
        next = kAnswerFollowMs;
        if (const std::optional<double> deadline = ledger_.NextAnswerDeadline(settings_.answerWaitSeconds))
            next = static_cast<int>(std::clamp((*deadline - now) * 1000.0 + 1, 1.0, double(kAnswerFollowMs)));
    } else if (state_ == State::Closing) {
        next = kMostFollowMs;
    }
    if (next >= 0) follow_.start(next);
}

// ---------------------------------------------------------------- ending

bool PrinterSession::Disconnect() {
    if (state_ == State::Connecting) {
        CancelConnect();
        return true;
    }
    if (state_ != State::Connected) return state_ == State::Disconnected;
    // A running job with no more left to hand than the system may hold at most
    // goes out whole and is waited for with the rest: a job to a slow printer
    // is delivered, not cancelled. A longer one is cancelled.
    if (connection_.Handing() && ledger_.NotYetHanded(Sent()) > kUnsentLimit) {
        CancelAndClose();
        return true;
    }
    if (const QStringList dropped = DropQueued(); !dropped.isEmpty())
        console_.LogMessage(kOut, DroppedSendsText(dropped));
    Settle();
    const qint64 waiting = Undelivered();
    if (waiting == 0 && !connection_.Handing() && !ledger_.AwaitingAnswers(Acknowledged())) {
        CloseInOrderNow();
        return true;
    }
    QString line = waiting > 0 ? QStringLiteral("Waiting for the printer to take %1 ...").arg(ByteCount(waiting))
                               : QStringLiteral("Waiting for the printer to answer ...");
    if (!settings_.waitHint.isEmpty()) line += QLatin1Char(' ') + settings_.waitHint;
    console_.LogMessage(kOut, line);
    watchedSince_ = Now();
    SetState(State::Closing);
    Follow();
    return false;
}

void PrinterSession::CancelAndClose() {
    if (!connection_.Handing()) return Discard(QStringLiteral("discarded at your request"));
    const std::optional<JobState> job = RunningJob();
    const QStringList dropped = DropQueued();
    QString line = QStringLiteral("Send canceled by Disconnect");
    if (job)
        line += QStringLiteral(": %1, the printer acknowledged %2 of %3")
                    .arg(job->what, Grouped(job->taken), ByteCount(std::max(job->planned, job->handed)));
    if (!dropped.isEmpty()) line += QStringLiteral("; ") + DroppedSendsText(dropped);
    console_.LogMessage(kOut, line, Severity::Fault);
    Discard(QStringLiteral("discarded at your request"), job ? job->id : 0);
}

void PrinterSession::CloseInOrderNow() {
    follow_.stop();
    Settle();
    // The printer's last answers are read before the stream ends.
    connection_.CloseInOrder();
    reader_.Flush();
    const qint64 acked = Acknowledged();
    const std::vector<JobOutcome> settled = ledger_.Settle(acked, Now(), settings_.answerWaitSeconds);
    const std::vector<JobOutcome> cut =
        ledger_.CutShort(acked, Sent(), QStringLiteral("the connection ended before the printer answered"), false);
    for (const std::vector<JobOutcome>* outcomes : {&settled, &cut})
        for (const JobOutcome& outcome : *outcomes) {
            if (!outcome.line.isEmpty()) console_.LogMessage(kOut, outcome.line, outcome.severity);
            emit JobSettled(outcome);
        }
    streamEnded_ = false;
    SetState(State::Disconnected);
    emit Closed();
}

void PrinterSession::Discard(const QString& reason, int except) {
    if (state_ == State::Connecting) return CancelConnect(reason);
    if (!connection_.IsOpen()) return;
    follow_.stop();
    const qint64 sent = Sent();
    const qint64 acked = Acknowledged();
    handingId_ = 0;  // cut short below, counted up to what it handed
    connection_.StopHanding();
    queue_.clear();
    const std::vector<JobOutcome> settled = ledger_.Settle(acked, Now(), settings_.answerWaitSeconds);
    const std::vector<JobOutcome> cut = ledger_.CutShort(acked, sent, reason, false, except);
    connection_.CloseAbortive();
    reader_.Flush();
    for (const std::vector<JobOutcome>* outcomes : {&settled, &cut})
        for (const JobOutcome& outcome : *outcomes) {
            if (!outcome.line.isEmpty()) console_.LogMessage(kOut, outcome.line, outcome.severity);
            emit JobSettled(outcome);
        }
    if (const qint64 unacked = sent - acked; unacked > 0)
        console_.LogMessage(kOut, QStringLiteral("%1 not delivered: %2").arg(ByteCount(unacked), reason),
                            Severity::Fault);
    streamEnded_ = false;
    SetState(State::Disconnected);
    emit Closed();
}

void PrinterSession::OnEndOfStream() {
    reader_.Flush();  // the printer's last text is whole now
    // A printer that ends its sending side may still be reading: what it was
    // sent goes on, and the connection ends once it has taken all of it.
    streamEnded_ = true;
    Follow();
}

void PrinterSession::EndWithLoss(int error) {
    if (!connection_.IsOpen() && !connection_.LostConnection()) return;
    follow_.stop();
    reader_.Flush();
    const qint64 sent = Sent();
    const qint64 acked = Acknowledged();
    console_.LogMessage(kOut, QStringLiteral("Lost connection with printer"), Severity::Fault);
    if (error != 0) console_.LogMessage(kOut, LossReason(error), Severity::Fault);
    // The job being handed is cut short below, counted up to what it handed.
    handingId_ = 0;
    if (const QStringList dropped = DropQueued(); !dropped.isEmpty())
        console_.LogMessage(kOut, DroppedSendsText(dropped), Severity::Fault);
    const QString why = error == 0                  ? QStringLiteral("the printer closed the connection")
                        : error == ws::WSAETIMEDOUT ? QStringLiteral("the connection timed out")
                                                    : QStringLiteral("the printer reset the connection");
    const std::vector<JobOutcome> settled = ledger_.Settle(acked, Now(), settings_.answerWaitSeconds);
    const std::vector<JobOutcome> cut = ledger_.CutShort(acked, sent, why, true);
    connection_.CloseAbortive();
    for (const std::vector<JobOutcome>* outcomes : {&settled, &cut})
        for (const JobOutcome& outcome : *outcomes) {
            if (!outcome.line.isEmpty()) console_.LogMessage(kOut, outcome.line, outcome.severity);
            if (outcome.kind == JobOutcome::Kind::Done && outcome.expected == 0 && !outcome.line.isEmpty())
                rawJobDone_ = true;
            emit JobSettled(outcome);
        }
    if (const qint64 unacked = sent - acked; unacked > 0)
        console_.LogMessage(kOut, QStringLiteral("%1 not delivered: %2").arg(ByteCount(unacked), why), Severity::Fault);
    if (error == ws::WSAECONNRESET && rawJobDone_)
        console_.LogMessage(kOut, QStringLiteral("A reset discards what the printer had received but not yet read."),
                            Severity::Warning);
    streamEnded_ = false;
    SetState(State::Disconnected);
    emit Lost(error);
    emit Closed();
}

}  // namespace kivo
