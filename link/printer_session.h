// One printer connection's life, written once for every front end: the connect
// and its lines, the jobs one after another, what the printer has taken and
// answered of each (Done, Unconfirmed, Cut short), the stall rule, Stop,
// Disconnect's wait for the printer, the close in order, and a loss, told once
// with everything the printer said before it. The window and kivo-send show it;
// nothing here waits in place.
#pragma once

#include "link/console_port.h"
#include "link/delivery.h"
#include "link/printer_connection.h"
#include "link/printer_job.h"
#include "link/reply_decoder.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>

namespace kivo {

// "2 queued sends dropped: VEK Test Ticket, Send Text"; empty for none.
[[nodiscard]] QString DroppedSendsText(const QStringList& captions);

class PrinterSession : public QObject {
    Q_OBJECT
public:
    enum class State {
        Disconnected,
        Connecting,
        Connected,
        Closing,  // Disconnect waits for the printer to take the last bytes and answer
    };

    struct Settings {
        // Files go out in pieces this large (the window's 1024; kivo-send's larger,
        // straight from the file).
        qint64 filePiece = kFilePiece;
        // How long a job's print commands may go unanswered once the printer has
        // taken its last byte.
        double answerWaitSeconds = 10;
        // A wait gives up on a printer whose acknowledged count has not grown for
        // this long, or for three times the longest such gap seen on the
        // connection when that is longer: a slow printer with a small buffer
        // opens its window in steps that TCP's probes find late.
        double stallFloorSeconds = 15;
        // Told with the "Waiting for the printer ..." line: how to stop waiting.
        QString waitHint;
    };

    // Makes a job when its turn comes: logs the command's line and returns the
    // job, or logs why not and returns none.
    using JobMaker = std::function<std::optional<PrinterJob>()>;

    PrinterSession(Console& console, Settings settings, QObject* parent = nullptr);
    explicit PrinterSession(Console& console, QObject* parent = nullptr) : PrinterSession(console, {}, parent) {}
    // Closes a connection still open, abortively and without a line (the
    // console may be going too).
    ~PrinterSession() override;

    // "Attempting to establish a connection with the printer at HOST on port
    // PORT", then "Connection made to ..." or "Error while connecting to the
    // printer ..." with the reason; ConnectFinished tells the outcome.
    void Connect(const QString& host, int port);
    // Ends the attempt: "cancelled by the operator", or `why` as the reason.
    void CancelConnect(const QString& why = {});

    [[nodiscard]] State GetState() const { return state_; }
    [[nodiscard]] bool IsConnected() const { return state_ == State::Connected || state_ == State::Closing; }
    [[nodiscard]] const QString& Host() const { return host_; }
    [[nodiscard]] int Port() const { return port_; }
    [[nodiscard]] const QString& ConnectionText() const { return connection_.ConnectionText(); }
    [[nodiscard]] PrinterConnection& Connection() { return connection_; }
    [[nodiscard]] const PrinterConnection& Connection() const { return connection_; }

    // Runs a job after those before it; `make` runs when its turn comes.
    // `caption` names it should it be dropped.
    void Queue(const QString& caption, JobMaker make);
    // A job is being handed to the system, or waits for its turn.
    [[nodiscard]] bool Busy() const { return connection_.Handing() || !queue_.empty(); }
    [[nodiscard]] bool Handing() const { return connection_.Handing(); }
    [[nodiscard]] int Queued() const { return static_cast<int>(queue_.size()); }
    // Drops the queued jobs (not the running one); returns their captions.
    QStringList DropQueued();
    // The job that runs until the printer has taken and answered it.
    [[nodiscard]] std::optional<JobState> RunningJob() const;

    // Ends the running job (it hands nothing more; what is on its way goes on)
    // and drops the queued ones, with one line; the connection stays. False
    // when nothing ran.
    bool Stop();
    // Disconnect: queued jobs are dropped, and the connection closes in order
    // once the printer has taken every byte, the running job's included, and
    // answered, or the stall rule ends the wait (false: Closed comes then). A
    // running job with more than kUnsentLimit bytes still to hand is cancelled
    // instead, with its line, and the connection closed at once (true).
    bool Disconnect();
    // Cancels the running job with its line ("Send canceled by Disconnect"),
    // drops the queued ones and closes at once; with no job running, the same
    // as a discard at the operator's request.
    void CancelAndClose();
    // Ends the connection, or Disconnect's wait, at once and abortively: what
    // the printer has not taken is named, with `reason`; the job with id
    // `except` is left to its caller's line.
    void Discard(const QString& reason, int except = 0);
    // The stall rule also while a job is handed, not only while Disconnect
    // waits (kivo-send; the window closing once the running job is taken).
    void SetStallWatch(bool on);
    // The stall rule's limit now, in seconds.
    [[nodiscard]] double StallLimit() const;
    // Other limits than the front end's (a test that cannot wait 10 or 15 s).
    void SetAnswerWait(double seconds) { settings_.answerWaitSeconds = seconds; }
    void SetStallFloor(double seconds) { settings_.stallFloorSeconds = seconds; }

    // Bytes handed to the system on this connection; of them, those the printer
    // has acknowledged; and those that have not reached it, the running job's
    // not yet handed included.
    [[nodiscard]] qint64 Sent() const { return connection_.Sent(); }
    [[nodiscard]] qint64 Acknowledged() const { return connection_.Acknowledged(); }
    [[nodiscard]] qint64 Undelivered() const;
    // Jobs taken in full whose print commands the printer has not all answered yet.
    [[nodiscard]] bool AwaitingAnswers() const { return ledger_.AwaitingAnswers(Acknowledged()); }
    // Every job settled and every byte taken.
    [[nodiscard]] bool Settled() const { return !Busy() && ledger_.Empty() && Sent() == Acknowledged(); }

signals:
    void StateChanged(kivo::PrinterSession::State state);
    void ConnectFinished(bool connected, int error, bool cancelled);
    // The running job has handed its last byte (`bytes` in all).
    void JobHanded(int id, kivo::JobEnd how, qint64 bytes);
    void JobSettled(const kivo::JobOutcome& outcome);
    // The running job's figures may have changed.
    void Progress();
    // Nothing is handed and nothing queued.
    void Idle();
    // The printer closed (0) or reset the connection, or it timed out; its lines are written.
    void Lost(int error);
    // The stall rule ended the connection: the printer took nothing for too long.
    void Stalled(const QString& reason);
    // The connection is closed: Disconnect's wait ended, a discard, or a loss.
    void Closed();

private:
    void SetState(State state);
    void StartNext();
    void OnConnected();
    void OnConnectFailed(int error);
    void OnReplyLines(const std::vector<ReplyLine>& lines);
    void OnJobHanded(JobEnd how, const QString& fileError);
    void OnEndOfStream();
    void EndWithLoss(int error);
    void CloseInOrderNow();
    void Settle();
    void Follow();
    void OnFollow();
    [[nodiscard]] double Now() const { return static_cast<double>(clock_.nsecsElapsed()) / 1e9; }
    [[nodiscard]] double Rate() const;

    Console& console_;
    Settings settings_;
    PrinterConnection connection_;
    ReplyReader reader_;
    JobLedger ledger_;
    State state_ = State::Disconnected;
    QString host_;
    int port_ = 0;
    QString cancelReason_;
    bool cancelled_ = false;

    struct Entry {
        QString caption;
        JobMaker make;
    };
    std::deque<Entry> queue_;
    int handingId_ = 0;
    bool startingNext_ = false;

    QElapsedTimer clock_;
    QTimer follow_;
    bool stallWatch_ = false;
    bool streamEnded_ = false;  // the printer has ended its sending side
    bool rawJobDone_ = false;   // a job without print commands was Done on acknowledgement alone
    qint64 lastAcked_ = 0;
    double lastGrowthAt_ = 0;
    double watchedSince_ = 0;  // when the stall rule began to watch
    double longestGap_ = 0;
    std::deque<std::pair<double, qint64>> samples_;  // (time, acknowledged) over the last second
    double rate_ = 0;
    int unsentLimit_ = 0;
};

}  // namespace kivo
