#include "link/delivery.h"

#include "link/socket_events.h"
#include "link/winsock_module.h"

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
        text += QStringLiteral(", copy %1 of %2").arg(Grouped(std::min(job.copiesTaken + 1, job.copies)),
                                                       Grouped(job.copies));
    const double rate = job.seconds > 0 ? static_cast<double>(job.taken) / job.seconds : 0;
    text += QStringLiteral(", ") + Rate(rate) + QStringLiteral(", ");
    text += rate > 0 ? TimeLeft(static_cast<double>(total - job.taken) / rate) : QStringLiteral("time left unknown");
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

JobState JobLedger::StateOf(const Job& job, qint64 end, qint64 acked, double now) {
    JobState state;
    state.id = job.id;
    state.what = job.what;
    state.planned = job.planned;
    state.copies = job.copies;
    state.handed = end - job.start;
    state.taken = std::clamp<qint64>(acked - job.start, 0, state.handed);
    state.copiesHanded = static_cast<qint64>(job.copyEnds.size());
    state.copiesTaken = std::count_if(job.copyEnds.begin(), job.copyEnds.end(),
                                      [acked](qint64 copyEnd) { return copyEnd <= acked; });
    state.seconds = now - job.began;
    return state;
}

QStringList JobLedger::Taken(qint64 acked, double now) {
    QStringList lines;
    while (!jobs_.empty()) {
        const Job& job = jobs_.front();
        if (!job.ended || job.end > acked) break;
        if (job.how == JobEnd::Sent && job.reportDone && job.end > job.start)
            lines << QStringLiteral("Done: %1, %2, taken by the printer in %3 s")
                         .arg(job.what, ByteCount(job.end - job.start), QString::number(now - job.began, 'f', 2));
        jobs_.pop_front();
    }
    return lines;
}

QStringList JobLedger::CutShort(qint64 acked, qint64 sent, int except) {
    QStringList lines;
    for (const Job& job : jobs_) {
        const qint64 end = job.ended ? job.end : sent;
        if (job.id == except || (job.ended && end <= acked)) continue;
        const JobState state = StateOf(job, end, acked, 0);
        QString line = QStringLiteral("Cut short: %1, the printer took %2 of %3")
                           .arg(job.what, Grouped(state.taken), ByteCount(std::max(job.planned, state.handed)));
        if (job.copies > 1)
            line += QStringLiteral(" (%1 of %2 copies)").arg(Grouped(state.copiesTaken), Grouped(job.copies));
        lines << line;
    }
    jobs_.clear();
    return lines;
}

std::optional<JobState> JobLedger::Running(qint64 sent, qint64 acked, double now) const {
    for (const Job& job : jobs_)
        if (!job.ended) return StateOf(job, sent, acked, now);
    return std::nullopt;
}

// ---------------------------------------------------------------- watch

DeliveryWatch::DeliveryWatch(Sender& sender, Console& console, QObject* parent)
    : QObject(parent), sender_(sender), console_(console) {
    clock_.start();
    poll_.setSingleShot(true);
    connect(&poll_, &QTimer::timeout, this, &DeliveryWatch::Poll);
}

void DeliveryWatch::Attach(ws::SOCKET s) {
    Detach();
    socket_ = s;
    base_ = sender_.BytesSent();
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
    Follow(0);  // a printer that keeps up has taken it by the next turn
}

std::optional<JobState> DeliveryWatch::RunningJob() const {
    const qint64 sent = Sent();
    return ledger_.Running(sent, sent - Unacknowledged(), Now());
}

qint64 DeliveryWatch::Sent() const { return sender_.BytesSent() - base_; }

qint64 DeliveryWatch::Unacknowledged() const {
    if (socket_ < 0) return 0;
    return std::max<qint64>(ws::UnacknowledgedBytes(socket_), 0);
}

void DeliveryWatch::Follow(int firstMs) {
    if (socket_ < 0) return;
    if (!poll_.isActive() || poll_.remainingTime() > firstMs) poll_.start(firstMs);
}

bool DeliveryWatch::CloseWhenTaken() {
    if (socket_ < 0) return true;
    const qint64 unacked = Unacknowledged();
    const qint64 acked = Sent() - unacked;
    console_.LogLines(kOut, ledger_.Taken(acked, Now()));
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
    const qint64 unacked = Unacknowledged();
    const qint64 acked = Sent() - unacked;
    console_.LogLines(kOut, ledger_.Taken(acked, Now()));
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
    if (waiting_ || !ledger_.Empty()) Follow();
}

void DeliveryWatch::CloseInOrder() {
    const ws::SOCKET s = socket_;
    Detach();
    // A close with unread bytes would reset the connection: the printer's last
    // replies are read first. Linger off, the close then ends the stream in order.
    DrainReplies(s, console_);
    (void)SetLinger(s, 0, 0);
    ws::closesocket(s);
}

void DeliveryWatch::CloseNow(const QString& reason, int except) {
    if (socket_ < 0) return;
    const qint64 sent = Sent();
    const qint64 unacked = Unacknowledged();
    const qint64 acked = sent - unacked;
    const QStringList taken = ledger_.Taken(acked, Now());
    const QStringList cutShort = ledger_.CutShort(acked, sent, except);
    const ws::SOCKET s = socket_;
    Detach();
    ws::closesocket(s);  // linger on with 0 s: the system drops what it holds and resets
    console_.LogLines(kOut, taken);
    console_.LogLines(kOut, cutShort, Severity::Fault);
    if (unacked > 0)
        console_.LogMessage(kOut, QStringLiteral("%1 not delivered: %2").arg(ByteCount(unacked), reason),
                            Severity::Fault);
}

}  // namespace kivo
