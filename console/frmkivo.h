// The main window: its controls, the two message logs, start-up and shut-down,
// and the handlers of every button. The printer connection's life is the
// session's (link/printer_session.h); the window shows it and asks for it.
#pragma once

#include "console/command_history.h"
#include "console/log_model.h"
#include "console/log_view.h"
#include "console/operator_dialogs.h"
#include "console/settings.h"
#include "link/console_port.h"
#include "link/printer_search.h"
#include "link/printer_session.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <span>

class QAbstractNativeEventFilter;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStringListModel;

namespace kivo {

class FindDialog;
class PingRun;
class StatusTallyLabel;

inline constexpr const char* kWindowCaption = "Kivo Systems Socket Test Program V2.0";
inline constexpr const char* kDefaultAddress = "10.0.0.192";

// The window's controls are made from one table (form_table.cpp): each control
// has its object name as on the form, so tests find it with findChild. What the
// window asks of the operator goes through `dialogs`, Qt's own dialogs when none
// is given.
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
    [[nodiscard]] QString AddressText() const override;

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

    CommonDialog CommonDialog1;

    // The logs' contents, for tests and the benchmarks.
    [[nodiscard]] LogModel& OutgoingLog() { return outLog_; }
    [[nodiscard]] LogModel& IncomingLog() { return inLog_; }

    // The printer connection's life: its jobs, counts and state, for tests and
    // the benchmarks.
    [[nodiscard]] PrinterSession& Session() { return PrinterSocket; }
    [[nodiscard]] const PrinterSession& Session() const { return PrinterSocket; }
    [[nodiscard]] int PrinterSocketHandle() const { return PrinterSocket.Connection().Handle(); }
    [[nodiscard]] bool Connected() const;
    // Whether Disconnect waits for the printer to take the last bytes sent.
    [[nodiscard]] bool WaitingForPrinter() const { return PrinterSocket.GetState() == PrinterSession::State::Closing; }

    // Shut-down: ends a connection still open (what it discards is named, on
    // standard error too) and remembers the window's size.
    void Form_Unload();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct FormControl;
    // The form: every control, in tab order.
    static std::span<const FormControl> Form();
    void BuildControls();
    // Enables each control of the form as the connection's state wants it.
    void ShowState();

    void Form_Load();
    void Initialize();
    // What the operator left here last time; a store that cannot be used gets a line.
    void RestoreSettings();
    void RememberCommand(const QString& command);
    // The logs' context menus: the shared Show Times setting, what a saved file
    // starts with, and where a failed save is reported.
    void SetUpLogs();

    void OnConnectFinished(bool connected);
    // The connection is closed: the disconnected state, and its line when the
    // operator asked for it.
    void OnClosed();
    // Runs a command now, or after the running one, saying so at once when it
    // has to wait. `caption` names the button clicked.
    void RunSend(const QString& caption, PrinterSession::JobMaker make);
    // Runs the command of the command table whose button is `control`.
    void Perform(const char* control);
    // Shows the file-open dialog set up afresh, titled `title`, in the folder of
    // the last file chosen with the button named `dialog`; the chosen path, or ""
    // after logging the cancel.
    QString ChooseFile(const char* dialog, const QString& title, const QString& defaultExt, const QString& filter);
    // Shows the running job's progress once it has run half a second, until the
    // printer has taken and answered it; hides it when no job runs.
    void ShowProgress();

    // Closing (close_policy.cpp).
    enum class CloseAnswer { Wait, DiscardAndClose, Cancel };
    // What to do with what the printer has not taken when the window closes.
    CloseAnswer AskBeforeClose();
    [[nodiscard]] QString PendingText() const;
    // Wait: the running job goes on to its end, then Disconnect's wait, then the close.
    void CloseOnceTaken();
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
    LogModel outLog_;
    LogModel inLog_;
    // The printer connection.
    PrinterSession PrinterSocket;
    OperatorSettings settings_;
    CommandHistory history_;
    QStringListModel* recentAddresses_ = nullptr;
    std::unique_ptr<QAbstractNativeEventFilter> leaderClose_;  // X11 only
    QPointer<FindDialog> findDialog_;
    PingRun* ping_ = nullptr;  // while the Ping button's echoes run
    NameLookup nameLookup_ = SystemNameLookup;
    QSize startSize_;
    Qt::WindowStates startState_;
    QElapsedTimer progressShown_;  // since the progress bar last changed
    QElapsedTimer lostAt_;         // since the printer last went away
    QString PrinterPort;

    bool disconnectAsked_ = false;  // the operator asked the connection to end
    bool closeWhenClosed_ = false;  // the window closes once the connection has
    bool askingToClose_ = false;    // the close question is up
    bool mirrorToStandardError_ = false;
    bool unloaded_ = false;
};

}  // namespace kivo
