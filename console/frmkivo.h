// The main window: its controls, the two message logs, start-up and shut-down,
// the responsive wait, and the handlers of every button.
#pragma once

#include "console/command_history.h"
#include "console/log_model.h"
#include "console/log_view.h"
#include "console/operator_dialogs.h"
#include "console/settings.h"
#include "link/console_port.h"
#include "link/delivery.h"
#include "link/printer_link.h"
#include "link/printer_search.h"
#include "link/send.h"
#include "link/send_queue.h"
#include "platform/window.h"
#include "platform/winsock.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <span>

class QAbstractNativeEventFilter;
class QEventLoop;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStringListModel;

namespace kivo {

class ConnectWait;
class FindDialog;
class PingRun;
class StatusTallyLabel;

inline constexpr const char* kWindowCaption = "Kivo Systems Socket Test Program V2.0";
inline constexpr const char* kDefaultAddress = "10.0.0.192";

// The window's controls are made from one table (see Form() in frmkivo.cpp):
// each control has its object name as on the form, so tests find it with
// findChild. What the window asks of the operator goes through `dialogs`, Qt's
// own dialogs when none is given.
class frmkivo : public QWidget, public Console {
    Q_OBJECT
public:
    explicit frmkivo(OperatorDialogs* dialogs = nullptr, QWidget* parent = nullptr);
    ~frmkivo() override;

    // Each control's object name and place in pixels on the window at the form's
    // size, from the form's table: one "name left top width height" line each.
    [[nodiscard]] static QStringList ControlPlaces();

    // Puts other dialogs in place of the current ones (null: Qt's own); returns
    // the ones replaced.
    OperatorDialogs* SetDialogs(OperatorDialogs* dialogs);

    // Console
    void LogMessage(LogKind kind, const QString& text, Severity severity = Severity::None) override;
    void LogLines(LogKind kind, const QStringList& lines, Severity severity = Severity::None) override;
    void LogReply(const std::vector<ReplyLine>& lines) override;
    void Pause(double seconds) override;
    void RoomToSend(ws::SOCKET s) override;
    void Repaint() override;
    [[nodiscard]] QString AddressText() const override;
    // The printer closed or reset the connection: back to the disconnected state.
    void ConnectionLost(ws::SOCKET s, int error) override;

    void ClearLogs();

    // Button handlers.
    void CmdConnect_Click();
    void CmdText_Click();
    void CmdAscii_Click();
    void CmdVekFF_Click();
    void CmdPclFF_Click();
    void CmdFile_Click();
    void CmdVEKTest_Click();
    void CmdHPTest_Click();
    void CmdPcxFile_Click();
    void Cmdping_Click();
    void CmdClear_Click() { ClearLogs(); }
    // Ends the running send and drops the queued ones; the connection stays.
    void CmdStop_Click();
    // Opens "Find Printers" (or brings it forward); a printer chosen there goes
    // into the address box.
    void CmdFind_Click();
    // How "Find Printers" names the printers it finds (the system's reverse lookup
    // by default; none: no names).
    void SetNameLookup(NameLookup lookup) { nameLookup_ = std::move(lookup); }
    [[nodiscard]] FindDialog* FindPrinters() const;

    QTimer Timer1;
    CommonDialog CommonDialog1;

    // The logs' contents, for tests and the benchmarks.
    [[nodiscard]] LogModel& OutgoingLog() { return outLog_; }
    [[nodiscard]] LogModel& IncomingLog() { return inLog_; }

    [[nodiscard]] ws::SOCKET PrinterSocketHandle() const { return PrinterSocket.Handle(); }
    [[nodiscard]] bool Connected() const;
    [[nodiscard]] platform::HWND WindowHandle() { return &hwnd_; }
    [[nodiscard]] const SendQueue& Sends() const { return sends_; }
    [[nodiscard]] Sender& PrinterSender() { return sender_; }
    // The count of what the printer has taken, for tests.
    [[nodiscard]] const DeliveryWatch& Delivery() const { return watch_; }
    // Whether Disconnect waits for the printer to take the last bytes sent.
    [[nodiscard]] bool WaitingForPrinter() const { return closing_; }

    // Shut-down: closes the printer socket if open, unhooks, ends the library.
    void Form_Unload();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct FormControl;
    // The form: every control, in tab order.
    static std::span<const FormControl> Form();

    void Form_Load();
    void Initialize();
    // What the operator left here last time; a store that cannot be used gets a line.
    void RestoreSettings();
    void RememberCommand(const QString& command);
    // Runs a control's click handler; while a connect waits only Connect acts,
    // and it ends the attempt.
    void Click(void (frmkivo::*handler)());
    void Timer1_Timer();
    void BuildControls();
    // The logs' context menus: the shared Show Times setting, what a saved file
    // starts with, and where a failed save is reported.
    void SetUpLogs();
    void SetConnectedState(bool connected);
    // While Disconnect waits for the printer: nothing can be sent, and only
    // Disconnect (which then discards) and the controls usable in both states
    // answer.
    void SetWaitingState();
    // Disconnect: cancels a running send at once; else closes once the printer
    // has taken every byte (true when that is already so).
    bool BeginDisconnect();
    // Cancels the running send and the queued ones, and closes abortively.
    void CancelAndDisconnect();
    // Ends the wait of Disconnect now, discarding what the printer has not taken.
    void DiscardAndDisconnect();
    // The connection is closed: the disconnected state and its line.
    void FinishDisconnect();
    // Runs a sending job now, or after the running one; says so at once when
    // the job has to wait. `caption` names the button clicked.
    void RunSend(const QString& caption, std::function<void()> job);
    // Counts the bytes of the job now running, for its Done or Cut short line.
    void TrackJob(const QString& what, qint64 planned, qint64 copies, bool reportDone);
    // Shows the running job's progress once it has run half a second, until the
    // printer has taken its last byte; hides it when no job runs.
    void ShowProgress();
    // Runs the command of the command table whose button is `control`.
    void Perform(const char* control);
    // Shows the file-open dialog set up afresh, titled `title`, in the folder of
    // the last file chosen with the button named `dialog`; the chosen path, or ""
    // after logging the cancel.
    QString ChooseFile(const char* dialog, const QString& title, const QString& defaultExt, const QString& filter);
    void OnSendsIdle();
    // Ends the outermost Pause now, as if its time had come.
    void EndPause();
    enum class CloseAnswer { Wait, DiscardAndClose, Cancel };
    // What to do with `pending` bytes the printer has not taken when the window closes.
    CloseAnswer AskBeforeClose(qint64 pending);
    // Ends a running send and the connection at once, the counts written to
    // standard error as well.
    void DiscardAtClose();
    // While the window closes, outgoing lines go to standard error too.
    void MirrorToStandardError(const QStringList& lines) const;

    // Controls, named as on the form.
    QPushButton* Cmdping = nullptr;
    QLineEdit* IP_Address = nullptr;
    QPushButton* CmdText = nullptr;
    QPushButton* CmdFile = nullptr;
    QPushButton* CmdClear = nullptr;
    QLineEdit* TxtCount = nullptr;
    QLineEdit* TxtCmd = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* IPLBL = nullptr;
    QLabel* LblCount = nullptr;
    QLabel* LblCmd = nullptr;
    QPushButton* CmdConnect = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* CmdPclFF = nullptr;
    QPushButton* CmdVekFF = nullptr;
    QPushButton* CmdPcxFile = nullptr;
    QPushButton* CmdVEKTest = nullptr;
    QPushButton* CmdHPTest = nullptr;
    QPushButton* CmdAscii = nullptr;
    LogView* TxtMsg = nullptr;
    LogView* InTxtMsg = nullptr;
    QProgressBar* PrgSend = nullptr;
    QPushButton* CmdStop = nullptr;
    StatusTallyLabel* StatusTally = nullptr;
    QPushButton* CmdFind = nullptr;

    QtDialogs qtDialogs_{this};
    OperatorDialogs* dialogs_ = &qtDialogs_;
    platform::Window hwnd_;
    // The printer connection: it takes the socket messages posted to hwnd_.
    PrinterLink PrinterSocket;
    LogModel outLog_;
    LogModel inLog_;
    Sender sender_;
    SendQueue sends_;
    OperatorSettings settings_;
    CommandHistory history_;
    QStringListModel* recentAddresses_ = nullptr;
    ConnectWait* connectWait_ = nullptr;                       // while a connect waits
    std::unique_ptr<QAbstractNativeEventFilter> leaderClose_;  // X11 only
    QPointer<FindDialog> findDialog_;
    PingRun* ping_ = nullptr;  // while the Ping button's echoes run
    NameLookup nameLookup_ = SystemNameLookup;
    QSize startSize_;
    Qt::WindowStates startState_;
    DeliveryWatch watch_;
    QElapsedTimer progressShown_;      // since the progress bar last changed
    int trackedJob_ = 0;               // the running job in the watch's count, or 0
    QEventLoop* pauseLoop_ = nullptr;  // the outermost Pause's loop while it waits
    bool mirrorToStandardError_ = false;
    bool jobIncomplete_ = false;  // a file of the running job could not be sent whole

    QString PrinterPort;
    QString PrintCommand;
    QString FfText;
    bool PauseElapsed = false;
    int pauseDepth_ = 0;
    bool connecting_ = false;
    bool closePending_ = false;
    bool closing_ = false;         // Disconnect waits for the printer
    bool closeAfterWait_ = false;  // and the window closes after it
    bool unloaded_ = false;
};

}  // namespace kivo
