#include "link/delivery.h"

#include "link/numbers.h"

#include <algorithm>
#include <cmath>

namespace kivo {
namespace {

// A printer that has taken nothing for this long shows so on the progress bar.
constexpr double kNothingTakenShownAfter = 3.0;

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

QString Seconds(double seconds) { return QString::number(std::llround(seconds)) + QStringLiteral(" s"); }

// What the printer does now: its pace and the time left, how long it has taken
// nothing, or the answers it still owes.
QString Pace(const JobState& job, qint64 total, bool shortly) {
    if (job.allHanded && job.taken >= total && job.expected > job.answers)
        return QStringLiteral("%1 of %2 answered").arg(job.answers).arg(job.expected);
    if (job.nothingTakenFor >= kNothingTakenShownAfter)
        return QStringLiteral("nothing taken for ") + Seconds(job.nothingTakenFor);
    if (job.rate <= 0) return shortly ? QString() : QStringLiteral("time left unknown");
    const QString left = TimeLeft(static_cast<double>(total - job.taken) / job.rate);
    return shortly ? left : Rate(job.rate) + QStringLiteral(", ") + left;
}

}  // namespace

QString ByteCount(qint64 n) { return Grouped(n) + (n == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes")); }

QString CopiesOf(qint64 copies, const QString& name) {
    return (copies == 1 ? QStringLiteral("1 copy of ") : Grouped(copies) + QStringLiteral(" copies of ")) + name;
}

QString AnswerKinds(const std::array<int, 256>& byByte) {
    QStringList kinds;
    for (const StatusRow& row : StatusRows())
        if (row.answer && byByte[row.byte] > 0)
            kinds << QStringLiteral("%1 %2").arg(Grouped(byByte[row.byte])).arg(QLatin1String(row.name));
    return kinds.join(QStringLiteral(", "));
}

QString ProgressText(const JobState& job) {
    const qint64 total = std::max(job.planned, job.handed);
    QString text = QStringLiteral("%1 of %2 taken").arg(Grouped(job.taken), ByteCount(total));
    if (job.copies > 1)
        text += QStringLiteral(", copy %1 of %2")
                    .arg(Grouped(std::min(job.copiesTaken + 1, job.copies)), Grouped(job.copies));
    return text + QStringLiteral(", ") + Pace(job, total, false);
}

QString ShortProgressText(const JobState& job) {
    const qint64 total = std::max(job.planned, job.handed);
    const long long percent = total > 0 ? job.taken * 100 / total : 0;
    // The share first: where the bar cuts the text, it cuts the time left.
    QString text = QStringLiteral("%1 % of %2 taken").arg(percent).arg(ByteCount(total));
    if (const QString pace = Pace(job, total, true); !pace.isEmpty()) text += QStringLiteral(", ") + pace;
    return text;
}

// ---------------------------------------------------------------- ledger

int JobLedger::Begin(const QString& what, qint64 planned, qint64 copies, int printCommands, bool reportDone, qint64 at,
                     double now) {
    const int id = nextId_++;
    Job job;
    job.id = id;
    job.what = what;
    job.planned = planned;
    job.copies = copies;
    job.printCommands = printCommands;
    job.reportDone = reportDone;
    job.start = job.end = at;
    job.began = now;
    jobs_.push_back(std::move(job));
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

int JobLedger::PrintCommandsHanded(const Job& job) {
    if (job.how != JobEnd::Stopped) return job.printCommands;
    if (job.end - job.start >= job.planned) return job.printCommands;
    const qint64 perCopy = job.copies > 0 ? job.printCommands / job.copies : 0;
    return static_cast<int>(std::min<qint64>(perCopy * static_cast<qint64>(job.copyEnds.size()), job.printCommands));
}

void JobLedger::Owe(int count, double until) {
    if (count > 0) owed_.push_back({count, until});
}

int JobLedger::Owed(double now) const {
    int owed = 0;
    for (const Owing& o : owed_)
        if (o.until > now) owed += o.count;
    return owed;
}

void JobLedger::Answer(unsigned char byte, double now) {
    // A late answer of a job that settled without it is the oldest answer due:
    // it pays that off rather than pass for a later job's.
    while (!owed_.empty() && owed_.front().until <= now) owed_.pop_front();
    if (!owed_.empty()) {
        if (--owed_.front().count == 0) owed_.pop_front();
        return;
    }
    for (Job& job : jobs_) {
        if (job.answers >= PrintCommandsHanded(job) && job.ended) continue;
        if (job.answers >= job.printCommands) continue;
        ++job.answers;
        ++job.byByte[byte];
        return;
    }
    // Nobody asked for it (a print command inside a typed text, say): the log shows it all the same.
}

JobOutcome JobLedger::OutcomeOf(const Job& job, JobOutcome::Kind kind, qint64 acked) {
    JobOutcome out;
    out.kind = kind;
    out.id = job.id;
    out.what = job.what;
    out.planned = std::max(job.planned, job.end - job.start);
    out.taken = std::clamp<qint64>(acked - job.start, 0, job.end - job.start);
    out.expected = job.printCommands;
    out.answers = job.answers;
    out.answersByByte = job.byByte;
    out.stopped = job.how == JobEnd::Stopped;
    for (const StatusRow& row : StatusRows())
        if (row.answer && row.severity == Severity::Fault && job.byByte[row.byte] > 0) out.severity = Severity::Fault;
    return out;
}

std::vector<JobOutcome> JobLedger::Settle(qint64 acked, double now, double answerWait) {
    std::vector<JobOutcome> settled;
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        Job& job = *it;
        if (!job.ended || job.end > acked) {
            ++it;
            continue;
        }
        if (job.takenAt < 0) job.takenAt = now;
        const bool failedShort = job.how == JobEnd::Failed && job.end - job.start < job.planned;
        if (job.how == JobEnd::Stopped) {
            // Forgotten without a line; its answers may still come, and are its own.
            Owe(PrintCommandsHanded(job) - job.answers, now + answerWait);
        } else if (failedShort) {
            JobOutcome out = OutcomeOf(job, JobOutcome::Kind::CutShort, acked);
            const qint64 total = out.planned;
            out.line = QStringLiteral("Cut short: %1, the printer acknowledged %2 of %3")
                           .arg(job.what, Grouped(out.taken), ByteCount(total));
            if (job.copies > 1) {
                const auto copiesTaken = std::count_if(job.copyEnds.begin(), job.copyEnds.end(),
                                                       [acked](qint64 end) { return end <= acked; });
                out.line += QStringLiteral(" (%1 of %2 copies)").arg(Grouped(copiesTaken), Grouped(job.copies));
            }
            out.line += QStringLiteral("; %1 not delivered").arg(Grouped(total - out.taken));
            out.severity = Severity::Fault;
            Owe(job.printCommands - job.answers, now + answerWait);
            settled.push_back(std::move(out));
        } else if (job.how == JobEnd::Failed) {
            // Its file could not be read from the start (its line said so): the
            // print commands in it never went, and no answer is awaited.
            JobOutcome out = OutcomeOf(job, JobOutcome::Kind::CutShort, acked);
            out.severity = Severity::Fault;
            settled.push_back(std::move(out));
        } else if (job.answers >= job.printCommands) {
            JobOutcome out = OutcomeOf(job, JobOutcome::Kind::Done, acked);
            if (job.reportDone && job.end > job.start) {
                out.line = QStringLiteral("Done: %1, %2, taken by the printer in %3 s")
                               .arg(job.what, ByteCount(job.end - job.start),
                                    QString::number(job.takenAt - job.began, 'f', 2));
                if (job.printCommands > 0)
                    out.line += QStringLiteral("; %1 %2: %3")
                                    .arg(Grouped(job.answers))
                                    .arg(job.answers == 1 ? QStringLiteral("answer") : QStringLiteral("answers"))
                                    .arg(AnswerKinds(job.byByte));
            }
            settled.push_back(std::move(out));
        } else if (now - job.takenAt >= answerWait) {
            JobOutcome out = OutcomeOf(job, JobOutcome::Kind::Unconfirmed, acked);
            out.line = QStringLiteral(
                           "Unconfirmed: %1, taken by the printer, but %2 of %3 print commands "
                           "unanswered after %4 s")
                           .arg(job.what, Grouped(job.printCommands - job.answers), Grouped(job.printCommands))
                           .arg(answerWait);
            if (out.severity != Severity::Fault) out.severity = Severity::Warning;
            Owe(job.printCommands - job.answers, now + answerWait);
            settled.push_back(std::move(out));
        } else {
            ++it;  // taken, its answers awaited
            continue;
        }
        it = jobs_.erase(it);
    }
    return settled;
}

std::vector<JobOutcome> JobLedger::CutShort(qint64 acked, qint64 sent, const QString& why, bool lost, int except) {
    std::vector<JobOutcome> cut;
    for (const Job& job : jobs_) {
        if (job.id == except) continue;
        const qint64 end = job.ended ? job.end : sent;
        Job at = job;
        at.end = end;
        JobOutcome out = OutcomeOf(at, JobOutcome::Kind::CutShort, acked);
        out.planned = std::max(job.planned, end - job.start);
        if (job.how == JobEnd::Stopped && job.ended) {
            // Only what was already on its way at Stop was meant to arrive.
            const qint64 onItsWay = std::max<qint64>(end - std::max(job.start, acked), 0);
            if (onItsWay > 0)
                out.line = QStringLiteral(
                               "Cut short: %1 (stopped), %2 of the bytes on their way did not reach the "
                               "printer")
                               .arg(job.what, Grouped(onItsWay));
        } else if (job.printCommands > 0) {
            const QString event = lost ? QStringLiteral("%1 after acknowledging").arg(why)
                                       : QStringLiteral("%1; the printer acknowledged").arg(why);
            out.line = QStringLiteral("Cut short: %1: %2 %3 of %4; it answered %5 of %6 print commands")
                           .arg(job.what, event, Grouped(out.taken), ByteCount(out.planned))
                           .arg(Grouped(job.answers), Grouped(job.printCommands));
            if (job.answers > 0) out.line += QStringLiteral(" (%1)").arg(AnswerKinds(job.byByte));
        } else if (out.taken < out.planned || job.how == JobEnd::Failed) {
            out.line = QStringLiteral("Cut short: %1, the printer acknowledged %2 of %3")
                           .arg(job.what, Grouped(out.taken), ByteCount(out.planned));
            if (job.copies > 1) {
                const auto copiesTaken = std::count_if(job.copyEnds.begin(), job.copyEnds.end(),
                                                       [acked](qint64 copyEnd) { return copyEnd <= acked; });
                out.line += QStringLiteral(" (%1 of %2 copies)").arg(Grouped(copiesTaken), Grouped(job.copies));
            }
            out.line += QStringLiteral("; %1 not delivered").arg(Grouped(out.planned - out.taken));
        } else {
            continue;  // a job without print commands the printer took whole: settled as it should be
        }
        out.severity = Severity::Fault;
        cut.push_back(std::move(out));
    }
    jobs_.clear();
    return cut;
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
    state.expected = job.printCommands;
    state.answers = job.answers;
    state.seconds = now - job.began;
    return state;
}

std::optional<JobState> JobLedger::Running(qint64 sent, qint64 acked, double now) const {
    for (auto job = jobs_.rbegin(); job != jobs_.rend(); ++job)
        if (IsRunning(*job)) return StateOf(*job, job->ended ? job->end : sent, acked, now);
    return std::nullopt;
}

bool JobLedger::HasRunning() const {
    return std::any_of(jobs_.begin(), jobs_.end(), [](const Job& job) { return IsRunning(job); });
}

bool JobLedger::Holds(int id) const {
    return std::any_of(jobs_.begin(), jobs_.end(), [id](const Job& job) { return job.id == id; });
}

qint64 JobLedger::NotYetHanded(qint64 sent) const {
    for (const Job& job : jobs_)
        if (!job.ended) return std::max<qint64>(job.planned - (sent - job.start), 0);
    return 0;
}

bool JobLedger::AwaitingAnswers(qint64 acked) const {
    return std::any_of(jobs_.begin(), jobs_.end(), [acked](const Job& job) {
        return job.ended && job.end <= acked && job.how != JobEnd::Stopped && job.answers < job.printCommands;
    });
}

std::optional<double> JobLedger::NextAnswerDeadline(double answerWait) const {
    std::optional<double> next;
    for (const Job& job : jobs_)
        if (job.takenAt >= 0 && job.answers < job.printCommands && job.how != JobEnd::Stopped)
            next = std::min(next.value_or(job.takenAt + answerWait), job.takenAt + answerWait);
    return next;
}

}  // namespace kivo
