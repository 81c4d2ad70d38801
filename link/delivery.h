// What the printer has taken of what was sent to it. Each job is the stretch of
// the connection's byte stream that it handed to the system; the count of bytes
// the printer's TCP stack has acknowledged tells, the stream being in order,
// which jobs the printer has taken in full. That count comes from the system's
// record of the connection, which a reset does not erase, so it stays true when
// the printer goes away. A close waits for it to reach the bytes sent, so the
// printer gets every byte and then the end of the stream.
#pragma once

#include "link/console_port.h"
#include "link/numbers.h"
#include "link/send.h"
#include "platform/winsock.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

namespace kivo {

class PrinterLink;

// "1 byte" or "1,563 bytes".
[[nodiscard]] QString ByteCount(qint64 n);
// "1 copy of name" or "3 copies of name".
[[nodiscard]] QString CopiesOf(qint64 copies, const QString& name);

// How a job's sending ended: every byte handed to the system, stopped by the
// operator, or ended by an error (of the file or of the connection).
enum class JobEnd { Sent, Stopped, Failed };


// Where one job stands.
struct JobState {
    int id = 0;
    QString what;        // "3 copies of vek_test.txt", or a button's caption
    qint64 planned = 0;  // bytes the job means to send
    qint64 copies = 1;
    qint64 handed = 0;       // bytes handed to the system so far
    qint64 taken = 0;        // of those, acknowledged by the printer
    bool allHanded = false;  // the job hands nothing more; it waits for the printer
    qint64 copiesHanded = 0;
    qint64 copiesTaken = 0;
    double seconds = 0;  // since the job began
};

// The progress bar's text: bytes taken of the total, the copy, rate and time left.
[[nodiscard]] QString ProgressText(const JobState& job);
// The same, short enough for a narrow bar: bytes taken, percent and time left.
[[nodiscard]] QString ShortProgressText(const JobState& job);

// What the printer's acknowledgements settle: "Done: ..." for the jobs it has
// taken in full, "Cut short: ..." for those that failed before they had handed
// every byte.
struct TakenLines {
    QStringList done;
    QStringList cutShort;
};

// The jobs of one connection. Offsets count the bytes handed to the system on
// the connection; `acked` is how many of them the printer has acknowledged.
class JobLedger {
public:
    // Starts a job at offset `at`; returns its id (never reused).
    int Begin(const QString& what, qint64 planned, qint64 copies, bool reportDone, qint64 at, double now);
    void CopyEnded(int id, qint64 at);
    // Ends the job's sending; does nothing for a job already ended or forgotten.
    void End(int id, qint64 at, JobEnd how);
    // The operator stopped the job: it hands nothing after `at`, and a job
    // that was waiting for the printer no longer gets a Done line.
    void Stop(int id, qint64 at);
    // "Done: ..." for each job the printer has now taken in full that sent
    // every byte and asked for it, "Cut short: ..." for each that failed short
    // of its plan; forgets every job taken in full.
    [[nodiscard]] TakenLines Taken(qint64 acked, double now);
    // "Cut short: ..." for each job not taken in full (the running one counted
    // up to `sent`), except the one with id `except`; forgets every job.
    [[nodiscard]] QStringList CutShort(qint64 acked, qint64 sent, int except = 0);
    // The job that runs: the latest one begun that is neither stopped nor
    // failed, and not yet taken by the printer in full (it may have handed
    // every byte already).
    [[nodiscard]] std::optional<JobState> Running(qint64 sent, qint64 acked, double now) const;
    [[nodiscard]] bool HasRunning() const {
        return std::any_of(jobs_.begin(), jobs_.end(), [](const Job& job) { return IsRunning(job); });
    }
    // Whether the job is still followed: not yet taken in full, nor cut short.
    [[nodiscard]] bool Holds(int id) const {
        return std::any_of(jobs_.begin(), jobs_.end(), [id](const Job& job) { return job.id == id; });
    }
    // Bytes the running job means to send and has not handed yet.
    [[nodiscard]] qint64 NotYetHanded(qint64 sent) const;
    [[nodiscard]] bool Empty() const { return jobs_.empty(); }
    void Clear() { jobs_.clear(); }

private:
    struct Job {
        int id;
        QString what;
        qint64 planned;
        qint64 copies;
        bool reportDone;
        qint64 start;
        qint64 end;  // while running: the offset of its last copy's end
        bool ended = false;
        JobEnd how = JobEnd::Sent;
        double began;
        std::vector<qint64> copyEnds;
    };
    [[nodiscard]] static JobState StateOf(const Job& job, qint64 end, qint64 acked, double now);
    [[nodiscard]] static bool IsRunning(const Job& job) { return !job.ended || job.how == JobEnd::Sent; }
    // A job that failed before it had handed all it meant to send.
    [[nodiscard]] static bool FailedShort(const Job& job) {
        return job.ended && job.how == JobEnd::Failed && job.end - job.start < job.planned;
    }
    [[nodiscard]] static QString CutShortLine(const Job& job, qint64 end, qint64 acked);

    std::deque<Job> jobs_;
    int nextId_ = 1;
};

// Follows one printer connection: the jobs sent on it, how far the printer has
// taken them, and its close. It asks the system for the acknowledged count on a
// timer (every kPollMs while it waits, sooner just after a job has handed its
// last byte; never in a loop), so it costs next to nothing while it waits. Its
// lines go to the outgoing log.
class DeliveryWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollMs = 50;
    // A printer that takes nothing for this long while a close waits gets an
    // abortive close.
    static constexpr int kStallMs = 3000;

    // Follows the connections of `link`, which closes them for it.
    DeliveryWatch(Sender& sender, Console& console, PrinterLink& link, QObject* parent = nullptr);

    // Follows the link's connection, just made; counting starts there. Forgets
    // the previous one without closing it.
    void Attach();
    // Forgets the connection without closing it.
    void Detach();
    [[nodiscard]] ws::SOCKET Socket() const { return socket_; }

    // The jobs, from the sending side: begun before their first byte, a copy
    // ended after its last, and ended once the job hands nothing more.
    int BeginJob(const QString& what, qint64 planned, qint64 copies, bool reportDone);
    void EndCopy(int id);
    void EndJob(int id, JobEnd how);
    void StopJob(int id);
    [[nodiscard]] std::optional<JobState> RunningJob() const;
    // Whether the job is still followed (not yet taken in full nor cut short).
    [[nodiscard]] bool HoldsJob(int id) const { return ledger_.Holds(id); }

    // Bytes handed to the system on this connection; how many of them the
    // printer has acknowledged (the last count read once the connection is
    // gone), and how many not.
    [[nodiscard]] qint64 Sent() const;
    [[nodiscard]] qint64 Acknowledged() const;
    [[nodiscard]] qint64 Unacknowledged() const { return Sent() - Acknowledged(); }
    // Bytes that have not reached the printer: those it has not acknowledged,
    // and those the running job has yet to hand to the system.
    [[nodiscard]] qint64 Undelivered() const { return Unacknowledged() + ledger_.NotYetHanded(Sent()); }

    // Closes once the printer has taken every byte sent: at once, returning true,
    // when it already has; else writes "Waiting for the printer to take N bytes
    // ...", returns false, and closes later (in order, or abortively after a
    // stall, with its lines), emitting Closed(). The close in order reads and
    // decodes what the printer sent first, then turns linger off.
    bool CloseWhenTaken();
    [[nodiscard]] bool Waiting() const { return waiting_; }
    // Closes at once, abortively. The jobs the printer has taken get their Done
    // lines; the others (except the one with id `except`) a Cut short line, and
    // the bytes that will never reach it one line with `reason`. Ends a wait
    // without emitting Closed().
    void CloseNow(const QString& reason, int except = 0);

signals:
    // A wait of CloseWhenTaken has ended and the connection is closed.
    void Closed();
    // Polled while a job runs: its figures may have changed.
    void Progress();
    // The printer has taken one or more jobs in full.
    void JobsTaken();

private:
    void Poll();
    void Follow(int firstMs = kPollMs);
    // Polls again soon, then less and less often up to kPollMs: a printer that
    // keeps up acknowledges a job within a few milliseconds of its last byte.
    void FollowClosely();
    void Report(qint64 acked);
    void CloseInOrder();
    [[nodiscard]] double Now() const { return static_cast<double>(clock_.elapsed()) / 1000.0; }

    Sender& sender_;
    Console& console_;
    PrinterLink& link_;
    ws::SOCKET socket_ = -1;    // the connection followed, while the link has it open
    qint64 base_ = 0;           // the sender's count when the connection was attached
    mutable qint64 acked_ = 0;  // the printer's acknowledged count, last read
    int nextPollMs_ = kPollMs;
    JobLedger ledger_;
    QTimer poll_;
    QElapsedTimer clock_;
    bool waiting_ = false;
    qint64 lastAcked_ = 0;
    double lastTakenAt_ = 0;
};

}  // namespace kivo
