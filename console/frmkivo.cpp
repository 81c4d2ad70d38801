// The main window's wiring: start-up and shut-down, the logs, the connect
// button, the commands and the progress of the running job. The form's table is
// in form_table.cpp, what a close request does in close_policy.cpp.
#include "console/frmkivo.h"

#include "console/address_completer.h"
#include "console/find_dialog.h"
#ifdef KIVO_LEADER_CLOSE
#include "console/leader_close.h"
#endif
#include "console/status_tally_label.h"
#include "link/commands.h"
#include "link/jobs.h"
#include "link/numbers.h"
#include "link/printer_address.h"
#include "link/reply_decoder.h"
#include "pcx/pcx_plan.h"
#include "pcx/picture.h"
#include "ping/ping.h"
#include "platform/program_folder.h"

#include <QAbstractNativeEventFilter>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringListModel>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

namespace kivo {
namespace {

constexpr LogKind kOut = LogKind::Outgoing;
// Every file, with an extension or without: "*.*" would want a dot in the name.
const QString kAllFiles = QStringLiteral("all files(*)|*");
// A click on Connect this soon after the printer went away was meant for Disconnect.
constexpr int kClickAfterLossMs = 500;

PrinterSession::Settings WindowSession() {
    PrinterSession::Settings settings;
    settings.filePiece = kFilePiece;
    settings.waitHint = QStringLiteral("(Disconnect again or Escape discards them)");
    return settings;
}

}  // namespace

frmkivo::frmkivo(OperatorDialogs* dialogs, QWidget* parent) : QWidget(parent), PrinterSocket(*this, WindowSession()) {
    if (dialogs) dialogs_ = dialogs;
    BuildControls();

    // The keyboard: Enter connects from the address box and sends from the
    // command box; Up and Down step through the commands sent before.
    connect(IP_Address, &QLineEdit::returnPressed, this, [this] {
        if (PrinterSocket.GetState() == PrinterSession::State::Disconnected) CmdConnect_Click();
    });
    connect(TxtCmd, &QLineEdit::returnPressed, this, [this] {
        if (CmdText->isEnabled()) CmdText_Click();
    });
    new HistoryKeys(*TxtCmd, history_);
    recentAddresses_ = new QStringListModel(this);
    IP_Address->setCompleter(new AddressCompleter(recentAddresses_, this));

    // The connection's life, as the window shows it.
    connect(&PrinterSocket, &PrinterSession::StateChanged, this, [this] {
        ShowState();
        ShowProgress();
    });
    connect(&PrinterSocket, &PrinterSession::ConnectFinished, this,
            [this](bool connected) { OnConnectFinished(connected); });
    connect(&PrinterSocket, &PrinterSession::Progress, this, &frmkivo::ShowProgress);
    connect(&PrinterSocket, &PrinterSession::Idle, this, &frmkivo::ShowProgress);
    connect(&PrinterSocket, &PrinterSession::JobSettled, this, &frmkivo::ShowProgress);
    connect(&PrinterSocket, &PrinterSession::JobHanded, this, [this] {
        // The close waited for the running job: now the printer's last bytes.
        if (closeWhenClosed_ && !PrinterSocket.Handing() &&
            PrinterSocket.GetState() == PrinterSession::State::Connected) {
            disconnectAsked_ = true;
            PrinterSocket.Disconnect();
        }
    });
    connect(&PrinterSocket, &PrinterSession::Lost, this, [this] { lostAt_.start(); });
    connect(&PrinterSocket, &PrinterSession::Closed, this, &frmkivo::OnClosed);

    inLog_.SetRecurringLines(ReplyByteLines());
    SetUpLogs();
    Form_Load();
}

frmkivo::~frmkivo() { Form_Unload(); }

OperatorDialogs* frmkivo::SetDialogs(OperatorDialogs* dialogs) {
    return std::exchange(dialogs_, dialogs ? dialogs : &qtDialogs_);
}

void frmkivo::SetUpLogs() {
    const bool showTimes = settings_.ShowTimes();
    for (const auto& [view, label] : {std::pair{TxtMsg, Label1}, std::pair{InTxtMsg, Label2}}) {
        view->SetShowTimes(showTimes);
        connect(view, &LogView::showTimesToggled, this, [this](bool show) {
            TxtMsg->SetShowTimes(show);
            InTxtMsg->SetShowTimes(show);
            settings_.RememberShowTimes(show);
        });
        view->SetFileHeader([this, label = label] {
            return LogFileHeader{QString::fromLatin1(kWindowCaption), label->text(),
                                 AddressText() + QStringLiteral(" port ") + PrinterPort, QDateTime::currentDateTime()};
        });
        // Save As opens where the last log was saved, as the file dialogs do.
        view->SetSaveChooser([this](QWidget*, const QString& suggested) {
            const QString folder = settings_.DialogFolder(QStringLiteral("SaveAs"));
            const QString path = dialogs_->ChooseSaveFile(QStringLiteral("Save As"),
                                                          !folder.isEmpty() && QFileInfo(folder).isDir()
                                                              ? QDir(folder).filePath(QFileInfo(suggested).fileName())
                                                              : suggested,
                                                          QStringLiteral("text files(*.txt)|*.txt|") + kAllFiles);
            if (!path.isEmpty())
                settings_.RememberDialogFolder(QStringLiteral("SaveAs"), QFileInfo(path).absolutePath());
            return path;
        });
        connect(view, &LogView::saveFailed, this,
                [this](const QString& line) { LogMessage(kOut, line, Severity::Fault); });
    }
    // The tally goes with the incoming log's lines: Clear Messages and Clear This Log end it.
    connect(&inLog_, &QAbstractItemModel::modelReset, StatusTally, &StatusTallyLabel::Clear);
}

// ---------------------------------------------------------------- lifecycle

void frmkivo::Form_Load() {
    Initialize();
    CommonDialog1.InitDir = platform::ProgramFolder();
    QDir::setCurrent(platform::ProgramFolder());
#ifdef KIVO_LEADER_CLOSE
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        leaderClose_ = std::make_unique<LeaderCloseFilter>(*this);
#endif
    RestoreSettings();
    // Typing a new address replaces the one shown.
    IP_Address->setFocus();
    IP_Address->selectAll();
}

void frmkivo::Initialize() {
    IP_Address->setText(QString::fromLatin1(kDefaultAddress));
    PrinterPort = QStringLiteral("9100");
}

void frmkivo::RestoreSettings() {
    if (!settings_.Problem().isEmpty()) LogMessage(kOut, settings_.Problem(), Severity::Warning);
    if (const QString address = settings_.LastAddress(); !address.isEmpty()) IP_Address->setText(address);
    recentAddresses_->setStringList(settings_.RecentAddresses());
    if (const QString count = settings_.CopyCount(); !count.isEmpty()) TxtCount->setText(count);
    history_ = CommandHistory(settings_.Commands());
    if (const QByteArray geometry = settings_.WindowGeometry(); !geometry.isEmpty()) restoreGeometry(geometry);
    startSize_ = size();
    startState_ = windowState();
}

void frmkivo::RememberCommand(const QString& command) {
    const QStringList before = history_.Commands();
    history_.Add(command);
    if (history_.Commands() != before) settings_.RememberCommands(history_.Commands());
}

void frmkivo::Form_Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    // The window's size and state, once the operator has changed them.
    if (size() != startSize_ || windowState() != startState_) settings_.RememberWindowGeometry(saveGeometry());
    if (PrinterSocket.GetState() != PrinterSession::State::Disconnected) {
        // Whatever the printer has not taken is named, here and on standard error.
        mirrorToStandardError_ = true;
        PrinterSocket.DropQueued();
        PrinterSocket.Discard(QStringLiteral("the window closed"));
        mirrorToStandardError_ = false;
    }
    leaderClose_.reset();
}

bool frmkivo::Connected() const { return PrinterSocket.IsConnected(); }

// ---------------------------------------------------------------- logs

void frmkivo::LogMessage(LogKind kind, const QString& text, Severity severity) {
    const bool outgoing = kind == kOut;
    if (outgoing) MirrorToStandardError({text});
    LogModel& log = outgoing ? outLog_ : inLog_;
    log.Append(text, severity);
    (outgoing ? TxtMsg : InTxtMsg)->FollowNewest();
}

void frmkivo::LogLines(LogKind kind, const QStringList& lines, Severity severity) {
    if (lines.isEmpty()) return;
    const bool outgoing = kind == kOut;
    if (outgoing) MirrorToStandardError(lines);
    LogModel& log = outgoing ? outLog_ : inLog_;
    log.Append(lines, severity);
    (outgoing ? TxtMsg : InTxtMsg)->FollowNewest();
}

void frmkivo::LogReply(const std::vector<ReplyLine>& lines) {
    if (lines.empty()) return;
    inLog_.Append(lines);
    StatusTally->Count(lines);
    InTxtMsg->FollowNewest();
}


void frmkivo::ClearLogs() {
    outLog_.Clear();
    inLog_.Clear();
}

// The host alone: an "address:port" names the port on the connect lines.
QString frmkivo::AddressText() const {
    const QString text = IP_Address->text();
    const std::optional<PrinterAddress> address = ReadPrinterAddress(text);
    return address ? address->host : text;
}

// ---------------------------------------------------------------- connect

FindDialog* frmkivo::FindPrinters() const { return findDialog_; }

void frmkivo::CmdFind_Click() {
    if (findDialog_) {
        findDialog_->raise();
        findDialog_->activateWindow();
        return;
    }
    findDialog_ = new FindDialog(this, nameLookup_);
    findDialog_->setAttribute(Qt::WA_DeleteOnClose);
    connect(findDialog_, &FindDialog::AddressChosen, this, [this](const QString& address) {
        // The address box is the connection's while one is made or open.
        if (PrinterSocket.GetState() != PrinterSession::State::Disconnected) return;
        IP_Address->setText(address);
        IP_Address->setFocus();
    });
    findDialog_->show();
    findDialog_->StartSearch();
}

void frmkivo::CmdConnect_Click() {
    using State = PrinterSession::State;
    switch (PrinterSocket.GetState()) {
    case State::Connecting:
        // A click while the connect goes on ends that attempt; it never starts another.
        PrinterSocket.CancelConnect();
        return;
    case State::Closing:
        // A second click while the printer is waited for discards what it has not taken.
        PrinterSocket.Discard(QStringLiteral("discarded at your request"));
        return;
    case State::Connected:
        disconnectAsked_ = true;
        PrinterSocket.Disconnect();
        return;
    case State::Disconnected: break;
    }
    if (lostAt_.isValid() && lostAt_.elapsed() < kClickAfterLossMs) return;
    if (AddressText().trimmed().isEmpty()) {
        LogMessage(kOut, QStringLiteral("No printer address to connect to: enter its IP address or host name first"),
                   Severity::Fault);
        return;
    }
    // "address:port" picks the port of this connection; 9100 without one.
    const std::optional<PrinterAddress> target = ReadPrinterAddress(IP_Address->text());
    if (!target) {
        LogMessage(kOut, PrinterPortRefusal(IP_Address->text()), Severity::Fault);
        return;
    }
    PrinterPort = QString::number(target->port);
    setCursor(Qt::BusyCursor);
    PrinterSocket.Connect(target->host, target->port);
}

void frmkivo::OnConnectFinished(bool connected) {
    unsetCursor();
    if (!connected) return;
    StatusTally->Clear();  // the tally counts from each Connect
    settings_.RememberAddress(IP_Address->text());
    recentAddresses_->setStringList(settings_.RecentAddresses());
    // Typing goes on in the command box, the next thing the operator uses.
    TxtCmd->setFocus(Qt::OtherFocusReason);
}

void frmkivo::OnClosed() {
    ShowState();
    ShowProgress();
    if (std::exchange(disconnectAsked_, false))
        LogMessage(kOut,
                   QStringLiteral("Disconnected from ") + AddressText() + QStringLiteral(" on port ") + PrinterPort);
    if (std::exchange(closeWhenClosed_, false)) QTimer::singleShot(0, this, &QWidget::close);
}

// ---------------------------------------------------------------- commands

void frmkivo::RunSend(const QString& caption, PrinterSession::JobMaker make) {
    if (PrinterSocket.Busy()) LogMessage(kOut, QStringLiteral("Queued behind the running send: ") + caption);
    PrinterSocket.Queue(caption, std::move(make));
}

void frmkivo::ShowProgress() {
    // A job runs until the printer has taken its last byte and answered, or until it stops.
    const std::optional<JobState> job = PrinterSocket.RunningJob();
    if (!job) {
        PrgSend->hide();
        CmdStop->hide();
        return;
    }
    // A few updates a second are enough to read, and cost next to nothing.
    if (!PrgSend->isHidden() && progressShown_.isValid() && progressShown_.elapsed() < 250) return;
    if (PrgSend->isHidden() && job->seconds < 0.5) return;
    progressShown_.start();
    const qint64 total = std::max(job->planned, job->handed);
    PrgSend->setValue(total > 0 ? static_cast<int>(std::min<qint64>(job->taken * 1000 / total, 1000)) : 0);
    // One line that fits the bar, the whole text in its tooltip. The bar shows
    // its format as it is but for %p, %v and %m, which no text here holds.
    const QString full = ProgressText(*job);
    const QFontMetrics metrics(PrgSend->font());
    const int room = PrgSend->width() - 8;
    const QString text = metrics.horizontalAdvance(full) <= room ? full : ShortProgressText(*job);
    PrgSend->setFormat(metrics.elidedText(text, Qt::ElideRight, room));
    PrgSend->setToolTip(full);
    PrgSend->show();
    CmdStop->show();
}

void frmkivo::CmdStop_Click() { PrinterSocket.Stop(); }

void frmkivo::CmdText_Click() { Perform("CmdText"); }
void frmkivo::CmdAscii_Click() { Perform("CmdAscii"); }
void frmkivo::CmdVekFF_Click() { Perform("CmdVekFF"); }
void frmkivo::CmdPclFF_Click() { Perform("CmdPclFF"); }
void frmkivo::CmdFile_Click() { Perform("CmdFile"); }
void frmkivo::CmdVEKTest_Click() { Perform("CmdVEKTest"); }
void frmkivo::CmdHPTest_Click() { Perform("CmdHPTest"); }
void frmkivo::CmdPcxFile_Click() { Perform("CmdPcxFile"); }

QString frmkivo::ChooseFile(const char* dialog, const QString& title, const QString& defaultExt,
                            const QString& filter) {
    const QString folder = settings_.DialogFolder(QString::fromLatin1(dialog));
    CommonDialog1.InitDir = !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : platform::ProgramFolder();
    CommonDialog1.DefaultExt = defaultExt;
    CommonDialog1.Filter = filter;
    CommonDialog1.DialogTitle = title;
    CommonDialog1.FileName.clear();
    CommonDialog1.CancelError = false;
    CommonDialog1.ShowOpen(*dialogs_);
    if (CommonDialog1.FileName.isEmpty())
        LogMessage(kOut, QStringLiteral("Download File Canceled"));
    else
        settings_.RememberDialogFolder(QString::fromLatin1(dialog), QFileInfo(CommonDialog1.FileName).absolutePath());
    return CommonDialog1.FileName;
}

// Reads what the command takes from the form (the text field, the copies field,
// a file chosen in the dialog, a PCX plan) and queues the command's run.
void frmkivo::Perform(const char* control) {
    const Command& command = *CommandOfControl(QString::fromLatin1(control));
    CommandInput input;
    input.address = AddressText();
    if (TakesText(command)) {
        if (command.emptyText && TxtCmd->text().isEmpty()) TxtCmd->setText(QString::fromLatin1(command.emptyText));
        input.text = TxtCmd->text();
    }
    if (command.copies == CopyRule::TicketCopies) {
        // A count the tickets cannot use shows as the 1 that is sent, and is
        // what the next run finds in the field.
        if (const QString counted = TicketCopiesText(TxtCount->text()); counted != TxtCount->text())
            TxtCount->setText(counted);
    }
    if (TakesCopies(command)) input.countText = TxtCount->text();
    if (command.bytes == CommandBytes::ChosenFile) {
        input.path = ChooseFile(control, QString::fromLatin1(command.caption), QStringLiteral("*.txt"),
                                QStringLiteral("text files(*.txt)|*.txt|prn files(*.prn)|*.prn|") + kAllFiles);
        if (input.path.isEmpty()) return;
    } else if (command.bytes == CommandBytes::PcxPlan) {
        const QString path = ChooseFile(control, QString::fromLatin1(command.caption), QStringLiteral("pcx"),
                                        QString::fromLatin1(kPcxFileFilter) + QLatin1Char('|') + kAllFiles);
        if (path.isEmpty()) return;
        const auto ask = [this](const PcxQuestionAsked& asked) {
            Question question;
            question.title = QString::fromLatin1(kPcxQuestionTitle);
            question.text = asked.text;
            question.answers = asked.AnswerTexts();
            question.defaultAnswer = asked.DefaultIndex();
            question.escapeAnswer = asked.EscapeIndex();
            return asked.AnswerAt(dialogs_->Ask(question));
        };
        const PcxPlan plan = PlanPcxDownload(path, ask, ConvertPictureToPcx);
        LogLines(kOut, plan.lines, plan.severity);
        if (plan.action == PcxPlan::Action::Nothing) return;
        input = PcxCommandInput(plan, input.address);
    }
    RunSend(QString::fromLatin1(command.caption), [this, &command, input] {
        std::optional<PrinterJob> job = MakeCommandJob(command, input, *this);
        // What was sent is remembered; what was refused is not.
        if (job && TakesText(command)) RememberCommand(input.text);
        if (job && TakesCopies(command)) settings_.RememberCopyCount(input.countText);
        return job;
    });
}

// ---------------------------------------------------------------- ping

// The echoes run on the event loop; the button waits for the report's end.
void frmkivo::Cmdping_Click() {
    if (ping_) return;
    ping_ = new PingRun(*this, AddressText(), {}, this);
    Cmdping->setEnabled(false);
    connect(ping_, &PingRun::Finished, this, [this] {
        Cmdping->setEnabled(true);
        std::exchange(ping_, nullptr)->deleteLater();
    });
    ping_->Start();
}

}  // namespace kivo
