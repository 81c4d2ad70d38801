// One run of kivo-send: connect, send the actions, wait until the printer has
// taken every byte and answered every print command, close in order, and say
// what happened. It is a front end on the same printer session as the window,
// on QCoreApplication's event loop, with standard output and standard error
// for its logs.
#pragma once

#include "link/console_port.h"
#include "link/printer_session.h"
#include "link/status_tally.h"
#include "send/send_options.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <cstdio>

namespace kivo {

// The exit statuses a script acts on.
enum SendStatus : int {
    kSendOk = 0,
    kSendFault = 1,        // the printer reported a fault
    kSendUndelivered = 2,  // the connect failed, or bytes did not reach the printer
    kSendTimedOut = 3,     // the time-out, or print commands left unanswered
    kSendUsage = 64,
};

// kivo-send hands the system its files in pieces this large, straight from the
// file: the printer sees the same stream as from the window's 1024-byte pieces,
// with far fewer calls and no copy through the program.
inline constexpr qint64 kSendFilePiece = 1024 * 1024;

// What one printer's run came to.
struct SendResult {
    QString address;
    int port = 9100;
    int status = 0;
    QString reason;
    bool connectFailed = false;
    qint64 sent = 0;
    qint64 taken = 0;
    qint64 planned = 0;
    long long answers = 0;
    StatusTally tally;
    long long runs = 0;
    double seconds = 0;
};

class SendSession : public QObject, public Console {
    Q_OBJECT
public:
    // Writes the report to `out` and progress to `err` (progress only when
    // `errIsTerminal`).
    SendSession(SendOptions options, std::FILE* out, std::FILE* err, bool errIsTerminal, QObject* parent = nullptr);
    ~SendSession() override;

    // Runs everything on the application's event loop; returns the exit status.
    int Run();
    // Starts the run on the event loop that runs; Finished tells its end.
    void Start();
    // One printer of many: nothing printed but the JSON events, each with the
    // printer's address and port; no summary (the fleet's table says it).
    void ReportInFleet();
    [[nodiscard]] SendResult Result() const;

    // Console
    void LogMessage(LogKind kind, const QString& text, Severity severity = Severity::None) override;
    void LogReply(const std::vector<ReplyLine>& lines) override;
    [[nodiscard]] QString AddressText() const override { return options_.address; }

signals:
    void Finished(int status);

private:
    // The four echoes first, then the actions (or the end, when there are none).
    void Ping();
    void StartSending();
    void OnConnectFinished(bool connected, int error);
    void NextAction();
    // The action under way has handed its last byte (`whole`: every byte it meant
    // to), or the connection went under it (`lost`).
    void ActionHanded(qint64 bytes, bool whole, bool lost);
    void OnJobSettled(const JobOutcome& outcome);
    void CheckEnd();
    void GiveUp(int status, const QString& reason);
    void Finish();
    [[nodiscard]] int Status() const;
    void Summarize(int status);
    void ShowProgress();

    [[nodiscard]] double Elapsed() const { return static_cast<double>(run_.elapsed()) / 1000.0; }
    [[nodiscard]] double SinceConnect() const;
    void Emit(QJsonObject event);
    void Print(std::FILE* to, const QString& text);
    void PrintProgress(const QString& text);
    void EndProgress();

    SendOptions options_;
    std::FILE* out_;
    std::FILE* err_;
    bool progress_;
    PrinterSession session_;
    QTimer timeout_;
    QTimer later_;  // the next run after --interval, or the end of a quiet spell

    QElapsedTimer run_;
    QElapsedTimer connected_;
    double lastReplyAt_ = 0;
    double settledAt_ = -1;
    QElapsedTimer progressShown_;
    bool progressLine_ = false;
    bool pinging_ = false;
    int echoesAnswered_ = 0;
    bool echoesNotAllowed_ = false;  // the system lets this program send no echo

    // Where the actions stand.
    std::size_t action_ = 0;    // the next action of the run
    long long runNumber_ = 0;   // the run under way, from 1
    long long runsDone_ = 0;    // runs whose every action was handed
    bool sendingDone_ = false;  // every action of every run has been handed
    bool actionInFlight_ = false;
    qint64 actionStart_ = 0;  // the bytes handed before the action under way
    bool finishing_ = false;  // the close in order has begun
    bool finished_ = false;
    bool inFleet_ = false;
    int exitStatus_ = 0;

    StatusTally tally_;
    long long answers_ = 0;  // ticket answers: ACK, NAK or a fault
    long long acks_ = 0;
    long long expected_ = 0;  // ticket answers waited for; 0 waits for quiet instead
    long long unanswered_ = 0;
    bool fault_ = false;
    bool lost_ = false;
    bool cut_ = false;  // a job was cut short
    bool connectFailed_ = false;
    int giveUp_ = kSendOk;
    QString reason_;      // why the run did not end well, for the summary
    qint64 planned_ = 0;  // bytes the runs begun mean to send
    qint64 sent_ = 0;
    qint64 taken_ = 0;
};

}  // namespace kivo
