// What the printer has done with each job: taken its bytes (acknowledged by its
// TCP stack) and answered its print commands. Each job is a stretch of the
// connection's byte stream; the acknowledged count tells, the stream being in
// order, which jobs the printer has taken in full. An acknowledgement is not a
// print: a small job is acknowledged whole on arrival, and a reset throws away
// what the printer had not read. The printer's answers, one status byte per
// print command, are the proof, counted against the oldest job still waiting
// for them. A job with print commands is Done once it is taken and answered; a
// job without is Done once taken.
#pragma once

#include "link/printer_job.h"
#include "link/status_table.h"

#include <QString>
#include <QStringList>

#include <array>
#include <deque>
#include <optional>
#include <vector>

namespace kivo {

// "1 byte" or "1,563 bytes".
[[nodiscard]] QString ByteCount(qint64 n);
// "1 copy of name" or "3 copies of name".
[[nodiscard]] QString CopiesOf(qint64 copies, const QString& name);
// "9 Ticket ACK, 1 Ticket NAK": answers by kind, in the status table's order.
[[nodiscard]] QString AnswerKinds(const std::array<int, 256>& byByte);

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
    int expected = 0;  // answers it waits for: one per print command
    int answers = 0;
    double seconds = 0;          // since the job began
    double rate = 0;             // bytes a second the printer takes now
    double nothingTakenFor = 0;  // seconds since the printer last took a byte, while bytes wait
};

// The progress bar's text: bytes taken of the total, the copy, the printer's
// pace and the time left, or how long it has taken nothing; once all is taken,
// the answers still awaited.
[[nodiscard]] QString ProgressText(const JobState& job);
// The same, short enough for a narrow bar.
[[nodiscard]] QString ShortProgressText(const JobState& job);

// How a job settled, with the figures its line gives.
struct JobOutcome {
    enum class Kind { Done, Unconfirmed, CutShort };
    Kind kind = Kind::Done;
    int id = 0;
    QString what;
    qint64 planned = 0;
    qint64 taken = 0;
    int expected = 0;
    int answers = 0;
    std::array<int, 256> answersByByte{};
    bool stopped = false;  // the operator stopped it
    QString line;          // empty: nothing to say (a job that asked for no Done line)
    Severity severity = Severity::None;
    [[nodiscard]] qint64 NotTaken() const { return planned - taken; }
};

// The jobs of one connection. Offsets count the bytes handed to the system on
// the connection; `acked` is how many of them the printer has acknowledged.
// Times are seconds on one clock.
class JobLedger {
public:
    // Starts a job at offset `at`; returns its id (never reused).
    int Begin(const QString& what, qint64 planned, qint64 copies, int printCommands, bool reportDone, qint64 at,
              double now);
    void CopyEnded(int id, qint64 at);
    // Ends the job's handing; does nothing for a job already ended or forgotten.
    void End(int id, qint64 at, JobEnd how);
    // The operator stopped the job: it hands nothing after `at`, gets no Done
    // line, and the answers to the print commands it had handed are still its own.
    void Stop(int id, qint64 at);
    // An answer from the printer (a status byte that answers a print command).
    void Answer(unsigned char byte, double now);
    // The jobs that have settled: taken in full and answered (Done), taken but
    // not answered within `answerWait` seconds of being taken (Unconfirmed), or
    // failed short of their plan (Cut short). Settled jobs are forgotten.
    [[nodiscard]] std::vector<JobOutcome> Settle(qint64 acked, double now, double answerWait);
    // The connection ends (`why`: "the printer reset the connection" when it
    // was `lost`, else the reason of our own close): every job not settled, but
    // the one with id `except`, is cut short with what the printer took and
    // answered. Forgets every job.
    [[nodiscard]] std::vector<JobOutcome> CutShort(qint64 acked, qint64 sent, const QString& why, bool lost,
                                                   int except = 0);

    // The job that runs: the latest one begun that is not stopped and not yet
    // settled (it may have handed every byte already).
    [[nodiscard]] std::optional<JobState> Running(qint64 sent, qint64 acked, double now) const;
    [[nodiscard]] bool HasRunning() const;
    // Whether the job is still followed (not settled).
    [[nodiscard]] bool Holds(int id) const;
    // Bytes the running job means to send and has not handed yet.
    [[nodiscard]] qint64 NotYetHanded(qint64 sent) const;
    // Jobs taken in full that still wait for answers, and the earliest time one
    // of them stops waiting.
    [[nodiscard]] bool AwaitingAnswers(qint64 acked) const;
    [[nodiscard]] std::optional<double> NextAnswerDeadline(double answerWait) const;
    [[nodiscard]] bool Empty() const { return jobs_.empty(); }
    // Answers still owed by jobs that settled without them: a late one pays these
    // off rather than passing for a later job's.
    [[nodiscard]] int Owed(double now) const;
    void Clear() {
        jobs_.clear();
        owed_.clear();
    }

private:
    struct Job {
        int id = 0;
        QString what;
        qint64 planned = 0;
        qint64 copies = 1;
        int printCommands = 0;
        bool reportDone = false;
        qint64 start = 0;
        qint64 end = 0;  // while running: the offset of its last copy's end
        bool ended = false;
        JobEnd how = JobEnd::Sent;
        double began = 0;
        double takenAt = -1;  // when the printer had taken its last byte
        std::vector<qint64> copyEnds;
        int answers = 0;
        std::array<int, 256> byByte{};
    };
    struct Owing {
        int count;
        double until;
    };
    [[nodiscard]] static JobState StateOf(const Job& job, qint64 end, qint64 acked, double now);
    [[nodiscard]] static bool IsRunning(const Job& job) { return !job.ended || job.how == JobEnd::Sent; }
    // Print commands the job has handed: all once every byte went, else those of its copies handed.
    [[nodiscard]] static int PrintCommandsHanded(const Job& job);
    [[nodiscard]] static JobOutcome OutcomeOf(const Job& job, JobOutcome::Kind kind, qint64 acked);
    void Owe(int count, double until);

    std::deque<Job> jobs_;
    std::deque<Owing> owed_;
    int nextId_ = 1;
};

}  // namespace kivo
