// The main window: its controls, the two message logs, start-up and shut-down,
// the responsive wait, and the handlers of every button.
#pragma once

#include "console/log_model.h"
#include "console/log_view.h"
#include "console/send_queue.h"
#include "link/console_port.h"
#include "link/send.h"
#include "platform/window.h"
#include "platform/winsock.h"

#include <QTimer>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace kivo {

class StatusTallyLabel;

inline constexpr const char* kWindowCaption = "Kivo Systems Socket Test Program V2.0";
inline constexpr const char* kDefaultAddress = "10.0.0.192";

class frmkivo : public QWidget, public Console {
    Q_OBJECT
public:
    explicit frmkivo(QWidget* parent = nullptr);
    ~frmkivo() override;

    // Console
    void LogMessage(const QString& kind, const QString& text) override;
    void LogLines(const QString& kind, const QStringList& lines) override;
    void LogReply(const std::vector<ReplyLine>& lines) override;
    void Pause(double seconds) override;
    void Repaint() override;
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

    // Controls, named as on the form.
    QPushButton* Cmdping;
    QLineEdit* IP_Address;
    QPushButton* CmdText;
    QPushButton* CmdFile;
    QPushButton* CmdClear;
    QLineEdit* TxtCount;
    QLineEdit* TxtCmd;
    QLabel* Label1;
    QLabel* IPLBL;
    QLabel* LblCount;
    QLabel* LblCmd;
    QPushButton* CmdConnect;
    QLabel* Label2;
    QPushButton* CmdPclFF;
    QPushButton* CmdVekFF;
    QPushButton* CmdPcxFile;
    QPushButton* CmdVEKTest;
    QPushButton* CmdHPTest;
    QPushButton* CmdAscii;
    LogView* TxtMsg;
    LogView* InTxtMsg;
    QTimer Timer1;
    platform::CommonDialog CommonDialog1;

    // The logs' contents, for tests and the benchmarks.
    [[nodiscard]] LogModel& OutgoingLog() { return outLog_; }
    [[nodiscard]] LogModel& IncomingLog() { return inLog_; }

    [[nodiscard]] ws::SOCKET PrinterSocketHandle() const { return PrinterSocket; }
    [[nodiscard]] bool Connected() const;
    [[nodiscard]] platform::HWND WindowHandle() { return &hwnd_; }
    [[nodiscard]] const SendQueue& Sends() const { return sends_; }
    [[nodiscard]] Sender& PrinterSender() { return sender_; }

    // Shut-down: closes the printer socket if open, unhooks, ends the library.
    void Form_Unload();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    void Initialize();
    void Timer1_Timer();
    void BuildControls();
    // The logs' context menus: the shared Show Times setting, what a saved file
    // starts with, and where a failed save is reported.
    void SetUpLogs();
    void SetConnectedState(bool connected);
    // Runs a sending job now, or after the running one.
    void RunSend(std::function<void()> job);
    // Sends a file in copies; reports a file error once.
    void SendCopies(const QString& path, long long copies, bool vekHeader);
    // Shows the file-open dialog set up afresh; the chosen path, or "" after
    // logging the cancel.
    QString ChooseFile(const QString& defaultExt, const QString& filter);
    // The test-ticket buttons: a file of the program's folder in 1 to 100 copies.
    void SendTestTicket(const QString& fileName, bool vekHeader);
    void OnSendsIdle();

    platform::Window hwnd_;
    LogModel outLog_;
    LogModel inLog_;
    StatusTallyLabel* tally_ = nullptr;
    Sender sender_;
    SendQueue sends_;

    ws::SOCKET PrinterSocket = 0;
    bool socketOpen_ = false;
    QString PrinterPort;
    QString PrintCommand;
    QString FfText;
    bool PauseElapsed = false;
    int pauseDepth_ = 0;
    bool connecting_ = false;
    bool closePending_ = false;
    bool unloaded_ = false;

};

}  // namespace kivo
