#include "link/delivery.h"

#include "link/printer_link.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace kivo {
namespace {

constexpr LogKind kOut = LogKind::Outgoing;

QString Rate(double bytesPerSecond) {
    if (bytesPerSecond >= 1e6) return QString::number(bytesPerSecond / 1e6, 'f', 1) + QStringLiteral(" MB/s");
    if (bytesPerSecond >= 1e3) return QString::number(bytesPerSecond / 1e3, 'f', 1) + QStringLiteral(" KB/s");
    return QString::number(std::llround(bytesPerSecond)) + QStringLiteral(" B/s");
}

QString TimeLeft(double seconds) {
    const long long s = std::llround(seconds);
    if (s < 60) return QStringLiteral("%1 s left").arg(s);
    if (s < 3600) return QStringLiteral("%1 min %2 s left").arg(s / 60).arg(s % 60);
    return QStringLiteral("%1 h %2 min left").arg(s / 3600).arg(s / 60 % 60);
}

}  // namespace

QString ByteCount(qint64 n) { return Grouped(n) + (n == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes")); }

QString CopiesOf(qint64 copies, const QString& name) {
    return (copies == 1 ? QStringLiteral("1 copy of ") : Grouped(copies) + QStringLiteral(" copies of ")) + name;
}

QString ProgressText(const JobState& job) {
    const qint64 total = std::max(job.planned, job.handed);
    QString text = QStringLiteral("%1 of %2 taken").arg(Grouped(job.taken), ByteCount(total));
    if (job.copies > 1)
        text += QStringLiteral(", copy %1 of %2")
                    .arg(Grouped(std::min(job.copiesTaken + 1, job.copies)), Grouped(job.copies));
    const double rate = job.seconds > 0 ? static_cast<double>(job.taken) / job.seconds : 0;
    text += QStringLiteral(", ") + Rate(rate) + QStringLiteral(", ");
    text += rate > 0 ? TimeLeft(static_cast<double>(total - job.taken) / rate) : QStringLiteral("time left unknown");
    return text;
}

QString ShortProgressText(const JobState& job) {
    const qint64 total = std::max(job.planned, job.handed);
    const long long percent = total > 0 ? job.taken * 100 / total : 0;
    QString text = QStringLiteral("%1 of %2 taken (%3 %)").arg(Grouped(job.taken), ByteCount(total)).arg(percent);
    const double rate = job.seconds > 0 ? static_cast<double>(job.taken) / job.seconds : 0;
    if (rate > 0) text += QStringLiteral(", ") + TimeLeft(static_cast<double>(total - job.taken) / rate);
    return text;
}

// ---------------------------------------------------------------- ledger

int JobLedger::Begin(const QString& what, qint64 planned, qint64 copies, bool reportDone, qint64 at, double now) {
    const int id = nextId_++;
    jobs_.push_back(Job{id, what, planned, copies, reportDone, at, at, false, JobEnd::Sent, now, {}});
    return id;
}

void JobLedger::CopyEnded(int id, qint64 at) {
    for (Job& job : jobs_)
        if (job.id == id && !job.ended) job.copyEnds.push_back(at);
}

void JobLedger::End(int id, qint64 at, JobEnd how) {
    for (Job& job : jobs_) {
        if (job.id != id || job.ended) continue;
        job.ended = true;
        job.end = at;
        job.how = how;
    }
}

void JobLedger::Stop(int id, qint64 at) {
    for (Job& job : jobs_) {
        if (job.id != id) continue;
        if (!job.ended) job.end = at;
        job.ended = true;
        job.how = JobEnd::Stopped;
    }
}

qint64 JobLedger::NotYetHanded(qint64 sent) const {
    for (const Job& job : jobs_)
        if (!job.ended) return std::max<qint64>(job.planned - (sent - job.start), 0);
    return 0;
}

JobState JobLedger::StateOf(const Job& job, qint64 end, qint64 acked, double now) {
    JobState state;
    state.id = job.id;
    state.what = job.what;
    state.planned = job.planned;
    state.copies = job.copies;
    state.handed = end - job.start;
    state.taken = std::clamp<qint64>(acked - job.start, 0, state.handed);
    state.copiesHanded = static_cast<qint64>(job.copyEnds.size());
    state.copiesTaken =
        std::count_if(job.copyEnds.begin(), job.copyEnds.end(), [acked](qint64 copyEnd) { return copyEnd <= acked; });
    state.allHanded = job.ended;
    state.seconds = now - job.began;
    return state;
}

QString JobLedger::CutShortLine(const Job& job, qint64 end, qint64 acked) {
    const JobState state = StateOf(job, end, acked, 0);
    const qint64 total = std::max(job.planned, state.handed);
    QString line = QStringLiteral("Cut short: %1, the printer acknowledged %2 of %3")
                       .arg(job.what, Grouped(state.taken), ByteCount(total));
    if (job.copies > 1)
        line += QStringLiteral(" (%1 of %2 copies)").arg(Grouped(state.copiesTaken), Grouped(job.copies));
    line += QStringLiteral("; %1 not delivered").arg(Grouped(total - state.taken));
    return line;
}

TakenLines JobLedger::Taken(qint64 acked, double now) {
    TakenLines lines;
    while (!jobs_.empty()) {
        const Job& job = jobs_.front();
        if (!job.ended || job.end > acked) break;
        if (job.how == JobEnd::Sent && job.reportDone && job.end > job.start)
            lines.done << QStringLiteral("Done: %1, %2, taken by the printer in %3 s")
                              .arg(job.what, ByteCount(job.end - job.start), QString::number(now - job.began, 'f', 2));
        // The printer took all that a failed job handed, and that was not all of it.
        if (FailedShort(job)) lines.cutShort << CutShortLine(job, job.end, acked);
        jobs_.pop_front();
    }
    return lines;
}

QStringList JobLedger::CutShort(qint64 acked, qint64 sent, int except) {
    QStringList lines;
    for (const Job& job : jobs_) {
        const qint64 end = job.ended ? job.end : sent;
        if (job.id == except || (job.ended && end <= acked && !FailedShort(job))) continue;
        if (job.how == JobEnd::Stopped && job.ended) {
            // Only what was already on its way at Stop was meant to arrive.
            const qint64 onItsWay = std::max<qint64>(end - std::max(job.start, acked), 0);
            lines << QStringLiteral("Cut short: %1 (stopped), %2 of the bytes on their way did not reach the printer")
                         .arg(job.what, Grouped(onItsWay));
            continue;
        }
        lines << CutShortLine(job, end, acked);
    }
    jobs_.clear();
    return lines;
}

std::optional<JobState> JobLedger::Running(qint64 sent, qint64 acked, double now) const {
    for (auto job = jobs_.rbegin(); job != jobs_.rend(); ++job)
        if (IsRunning(*job)) return StateOf(*job, job->ended ? job->end : sent, acked, now);
    return std::nullopt;
}

// ---------------------------------------------------------------- watch

DeliveryWatch::DeliveryWatch(Sender& sender, Console& console, PrinterLink& link, QObject* parent)
    : QObject(parent), sender_(sender), console_(console), link_(link) {
    clock_.start();
    poll_.setSingleShot(true);
    connect(&poll_, &QTimer::timeout, this, &DeliveryWatch::Poll);
}

void DeliveryWatch::Attach() {
    Detach();
    socket_ = link_.Handle();
    base_ = sender_.BytesSent();
    acked_ = 0;
}

void DeliveryWatch::Detach() {
    poll_.stop();
    ledger_.Clear();
    socket_ = -1;
    waiting_ = false;
}

int DeliveryWatch::BeginJob(const QString& what, qint64 planned, qint64 copies, bool reportDone) {
    const int id = ledger_.Begin(what, planned, copies, reportDone, Sent(), Now());
    Follow();
    return id;
}

void DeliveryWatch::EndCopy(int id) { ledger_.CopyEnded(id, Sent()); }

void DeliveryWatch::EndJob(int id, JobEnd how) {
    ledger_.End(id, Sent(), how);
    FollowClosely();
}

void DeliveryWatch::StopJob(int id) {
    ledger_.Stop(id, Sent());
    Follow();
}

std::optional<JobState> DeliveryWatch::RunningJob() const { return ledger_.Running(Sent(), Acknowledged(), Now()); }

qint64 DeliveryWatch::Sent() const { return sender_.BytesSent() - base_; }

qint64 DeliveryWatch::Acknowledged() const {
    // Read while the socket is open; the count never goes back, and the end of
    // the stream (which the count includes once acknowledged) is no byte sent.
    ws::StreamDelivery delivery;
    if (socket_ >= 0 && ws::GetStreamDelivery(socket_, delivery) == 0)
        acked_ = std::max(acked_, std::min<qint64>(delivery.acknowledged, Sent()));
    return acked_;
}

void DeliveryWatch::Follow(int firstMs) {
    if (socket_ < 0) return;
    nextPollMs_ = kPollMs;
    if (!poll_.isActive() || poll_.remainingTime() > firstMs) poll_.start(firstMs);
}

void DeliveryWatch::FollowClosely() {
    if (socket_ < 0) return;
    nextPollMs_ = 1;
    poll_.start(0);
}

void DeliveryWatch::Report(qint64 acked) {
    const TakenLines taken = ledger_.Taken(acked, Now());
    console_.LogLines(kOut, taken.done);
    console_.LogLines(kOut, taken.cutShort, Severity::Fault);
    if (!taken.done.isEmpty() || !ledger_.HasRunning()) emit JobsTaken();
}

bool DeliveryWatch::CloseWhenTaken() {
    if (socket_ < 0) return true;
    const qint64 acked = Acknowledged();
    const qint64 unacked = Sent() - acked;
    Report(acked);
    if (unacked == 0) {
        CloseInOrder();
        return true;
    }
    console_.LogMessage(kOut, QStringLiteral("Waiting for the printer to take %1 ...").arg(ByteCount(unacked)));
    waiting_ = true;
    lastAcked_ = acked;
    lastTakenAt_ = Now();
    Follow();
    return false;
}

void DeliveryWatch::Poll() {
    if (socket_ < 0) return;
    const qint64 acked = Acknowledged();
    const qint64 unacked = Sent() - acked;
    Report(acked);
    if (socket_ < 0) return;  // a line's reader may have closed the connection
    if (waiting_) {
        if (unacked == 0) {
            CloseInOrder();
            emit Closed();
            return;
        }
        if (acked > lastAcked_) {
            lastAcked_ = acked;
            lastTakenAt_ = Now();
        } else if ((Now() - lastTakenAt_) * 1000 >= kStallMs) {
            CloseNow(QStringLiteral("the printer took nothing for 3 s"));
            emit Closed();
            return;
        }
    }
    if (ledger_.HasRunning()) emit Progress();
    if (socket_ >= 0 && (waiting_ || !ledger_.Empty())) {
        const int next = nextPollMs_;
        nextPollMs_ = std::min(nextPollMs_ * 2, kPollMs);
        if (!poll_.isActive()) poll_.start(next);
    }
}

void DeliveryWatch::CloseInOrder() {
    const ws::SOCKET s = socket_;
    Detach();
    if (link_.Handle() == s) link_.CloseInOrder();
}

void DeliveryWatch::CloseNow(const QString& reason, int except) {
    if (socket_ < 0) return;
    const qint64 sent = Sent();
    const qint64 acked = Acknowledged();
    const qint64 unacked = sent - acked;
    const TakenLines taken = ledger_.Taken(acked, Now());
    const QStringList cutShort = taken.cutShort + ledger_.CutShort(acked, sent, except);
    const ws::SOCKET s = socket_;
    Detach();
    if (link_.Handle() == s) link_.CloseAbortive();
    console_.LogLines(kOut, taken.done);
    console_.LogLines(kOut, cutShort, Severity::Fault);
    if (unacked > 0)
        console_.LogMessage(kOut, QStringLiteral("%1 not delivered: %2").arg(ByteCount(unacked), reason),
                            Severity::Fault);
}

}  // namespace kivo
