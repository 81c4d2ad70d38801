#include "console/frmkivo.h"

#include "console/app_icon.h"
#include "console/connect_wait.h"
#include "console/line_severity.h"
#include "console/log_view.h"
#include "console/status_tally_label.h"
#include "link/jobs.h"
#include "link/numbers.h"
#include "link/reply_decoder.h"
#include "link/send_file.h"
#include "link/socket_events.h"
#include "link/stock_tickets.h"
#include "link/winsock_module.h"
#include "pcx/pcx_download.h"
#include "pcx/pcx_plan.h"
#include "pcx/picture.h"
#include "ping/ping.h"

#include <QCloseEvent>
#include <QCompleter>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringListModel>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <variant>

namespace kivo {
namespace {

const QString kOut = QStringLiteral("O");
const QString kAtYourRequest = QStringLiteral("discarded at your request");

// Form positions are in twips; at 96 DPI a pixel is 15 twips.
constexpr int Px(int twips) { return (twips + 7) / 15; }

QFont FormFont(double points) {
    QFont font;
    font.setFamilies({QStringLiteral("Comic Sans MS"), QStringLiteral("Comic Neue")});
    font.setPointSizeF(points);
    return font;
}

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

// When a control can be used: always, or only in one connection state.
enum class Usable { Always, Connected, Disconnected };

struct Twips {
    int left, top, width, height;
};

// How a control follows the window when the operator makes it larger than the
// form: the logs take the extra width and share the extra height.
enum class Growth {
    Stays,        // keeps its place and size
    OutgoingLog,  // the extra width and the upper half of the extra height
    IncomingLog,  // the extra width and the rest of the height, below the outgoing log's growth
    BetweenLogs,  // moves down by the outgoing log's growth
};

// A control's place in pixels, in a window `extra` larger than the form.
QRect GrownPlace(const Twips& place, Growth growth, QSize extra) {
    QRect r(Px(place.left), Px(place.top), Px(place.width), Px(place.height));
    const int outgoing = extra.height() / 2;
    switch (growth) {
    case Growth::Stays: break;
    case Growth::OutgoingLog: r.adjust(0, 0, extra.width(), outgoing); break;
    case Growth::IncomingLog: r.adjust(0, outgoing, extra.width(), extra.height()); break;
    case Growth::BetweenLogs: r.translate(0, outgoing); break;
    }
    return r;
}

// One control of the form: the member that holds it (its type says what kind
// of control it is), its object name, caption, tooltip, place, when it can be
// used, what a click on it does, how its text is aligned, and how it follows the
// window's growth.
struct frmkivo::FormControl {
    std::variant<QPushButton* frmkivo::*, QLineEdit* frmkivo::*, QLabel* frmkivo::*, LogView* frmkivo::*,
                 QProgressBar* frmkivo::*, StatusTallyLabel* frmkivo::*>
        control;
    const char* name;
    const char* caption;
    const char* tooltip;
    Twips place;
    Usable usable;
    void (frmkivo::*click)() = nullptr;
    Qt::Alignment align = {};
    Growth growth = Growth::Stays;
};

std::span<const frmkivo::FormControl> frmkivo::Form() {
    using F = frmkivo;
    constexpr Qt::Alignment centred = Qt::AlignCenter;
    static const FormControl form[] = {
        {&F::Cmdping, "Cmdping", "Ping", "Verify ethernet communication to current IP address",
         {1920, 360, 1095, 495}, Usable::Always, &F::Cmdping_Click},
        {&F::IP_Address, "IP_Address", "", "Enter IP Address for your Kivo Systems printer",
         {3600, 360, 2535, 495}, Usable::Disconnected, nullptr, centred},
        {&F::CmdText, "CmdText", "Send Text", "Send Text Command to the printer",
         {240, 1920, 1215, 495}, Usable::Connected, &F::CmdText_Click},
        {&F::CmdFile, "CmdFile", "Send Text File", "Send text file to printer (# of Copies)",
         {2880, 1920, 1215, 495}, Usable::Connected, &F::CmdFile_Click},
        {&F::CmdClear, "CmdClear", "Clear Messages", "Clear out messages below",
         {4560, 5040, 1335, 495}, Usable::Always, &F::CmdClear_Click, {}, Growth::BetweenLogs},
        {&F::TxtCount, "TxtCount", "1", "Enter # of copies of text commands or text files",
         {9480, 1200, 1335, 525}, Usable::Connected, nullptr, centred},
        {&F::TxtCmd, "TxtCmd", "", "Enter string here and then click on \"Send Text\" when you are ready",
         {120, 1200, 9255, 495}, Usable::Connected},
        {&F::Label1, "Label1", "Outgoing Data and General Messages", "",
         {120, 2520, 3615, 375}, Usable::Always},
        {&F::IPLBL, "IPLBL", "Enter IP Address  Here", "",
         {3600, 120, 2295, 255}, Usable::Always},
        {&F::LblCount, "LblCount", "# of Copies", "",
         {9480, 960, 1455, 255}, Usable::Always, nullptr, Qt::AlignHCenter | Qt::AlignTop},
        {&F::LblCmd, "LblCmd", "Enter Text Command or Ascii Value Here", "",
         {120, 960, 3855, 255}, Usable::Always},
        {&F::CmdConnect, "CmdConnect", "Connect", "Connect & Disconnect with Kivo Systems Printer",
         {6840, 360, 1215, 495}, Usable::Always, &F::CmdConnect_Click},
        {&F::Label2, "Label2", "Incoming Printer Data  and Messages", "",
         {120, 5280, 3615, 375}, Usable::Always, nullptr, {}, Growth::BetweenLogs},
        {&F::CmdPclFF, "CmdPclFF", "HP Form Feed", "Send a HP Form Feed to the printer",
         {9480, 1920, 1215, 495}, Usable::Connected, &F::CmdPclFF_Click},
        {&F::CmdVekFF, "CmdVekFF", "VEK Form Feed", "Send VEK Form Feed to the printer",
         {6840, 1920, 1215, 495}, Usable::Connected, &F::CmdVekFF_Click},
        {&F::CmdPcxFile, "CmdPcxFile", "Print PCX File", "Print a Monochrome PCX file on an VEK printer",
         {4200, 1920, 1215, 495}, Usable::Connected, &F::CmdPcxFile_Click},
        {&F::CmdVEKTest, "CmdVEKTest", "VEK Test Ticket", "Generate standard VEK test ticket (# of Copies)",
         {5520, 1920, 1215, 495}, Usable::Connected, &F::CmdVEKTest_Click},
        {&F::CmdHPTest, "CmdHPTest", "HP Test Ticket", "Generate standard HP ID test ticket (# of Copies)",
         {8160, 1920, 1215, 495}, Usable::Connected, &F::CmdHPTest_Click},
        {&F::CmdAscii, "CmdAscii", "Send Ascii ", "Send ASCII Value to printer",
         {1560, 1920, 1215, 495}, Usable::Connected, &F::CmdAscii_Click},
        {&F::TxtMsg, "TxtMsg", "", "", {120, 2880, 10695, 2085}, Usable::Always, nullptr, {},
         Growth::OutgoingLog},
        {&F::InTxtMsg, "InTxtMsg", "", "", {120, 5640, 10695, 2535}, Usable::Always, nullptr, {},
         Growth::IncomingLog},
        // Shown while a long send runs, between the logs right of Clear Messages;
        // last in the tab order, so the form's own order stays as it is.
        {&F::PrgSend, "PrgSend", "", "", {6000, 5040, 3480, 240}, Usable::Always, nullptr, {}, Growth::BetweenLogs},
        {&F::CmdStop, "CmdStop", "Stop", "Stop the running send and the sends queued behind it",
         {9600, 5040, 1215, 495}, Usable::Always, &F::CmdStop_Click, {}, Growth::BetweenLogs},
        // The printer's statuses since Connect, on the incoming log's label row
        // under the progress bar.
        {&F::StatusTally, "StatusTally", "", "", {6000, 5280, 3480, 360}, Usable::Always, nullptr, {},
         Growth::BetweenLogs},
    };
    return form;
}

frmkivo::frmkivo(OperatorDialogs* dialogs, QWidget* parent)
    : QWidget(parent), sender_(*this), watch_(sender_, *this) {
    if (dialogs) dialogs_ = dialogs;
    BuildControls();
    connect(&watch_, &DeliveryWatch::Closed, this, &frmkivo::FinishDisconnect);
    connect(&watch_, &DeliveryWatch::Progress, this, &frmkivo::ShowProgress);
    inLog_.SetRecurringLines(ReplyByteLines());
    outLog_.SetSeverityRule(OutgoingSeverity);
    SetUpLogs();
    Timer1.setInterval(0);
    Timer1.setSingleShot(false);
    connect(&Timer1, &QTimer::timeout, this, &frmkivo::Timer1_Timer);
    sends_.SetIdleCallback([this] { OnSendsIdle(); });
    Form_Load();
}

frmkivo::~frmkivo() { Form_Unload(); }

QStringList frmkivo::ControlPlaces() {
    QStringList lines;
    for (const FormControl& row : Form()) {
        const QRect r = GrownPlace(row.place, row.growth, QSize(0, 0));
        lines << QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(QLatin1String(row.name))
                     .arg(r.x())
                     .arg(r.y())
                     .arg(r.width())
                     .arg(r.height());
    }
    return lines;
}

OperatorDialogs* frmkivo::SetDialogs(OperatorDialogs* dialogs) {
    return std::exchange(dialogs_, dialogs ? dialogs : &qtDialogs_);
}

void frmkivo::BuildControls() {
    setWindowTitle(QString::fromLatin1(kWindowCaption));
    setWindowIcon(AppIcon());
    // The form's size is the least the window takes; larger, the logs grow.
    setMinimumSize(Px(10965), Px(8280));
    resize(minimumSize());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(192, 192, 255));
    setPalette(pal);
    setAutoFillBackground(true);

    QWidget* previous = nullptr;
    for (const FormControl& row : Form()) {
        const QString caption = QString::fromLatin1(row.caption);
        QWidget* widget = std::visit(
            Overloaded{
                [&](QPushButton* frmkivo::*member) -> QWidget* {
                    auto* b = new QPushButton(caption, this);
                    // The system's font at the size of a classic dialog font, so
                    // every caption fits its button.
                    QFont font = b->font();
                    font.setPointSizeF(7.5);
                    b->setFont(font);
                    b->setAutoDefault(false);
                    if (row.click) connect(b, &QPushButton::clicked, this, [this, click = row.click] { Click(click); });
                    return this->*member = b;
                },
                [&](QLineEdit* frmkivo::*member) -> QWidget* {
                    auto* t = new QLineEdit(caption, this);
                    t->setFont(FormFont(14.25));
                    if (row.align) t->setAlignment(row.align);
                    return this->*member = t;
                },
                [&](QLabel* frmkivo::*member) -> QWidget* {
                    auto* l = new QLabel(caption, this);
                    l->setFont(FormFont(9.75));
                    if (row.align) l->setAlignment(row.align);
                    return this->*member = l;
                },
                [&](LogView* frmkivo::*member) -> QWidget* {
                    auto* v = new LogView(member == &frmkivo::TxtMsg ? &outLog_ : &inLog_, this);
                    v->setFont(FormFont(8.25));
                    return this->*member = v;
                },
                [&](QProgressBar* frmkivo::*member) -> QWidget* {
                    auto* p = new QProgressBar(this);
                    p->setRange(0, 1000);
                    p->setAlignment(Qt::AlignCenter);
                    return this->*member = p;
                },
                [&](StatusTallyLabel* frmkivo::*member) -> QWidget* {
                    auto* l = new StatusTallyLabel(this);
                    l->setFont(FormFont(9.75));
                    return this->*member = l;
                },
            },
            row.control);
        widget->setObjectName(QString::fromLatin1(row.name));
        if (*row.tooltip) widget->setToolTip(QString::fromLatin1(row.tooltip));
        widget->setGeometry(GrownPlace(row.place, row.growth, QSize(0, 0)));
        // Labels take no focus; every other control follows the one before it.
        if (widget->focusPolicy() != Qt::NoFocus) {
            if (previous) setTabOrder(previous, widget);
            previous = widget;
        }
    }
    // The copies box is the one text box the form gives a white background.
    QPalette white = TxtCount->palette();
    white.setColor(QPalette::Base, Qt::white);
    TxtCount->setPalette(white);
    PrgSend->hide();
    CmdStop->hide();

    // The keyboard: Enter connects from the address box and sends from the
    // command box; Up and Down step through the commands sent before.
    connect(IP_Address, &QLineEdit::returnPressed, this, [this] {
        if (!Connected()) Click(&frmkivo::CmdConnect_Click);
    });
    connect(TxtCmd, &QLineEdit::returnPressed, this, [this] {
        if (Connected()) Click(&frmkivo::CmdText_Click);
    });
    new HistoryKeys(*TxtCmd, history_);
    recentAddresses_ = new QStringListModel(this);
    auto* completer = new QCompleter(recentAddresses_, this);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    IP_Address->setCompleter(completer);
    // Only a count the operator typed is remembered.
    connect(TxtCount, &QLineEdit::textEdited, this, [this](const QString& count) {
        settings_.RememberCopyCount(count);
    });

    SetConnectedState(false);
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
        view->SetSaveChooser([this](QWidget*, const QString& suggested) {
            return dialogs_->ChooseSaveFile(QStringLiteral("Save As"), suggested,
                                            QStringLiteral("text files(*.txt)|*.txt|all files(*.*)|*.*"));
        });
        connect(view, &LogView::saveFailed, this, [this](const QString& line) { LogMessage(kOut, line); });
    }
    // The tally goes with the incoming log's lines: Clear Messages and Clear This Log end it.
    connect(&inLog_, &QAbstractItemModel::modelReset, StatusTally, &StatusTallyLabel::Clear);
}

// ---------------------------------------------------------------- lifecycle

void frmkivo::Form_Load() {
    StartNetwork(nullptr);
    Initialize();
    CommonDialog1.InitDir = platform::ProgramFolder();
    QDir::setCurrent(platform::ProgramFolder());
    // While a blocking call waits, the window still repaints but takes no input;
    // the connect makes the wait the operator's (ConnectWait).
    ws::WSASetBlockingHook([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
    HookWindow(&hwnd_, *this);
    RestoreSettings();
    IP_Address->setFocus();
}

void frmkivo::RestoreSettings() {
    if (!settings_.Problem().isEmpty()) LogMessage(kOut, settings_.Problem());
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

void frmkivo::Click(void (frmkivo::*handler)()) {
    if (connectWait_ && handler != &frmkivo::CmdConnect_Click) return;
    (this->*handler)();
}

void frmkivo::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize extra(std::max(0, width() - Px(10965)), std::max(0, height() - Px(8280)));
    for (const FormControl& row : Form()) {
        QWidget* widget = std::visit([this](auto member) -> QWidget* { return this->*member; }, row.control);
        widget->setGeometry(GrownPlace(row.place, row.growth, extra));
    }
}

void frmkivo::Initialize() {
    PrintCommand = QString::fromLatin1(kVekFormFeed);
    FfText = QString::fromLatin1(kPclFormFeed);
    IP_Address->setText(QString::fromLatin1(kDefaultAddress));
    PrinterPort = QStringLiteral("9100");
}

void frmkivo::Form_Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    // The window's size and state, once the operator has changed them.
    if (size() != startSize_ || windowState() != startState_) settings_.RememberWindowGeometry(saveGeometry());
    sender_.CancelJob();
    sends_.DropQueued();
    watch_.Detach();
    closing_ = false;
    if (socketOpen_) {
        ws::closesocket(PrinterSocket);
        socketOpen_ = false;
        PrinterSocket = -1;
    }
    UnhookWindow(&hwnd_);
    ws::WSASetBlockingHook({});
    StopNetwork();
}

// Closing is Disconnect first: the same wait for the printer and the same lines.
// A second request while the printer is waited for discards and closes at once.
void frmkivo::closeEvent(QCloseEvent* event) {
    if (closing_ && !closeAfterWait_) {
        closeAfterWait_ = true;
        event->ignore();
        return;
    }
    if (closing_) {
        closeAfterWait_ = false;
        DiscardAndDisconnect();
    }
    // A send waiting for the printer, or a connect in progress, runs on this
    // window's stack: end it first, and close once it has unwound.
    if (sends_.Busy() || connecting_ || pauseDepth_ > 0) {
        closePending_ = true;
        if (sends_.Busy() && Connected()) {
            CancelAndDisconnect();
        } else {
            sender_.CancelJob();
            sends_.DropQueued();
        }
        if (ws::WSAIsBlocking()) ws::WSACancelBlockingCall();
        event->ignore();
        return;
    }
    if (Connected() && !BeginDisconnect()) {
        closeAfterWait_ = true;
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
}

void frmkivo::keyPressEvent(QKeyEvent* event) {
    if (closing_ && event->key() == Qt::Key_Escape) {
        DiscardAndDisconnect();
        return;
    }
    QWidget::keyPressEvent(event);
}

void frmkivo::OnSendsIdle() {
    PrgSend->hide();
    CmdStop->hide();
    if (closePending_) QTimer::singleShot(0, this, &QWidget::close);
}

bool frmkivo::Connected() const { return CmdConnect->text() == QLatin1String("Disconnect"); }

// ---------------------------------------------------------------- logs

void frmkivo::LogMessage(const QString& kind, const QString& text) {
    const bool outgoing = kind == kOut;
    LogModel& log = outgoing ? outLog_ : inLog_;
    log.Append(text);
    (outgoing ? TxtMsg : InTxtMsg)->FollowNewest();
}

void frmkivo::LogLines(const QString& kind, const QStringList& lines) {
    if (lines.isEmpty()) return;
    const bool outgoing = kind == kOut;
    LogModel& log = outgoing ? outLog_ : inLog_;
    log.Append(lines);
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

void frmkivo::Repaint() { repaint(); }

QString frmkivo::AddressText() const { return IP_Address->text(); }

// ---------------------------------------------------------------- pause

void frmkivo::Pause(double seconds) {
    const double ms = std::nearbyint(seconds * 1000.0);
    if (!(ms >= 1.0)) {  // below a millisecond, or not a number
        dialogs_->ShowMessage(QStringLiteral("You called for a Pause, Sir?"), QStringLiteral("Enter to Continue"));
        return;
    }
    const int wait = ms > 2147483647.0 ? 2147483647 : static_cast<int>(ms);
    QEventLoop loop;
    if (pauseDepth_ > 0) {
        // The timer belongs to the outer wait; a nested one keeps its own.
        QTimer::singleShot(wait, &loop, &QEventLoop::quit);
        loop.exec();
        return;
    }
    ++pauseDepth_;
    PauseElapsed = false;
    const auto quit = connect(&Timer1, &QTimer::timeout, &loop, &QEventLoop::quit);
    Timer1.setInterval(wait);
    Timer1.start();
    // The loop sleeps until the next event or the tick; events are handled meanwhile.
    while (!PauseElapsed) loop.exec();
    disconnect(quit);
    Timer1.stop();
    --pauseDepth_;
}

void frmkivo::Timer1_Timer() {
    PauseElapsed = true;
    Timer1.stop();
}

// ---------------------------------------------------------------- connect

void frmkivo::SetConnectedState(bool connected) {
    for (const FormControl& row : Form()) {
        if (row.usable == Usable::Always) continue;
        QWidget* widget = std::visit([this](auto member) -> QWidget* { return this->*member; }, row.control);
        widget->setEnabled((row.usable == Usable::Connected) == connected);
    }
    CmdConnect->setText(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
}

void frmkivo::SetWaitingState() {
    for (const FormControl& row : Form()) {
        if (row.usable == Usable::Always) continue;
        std::visit([this](auto member) -> QWidget* { return this->*member; }, row.control)->setEnabled(false);
    }
    CmdConnect->setText(QStringLiteral("Disconnect"));
}

void frmkivo::CmdConnect_Click() {
    // A click while the connect waits ends that attempt; it never starts another.
    if (connectWait_) {
        connectWait_->Cancel();
        return;
    }
    const QString caption = CmdConnect->text();
    if (caption == QLatin1String("Connect")) {
        if (AddressText().trimmed().isEmpty()) {
            LogMessage(kOut, QStringLiteral("No printer address to connect to: enter its IP address or host name first"));
            return;
        }
        LogMessage(kOut, QStringLiteral("Attempting to establish a connection with the printer at ") + AddressText() +
                             QStringLiteral(" on port ") + PrinterPort);
        Repaint();
        QString connection;
        connecting_ = true;
        std::optional<ConnectWait> wait(std::in_place, *this, *CmdConnect);
        connectWait_ = &*wait;
        PrinterSocket = OpenPrinterSocket(AddressText(), PrinterPort.toInt(), connection, &hwnd_, false);
        const int error = ws::WSAGetLastError();
        const bool cancelled = wait->CancelledByOperator();
        const bool connected = PrinterSocket != -1;
        if (connected) {
            // The connected state comes first: the end of the wait handles what is
            // still pending, and a printer that closed at once is already among it.
            socketOpen_ = true;
            watch_.Attach(PrinterSocket);
            StatusTally->Clear();  // the tally counts from each Connect
            SetConnectedState(true);
            LogMessage(kOut, QStringLiteral("Connection made to ") + AddressText() + QStringLiteral(" on port ") +
                                 PrinterPort);
            settings_.RememberAddress(AddressText());
            recentAddresses_->setStringList(settings_.RecentAddresses());
        }
        wait.reset();
        connectWait_ = nullptr;
        connecting_ = false;
        if (!connected) {
            LogMessage(kOut, QStringLiteral("Error while connecting to the printer ") + AddressText() +
                                 QStringLiteral(" on port ") + PrinterPort);
            LogMessage(kOut, ConnectFailureReason(error, cancelled));
        }
        if (closePending_) QTimer::singleShot(0, this, &QWidget::close);
    } else if (caption == QLatin1String("Disconnect")) {
        // A second click while the printer is waited for discards what it has not taken.
        if (closing_)
            DiscardAndDisconnect();
        else
            BeginDisconnect();
    }
}

bool frmkivo::BeginDisconnect() {
    if (sends_.Busy()) {
        CancelAndDisconnect();
        return true;
    }
    if (socketOpen_ && !watch_.CloseWhenTaken()) {
        closing_ = true;
        SetWaitingState();
        return false;
    }
    FinishDisconnect();
    return true;
}

void frmkivo::CancelAndDisconnect() {
    const std::optional<JobState> job = watch_.RunningJob();
    sender_.CancelJob();
    const int dropped = sends_.DropQueued();
    QString line = QStringLiteral("Send canceled by Disconnect");
    if (job)
        line += QStringLiteral(": %1, the printer had taken %2, %3 discarded")
                    .arg(job->what, ByteCount(job->taken), Grouped(job->handed - job->taken));
    if (dropped > 0) line += QStringLiteral("; %1 queued send(s) dropped").arg(dropped);
    LogMessage(kOut, line);
    watch_.CloseNow(kAtYourRequest, job ? job->id : 0);
    FinishDisconnect();
}

void frmkivo::DiscardAndDisconnect() {
    watch_.CloseNow(kAtYourRequest);
    FinishDisconnect();
}

// The watch has closed the socket (it follows every connection from its connect).
void frmkivo::FinishDisconnect() {
    watch_.Detach();
    socketOpen_ = false;
    PrinterSocket = -1;
    closing_ = false;
    SetConnectedState(false);
    LogMessage(kOut, QStringLiteral("Disconnected from ") + AddressText() + QStringLiteral(" on port ") +
                         PrinterPort);
    if (closeAfterWait_) {
        closeAfterWait_ = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void frmkivo::ConnectionLost(ws::SOCKET s, int error) {
    if (!socketOpen_ || s != PrinterSocket) return;
    if (sends_.Busy()) sender_.CancelJob();
    const int dropped = sends_.DropQueued();
    if (dropped > 0) LogMessage(kOut, QStringLiteral("%1 queued send(s) dropped").arg(dropped));
    watch_.CloseNow(error != 0 ? QStringLiteral("the printer reset the connection")
                               : QStringLiteral("the printer closed the connection"));
    socketOpen_ = false;
    PrinterSocket = -1;
    // A Disconnect that was waiting for the printer ends here.
    if (closing_)
        FinishDisconnect();
    else
        SetConnectedState(false);
}

// ---------------------------------------------------------------- commands

void frmkivo::RunSend(const QString& caption, std::function<void()> job) {
    if (sends_.Busy()) LogMessage(kOut, QStringLiteral("Queued behind the running send: ") + caption);
    sends_.Run([this, job = std::move(job)] {
        if (unloaded_) return;
        sender_.BeginJob();
        trackedJob_ = 0;
        jobIncomplete_ = false;
        job();
        // A job that Stop or Disconnect ended is already counted as such.
        if (trackedJob_ != 0)
            watch_.EndJob(trackedJob_, sender_.JobFailed() || jobIncomplete_ ? JobEnd::Failed : JobEnd::Sent);
        trackedJob_ = 0;
    });
}

void frmkivo::TrackJob(const QString& what, qint64 planned, qint64 copies, bool reportDone) {
    trackedJob_ = watch_.BeginJob(what, planned, copies, reportDone);
}

void frmkivo::ShowProgress() {
    // A few updates a second are enough to read, and cost next to nothing.
    if (!PrgSend->isHidden() && progressShown_.isValid() && progressShown_.elapsed() < 250) return;
    const std::optional<JobState> job = watch_.RunningJob();
    if (!job || !sends_.Busy()) return;
    if (PrgSend->isHidden() && job->seconds < 0.5) return;
    progressShown_.start();
    const qint64 total = std::max(job->planned, job->handed);
    PrgSend->setValue(total > 0 ? static_cast<int>(std::min<qint64>(job->taken * 1000 / total, 1000)) : 0);
    PrgSend->setFormat(ProgressText(*job));
    PrgSend->show();
    CmdStop->show();
}

void frmkivo::CmdStop_Click() {
    if (!sends_.Busy()) return;
    const std::optional<JobState> job = watch_.RunningJob();
    sender_.CancelJob();
    const int dropped = sends_.DropQueued();
    QString line = QStringLiteral("Stopped");
    if (job) {
        watch_.EndJob(job->id, JobEnd::Stopped);
        line += QStringLiteral(": %1, %2 of %3 sent")
                    .arg(job->what, Grouped(job->handed), ByteCount(std::max(job->planned, job->handed)));
        if (job->copies > 1)
            line += QStringLiteral(", in copy %1 of %2")
                        .arg(Grouped(std::min(job->copiesHanded + 1, job->copies)), Grouped(job->copies));
    }
    if (dropped > 0) line += QStringLiteral("; %1 queued send(s) dropped").arg(dropped);
    LogMessage(kOut, line);
}

void frmkivo::CmdText_Click() {
    const QString caption = CmdText->text();
    const QString text = TxtCmd->text();
    const QString address = AddressText();
    RememberCommand(text);
    RunSend(caption, [this, caption, text, address] {
        LogMessage(kOut, QStringLiteral("Sending text =>") + text + QStringLiteral(" to IP Address ") + address);
        const QByteArray bytes = ToSingleByte(text);
        TrackJob(caption, bytes.size(), 1, false);
        sender_.SendToPrinter(PrinterSocket, bytes);
    });
}

void frmkivo::CmdAscii_Click() {
    if (TxtCmd->text().isEmpty()) TxtCmd->setText(QStringLiteral("7"));
    const QString caption = CmdAscii->text();
    const QString text = TxtCmd->text();
    const QString address = AddressText();
    RememberCommand(text);
    RunSend(caption, [this, caption, text, address] {
        // Several values go out together, in one send; one bad value stops them all.
        const ByteList values = ReadByteList(text);
        if (!values.ok) {
            LogMessage(kOut, ByteListRefusal(text, values));
            return;
        }
        LogMessage(kOut, QStringLiteral("Sending Ascii =>") + text + QStringLiteral(" to IP Address ") + address);
        TrackJob(caption, values.bytes.size(), 1, false);
        sender_.SendToPrinter(PrinterSocket, QByteArrayView(values.bytes));
    });
}

void frmkivo::CmdVekFF_Click() {
    const QString caption = CmdVekFF->text();
    const QString address = AddressText();
    RunSend(caption, [this, caption, address] {
        LogMessage(kOut, QStringLiteral("Sending an VEK Form Feed to IP Address ") + address);
        TrackJob(caption, PrintCommand.size(), 1, false);
        sender_.SendToPrinter(PrinterSocket, PrintCommand);
    });
}

void frmkivo::CmdPclFF_Click() {
    const QString caption = CmdPclFF->text();
    const QString address = AddressText();
    RunSend(caption, [this, caption, address] {
        LogMessage(kOut, QStringLiteral("Sending an PCL Form Feed to IP Address ") + address);
        TrackJob(caption, FfText.size(), 1, false);
        sender_.SendToPrinter(PrinterSocket, FfText);
    });
}

// ---------------------------------------------------------------- files

void frmkivo::SendCopies(const QString& path, long long copies, bool vekHeader) {
    const CopiesResult sent =
        kivo::SendCopies(sender_, PrinterSocket, path, copies, vekHeader, [this] { watch_.EndCopy(trackedJob_); });
    if (sent.incomplete) jobIncomplete_ = true;
    if (!sent.fileError.isEmpty()) LogMessage(kOut, QStringLiteral("Cannot send file %1: %2").arg(path, sent.fileError));
}

QString frmkivo::ChooseFile(const char* dialog, const QString& defaultExt, const QString& filter) {
    const QString folder = settings_.DialogFolder(QString::fromLatin1(dialog));
    CommonDialog1.InitDir = !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : platform::ProgramFolder();
    CommonDialog1.DefaultExt = defaultExt;
    CommonDialog1.Filter = filter;
    CommonDialog1.FileName.clear();
    CommonDialog1.CancelError = false;
    CommonDialog1.ShowOpen(*dialogs_);
    if (CommonDialog1.FileName.isEmpty())
        LogMessage(kOut, QStringLiteral("Download File Canceled"));
    else
        settings_.RememberDialogFolder(QString::fromLatin1(dialog), QFileInfo(CommonDialog1.FileName).absolutePath());
    return CommonDialog1.FileName;
}

void frmkivo::CmdFile_Click() {
    const QString path = ChooseFile("CmdFile", QStringLiteral("*.txt"),
                                    QStringLiteral("text files(*.txt)|*.txt|prn files(*.prn)|*.prn|all files(*.*)|*.*"));
    if (path.isEmpty()) return;
    const QString countText = TxtCount->text();
    const QString address = AddressText();
    RunSend(CmdFile->text(), [this, path, countText, address] {
        const std::optional<long long> copies = FileCopies(countText);
        if (!copies) {
            LogMessage(kOut, QStringLiteral("Nothing sent: # of Copies \"%1\" is not a whole number from -32768 to 32767")
                                 .arg(countText));
            return;
        }
        if (ReadNumber(countText) == 1.0)
            LogMessage(kOut, QStringLiteral("Sending file ") + path + QStringLiteral(" to IP Address ") + address);
        else
            LogMessage(kOut, QStringLiteral("Sending ") + countText + QStringLiteral(" copies of file ") + path +
                                 QStringLiteral(" to IP Address ") + address);
        TrackJob(CopiesOf(*copies, QFileInfo(path).fileName()), CopiesBytes(path, *copies, false), *copies, true);
        SendCopies(path, *copies, false);
    });
}

void frmkivo::SendTestTicket(const QString& caption, const QString& fileName, bool vekHeader) {
    const QString path = StockTicketPath(fileName);
    if (const QString counted = TicketCopiesText(TxtCount->text()); counted != TxtCount->text())
        TxtCount->setText(counted);
    const QString countText = TxtCount->text();
    RunSend(caption, [this, path, fileName, countText, vekHeader] {
        LogMessage(kOut, QStringLiteral("Sending  ") + path);
        const std::optional<long long> copies = TicketCopies(countText);
        if (!copies) {
            LogMessage(kOut, QStringLiteral("Nothing sent: # of Copies \"%1\" is not a number").arg(countText));
            return;
        }
        TrackJob(CopiesOf(*copies, fileName), CopiesBytes(path, *copies, vekHeader), *copies, true);
        SendCopies(path, *copies, vekHeader);
    });
}

void frmkivo::CmdVEKTest_Click() { SendTestTicket(CmdVEKTest->text(), QStringLiteral("vek_test.txt"), true); }

void frmkivo::CmdHPTest_Click() { SendTestTicket(CmdHPTest->text(), QStringLiteral("hp_id.prn"), false); }

void frmkivo::CmdPcxFile_Click() {
    const QString path = ChooseFile("CmdPcxFile", QStringLiteral("pcx"), QString::fromLatin1(kPcxFileFilter));
    if (path.isEmpty()) return;
    const auto ask = [this](const QString& text) {
        Question question{QString::fromLatin1(kPcxQuestionTitle), text, {}, /*defaultAnswer=*/0, /*escapeAnswer=*/2};
        for (const char* answer : kPcxAnswerTexts) question.answers << QString::fromLatin1(answer);
        return PcxAnswerAt(dialogs_->Ask(question));
    };
    const PcxPlan plan = PlanPcxDownload(path, ask, ConvertPictureToPcx);
    LogLines(kOut, plan.lines);
    if (plan.action == PcxPlan::Action::Nothing) return;
    RunSend(CmdPcxFile->text(), [this, plan] {
        TrackJob(CopiesOf(1, QFileInfo(plan.path).fileName()), PlannedBytes(plan, PrintCommand.size()), 1, true);
        if (!SendPcxPlan(sender_, PrinterSocket, plan, PrintCommand.toLatin1(), *this)) jobIncomplete_ = true;
    });
}

// ---------------------------------------------------------------- ping

void frmkivo::Cmdping_Click() { kivo::Cmdping_Click(*this); }

}  // namespace kivo
