// What the printer has taken of what was sent to it. Each job is the stretch of
// the connection's byte stream that it handed to the system; the system's count
// of bytes the printer has not yet acknowledged tells, the stream being in order,
// which jobs the printer has taken in full. A close waits for that count to reach
// zero, so the printer gets every byte and then the end of the stream.
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
    QString what;           // "3 copies of vek_test.txt", or a button's caption
    qint64 planned = 0;     // bytes the job means to send
    qint64 copies = 1;
    qint64 handed = 0;      // bytes handed to the system so far
    qint64 taken = 0;       // of those, acknowledged by the printer
    qint64 copiesHanded = 0;
    qint64 copiesTaken = 0;
    double seconds = 0;     // since the job began
};

// The progress bar's text: bytes taken of the total, the copy, rate and time left.
[[nodiscard]] QString ProgressText(const JobState& job);

// The jobs of one connection. Offsets count the bytes handed to the system on
// the connection; `acked` is how many of them the printer has acknowledged.
class JobLedger {
public:
    // Starts a job at offset `at`; returns its id (never reused).
    int Begin(const QString& what, qint64 planned, qint64 copies, bool reportDone, qint64 at, double now);
    void CopyEnded(int id, qint64 at);
    // Ends the job; does nothing for a job already ended or forgotten.
    void End(int id, qint64 at, JobEnd how);
    // "Done: ..." for each job the printer has now taken in full that sent
    // every byte and asked for it; forgets every job taken in full.
    [[nodiscard]] QStringList Taken(qint64 acked, double now);
    // "Cut short: ..." for each job not taken in full (the running one counted
    // up to `sent`), except the one with id `except`; forgets every job.
    [[nodiscard]] QStringList CutShort(qint64 acked, qint64 sent, int except = 0);
    // The job begun and not yet ended, if any.
    [[nodiscard]] std::optional<JobState> Running(qint64 sent, qint64 acked, double now) const;
    [[nodiscard]] bool HasRunning() const {
        return std::any_of(jobs_.begin(), jobs_.end(), [](const Job& job) { return !job.ended; });
    }
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

    std::deque<Job> jobs_;
    int nextId_ = 1;
};

// Follows one printer connection: the jobs sent on it, how far the printer has
// taken them, and its close. It asks the system for the unacknowledged count on
// a timer every kPollMs while there is something to follow (never in a loop), so
// it costs next to nothing while it waits. Its lines go to the outgoing log.
class DeliveryWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollMs = 50;
    // A printer that takes nothing for this long while a close waits gets an
    // abortive close.
    static constexpr int kStallMs = 3000;

    DeliveryWatch(Sender& sender, Console& console, QObject* parent = nullptr);

    // Follows a new connection; counting starts there. Forgets the previous one
    // without closing it.
    void Attach(ws::SOCKET s);
    // Forgets the connection without closing it.
    void Detach();
    [[nodiscard]] ws::SOCKET Socket() const { return socket_; }

    // The jobs, from the sending side: begun before their first byte, a copy
    // ended after its last, and ended once the job hands nothing more.
    int BeginJob(const QString& what, qint64 planned, qint64 copies, bool reportDone);
    void EndCopy(int id);
    void EndJob(int id, JobEnd how);
    [[nodiscard]] std::optional<JobState> RunningJob() const;

    // Bytes handed to the system on this connection, and how many of them the
    // printer has not yet acknowledged (0 when the system cannot say).
    [[nodiscard]] qint64 Sent() const;
    [[nodiscard]] qint64 Unacknowledged() const;

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

private:
    void Poll();
    void Follow(int firstMs = kPollMs);
    void CloseInOrder();
    [[nodiscard]] double Now() const { return static_cast<double>(clock_.elapsed()) / 1000.0; }

    Sender& sender_;
    Console& console_;
    ws::SOCKET socket_ = -1;
    qint64 base_ = 0;  // the sender's count when the connection was attached
    JobLedger ledger_;
    QTimer poll_;
    QElapsedTimer clock_;
    bool waiting_ = false;
    qint64 lastAcked_ = 0;
    double lastTakenAt_ = 0;
};

}  // namespace kivo
