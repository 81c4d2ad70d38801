// One run of kivo-send: connect, send the actions, wait until the printer has
// taken every byte and answered, close in order, and say what happened. It is a
// front end on the same printer link as the window: the same sender, socket
// events, reply decoder and delivery watch, with standard output for its logs.
#pragma once

#include "link/console_port.h"
#include "link/delivery.h"
#include "link/printer_link.h"
#include "link/send.h"
#include "link/status_tally.h"
#include "platform/window.h"
#include "send/send_options.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QTextStream>

#include <cstdio>

namespace kivo {

// The exit statuses a script acts on.
enum SendStatus : int {
    kSendOk = 0,
    kSendFault = 1,        // the printer reported a fault
    kSendUndelivered = 2,  // the connect failed, or bytes did not reach the printer
    kSendTimedOut = 3,
    kSendUsage = 64,
};

// kivo-send hands the system its files in pieces this large, straight from the
// file: the printer sees the same stream as from the window's 1024-byte pieces,
// with far fewer calls and no copy through the program.
inline constexpr qint64 kSendFilePiece = 1024 * 1024;

class SendSession : public Console {
public:
    // Writes the report to `out` and progress to `err` (progress only when
    // `errIsTerminal`).
    SendSession(SendOptions options, std::FILE* out, std::FILE* err, bool errIsTerminal);
    ~SendSession() override;

    // Runs everything; returns the exit status.
    int Run();

    // Console
    void LogMessage(LogKind kind, const QString& text, Severity severity = Severity::None) override;
    void LogReply(const std::vector<ReplyLine>& lines) override;
    void Pause(double seconds) override;
    [[nodiscard]] QString AddressText() const override { return options_.address; }
    void ConnectionLost(ws::SOCKET s, int error) override;

private:
    int Ping();
    bool Connect();
    void RunActions();
    void Perform(const SendAction& action);
    void WaitForPrinter();
    void Close();
    int Status() const;
    void Summarize(int status);

    // Checks the time-out and the stall; gives up the job when either struck.
    void Check();
    void GiveUp(int status, const QString& reason);
    [[nodiscard]] bool Stopped() const { return giveUp_ != kSendOk || lost_; }
    [[nodiscard]] qint64 Acked() const { return watch_.Acknowledged(); }
    [[nodiscard]] double Elapsed() const { return static_cast<double>(run_.elapsed()) / 1000.0; }
    [[nodiscard]] double SinceConnect() const;

    void Emit(QJsonObject event);
    void Print(std::FILE* to, const QString& text);
    void ShowProgress(const QString& text);
    void EndProgress();

    SendOptions options_;
    std::FILE* out_;
    std::FILE* err_;
    bool progress_;
    platform::Window window_;
    Sender sender_;
    PrinterLink link_;  // the printer connection; it takes the socket messages posted to window_
    DeliveryWatch watch_;

    QElapsedTimer run_;
    QElapsedTimer connected_;
    qint64 lastAcked_ = 0;
    double lastTakenAt_ = 0;
    double lastReplyAt_ = 0;
    QElapsedTimer progressShown_;
    bool progressLine_ = false;
    bool pinging_ = false;
    int echoesAnswered_ = 0;
    bool echoesNotAllowed_ = false;  // the system lets this program send no echo

    StatusTally tally_;
    long long answers_ = 0;  // ticket answers: ACK, NAK or a fault
    long long acks_ = 0;
    long long expected_ = 0;  // ticket answers waited for; 0 waits for quiet instead
    bool fault_ = false;
    bool lost_ = false;
    bool connectFailed_ = false;
    int giveUp_ = kSendOk;
    QString reason_;       // why the run did not end well, for the summary
    qint64 notTaken_ = 0;  // bytes the printer did not take, when it gave up
    qint64 sent_ = 0;
    qint64 taken_ = 0;
    bool sendingDone_ = false;  // every action has run
    qint64 ackedAtPause_ = -1;  // while the last bytes are taken: the count at the last pause
};

}  // namespace kivo
