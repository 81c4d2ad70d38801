#include "console/frmkivo.h"

#include "console/address_completer.h"
#include "console/app_icon.h"
#include "console/connect_wait.h"
#include "console/find_dialog.h"
#ifdef KIVO_LEADER_CLOSE
#include "console/leader_close.h"
#endif
#include "console/log_view.h"
#include "console/status_tally_label.h"
#include "link/commands.h"
#include "link/jobs.h"
#include "link/numbers.h"
#include "link/printer_address.h"
#include "link/reply_decoder.h"
#include "link/send_file.h"
#include "link/stock_tickets.h"
#include "link/winsock_module.h"
#include "pcx/pcx_download.h"
#include "pcx/pcx_plan.h"
#include "pcx/picture.h"
#include "ping/ping.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
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
#include <cstdio>
#include <optional>
#include <utility>
#include <variant>

namespace kivo {
namespace {

constexpr LogKind kOut = LogKind::Outgoing;
const QString kAtYourRequest = QStringLiteral("discarded at your request");
// Every file, with an extension or without: "*.*" would want a dot in the name.
const QString kAllFiles = QStringLiteral("all files(*)|*");

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
    Widens,       // keeps its place and takes the extra width
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
    case Growth::Widens: r.adjust(0, 0, extra.width(), 0); break;
    }
    return r;
}

// One control of the form: the member that holds it (its type says what kind
// of control it is), its object name, caption, tooltip, place, when it can be
// used, what a click on it does, how its text is aligned, and how it follows the
// window's growth.
// clang-format off
struct frmkivo::FormControl {
    std::variant<QPushButton* frmkivo::*, QLineEdit* frmkivo::*, QLabel* frmkivo::*, LogView* frmkivo::*,
                 QProgressBar* frmkivo::*, StatusTallyLabel* frmkivo::*>
        control;
    // clang-format on
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
    // The form's table, one control to a row, laid out by hand.
    // clang-format off
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
        // The printer's statuses since Connect, on the free right of the outgoing
        // log's label row, as wide as the logs: clear of every control.
        {&F::StatusTally, "StatusTally", "", "", {3840, 2520, 6975, 345}, Usable::Always, nullptr, {},
         Growth::Widens},
        // Right of Connect on the top row; last in the tab order, as the form's own order stays.
        {&F::CmdFind, "CmdFind", "Find Printers", "Find the printers on this computer's networks",
         {8280, 360, 1455, 495}, Usable::Disconnected, &F::CmdFind_Click},
    };
    // clang-format on
    return form;
}

frmkivo::frmkivo(OperatorDialogs* dialogs, QWidget* parent)
    : QWidget(parent), PrinterSocket(&hwnd_, *this), sender_(*this), watch_(sender_, *this, PrinterSocket) {
    if (dialogs) dialogs_ = dialogs;
    BuildControls();
    connect(&watch_, &DeliveryWatch::Closed, this, &frmkivo::FinishDisconnect);
    connect(&watch_, &DeliveryWatch::Progress, this, &frmkivo::ShowProgress);
    connect(&watch_, &DeliveryWatch::JobsTaken, this, &frmkivo::ShowProgress);
    inLog_.SetRecurringLines(ReplyByteLines());
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

    // The text boxes' font is the form's while the controls are made: a text box
    // lays out its text as it is made, and would load the default font for nothing.
    // Every other control sets a font of its own.
    setFont(FormFont(14.25));
    QWidget* previous = nullptr;
    for (const FormControl& row : Form()) {
        const QString caption = QString::fromLatin1(row.caption);
        QWidget* widget =
            std::visit(Overloaded{
                           [&](QPushButton* frmkivo::*member) -> QWidget* {
                               auto* b = new QPushButton(caption, this);
                               // The system's font at the size of a classic dialog font, so
                               // every caption fits its button.
                               QFont font = QApplication::font(b);
                               font.setPointSizeF(7.5);
                               b->setFont(font);
                               b->setAutoDefault(false);
                               if (row.click)
                                   connect(b, &QPushButton::clicked, this, [this, click = row.click] { Click(click); });
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
                               p->setFont(QApplication::font(p));
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
        // What assistive technology says: the caption, else the tooltip (fields
        // and logs take their label's text below).
        widget->setAccessibleName(!caption.trimmed().isEmpty() ? caption.trimmed() : QString::fromLatin1(row.tooltip));
        widget->setAccessibleDescription(QString::fromLatin1(row.tooltip));
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
    for (const auto& [field, label] : {std::pair<QWidget*, QLabel*>{IP_Address, IPLBL},
                                       {TxtCmd, LblCmd},
                                       {TxtCount, LblCount},
                                       {TxtMsg, Label1},
                                       {InTxtMsg, Label2}}) {
        label->setBuddy(field);
        field->setAccessibleName(label->text().simplified());
    }
    PrgSend->setAccessibleName(QStringLiteral("Progress of the running send"));
    StatusTally->setAccessibleName(QStringLiteral("Printer statuses received since Connect"));

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
    IP_Address->setCompleter(new AddressCompleter(recentAddresses_, this));
    // Only a count the operator typed is remembered.
    connect(TxtCount, &QLineEdit::textEdited, this,
            [this](const QString& count) { settings_.RememberCopyCount(count); });

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
    StartNetwork(nullptr);
    Initialize();
    CommonDialog1.InitDir = platform::ProgramFolder();
    QDir::setCurrent(platform::ProgramFolder());
    // While a blocking call waits, the window still repaints but takes no input;
    // the connect makes the wait the operator's (ConnectWait).
    ws::WSASetBlockingHook([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
#ifdef KIVO_LEADER_CLOSE
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        leaderClose_ = std::make_unique<LeaderCloseFilter>(*this);
#endif
    RestoreSettings();
    IP_Address->setFocus();
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
    closing_ = false;
    if (PrinterSocket.IsOpen()) {
        // Whatever the printer has not taken is named, here and on standard error.
        mirrorToStandardError_ = true;
        watch_.CloseNow(QStringLiteral("the window closed"));
        mirrorToStandardError_ = false;
        PrinterSocket.CloseAbortive();  // open but not followed: closed all the same
    }
    watch_.Detach();
    leaderClose_.reset();
    ws::WSASetBlockingHook({});
    StopNetwork();
}

// Closing is Disconnect first: the same wait for the printer and the same lines.
// While a job runs or bytes wait for the printer, the operator says first whether
// to wait for them, discard them or stay; a second request during the wait
// discards. What is discarded at close is also written to standard error.
void frmkivo::closeEvent(QCloseEvent* event) {
    if (closeAfterWait_) {
        closeAfterWait_ = false;
        DiscardAtClose();
    } else if (Connected() && !connecting_) {
        const qint64 pending = watch_.Undelivered();
        if (sends_.Busy() || pending > 0 || closing_) {
            switch (AskBeforeClose(pending)) {
            case CloseAnswer::Cancel: event->ignore(); return;
            case CloseAnswer::Wait:
                closeAfterWait_ = true;
                mirrorToStandardError_ = true;
                if (sends_.Busy()) {
                    // The running job goes on; the wait for the printer follows it.
                    if (const QStringList dropped = sends_.DropQueued(); !dropped.isEmpty())
                        LogMessage(kOut, DroppedSendsText(dropped));
                } else if (!closing_) {
                    BeginDisconnect();
                }
                event->ignore();
                return;
            case CloseAnswer::DiscardAndClose: DiscardAtClose(); break;
            }
        }
    }
    // A send waiting for the printer, or a connect in progress, runs on this
    // window's stack: end it first, and close once it has unwound.
    if (sends_.Busy() || connecting_ || pauseDepth_ > 0) {
        closePending_ = true;
        sender_.CancelJob();
        sends_.DropQueued();
        if (ws::WSAIsBlocking()) ws::WSACancelBlockingCall();
        EndPause();
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

frmkivo::CloseAnswer frmkivo::AskBeforeClose(qint64 pending) {
    Question question{
        QString::fromLatin1(kWindowCaption),
        QStringLiteral("%1 not reached the printer yet.")
            .arg(pending == 1 ? QStringLiteral("1 byte has") : Grouped(pending) + QStringLiteral(" bytes have")),
        {QStringLiteral("Wait"), QStringLiteral("Discard and Close"), QStringLiteral("Cancel")},
        /*defaultAnswer=*/0,
        /*escapeAnswer=*/2};
    switch (dialogs_->Ask(question)) {
    case 0: return CloseAnswer::Wait;
    case 1: return CloseAnswer::DiscardAndClose;
    default: return CloseAnswer::Cancel;
    }
}

void frmkivo::DiscardAtClose() {
    mirrorToStandardError_ = true;
    if (sends_.Busy() && Connected())
        CancelAndDisconnect();
    else if (closing_ || PrinterSocket.IsOpen())
        DiscardAndDisconnect();
    mirrorToStandardError_ = false;
}

void frmkivo::keyPressEvent(QKeyEvent* event) {
    if (closing_ && event->key() == Qt::Key_Escape) {
        DiscardAndDisconnect();
        return;
    }
    QWidget::keyPressEvent(event);
}

void frmkivo::OnSendsIdle() {
    ShowProgress();
    if (closePending_) {
        QTimer::singleShot(0, this, &QWidget::close);
    } else if (closeAfterWait_) {
        // The job the operator chose to wait for has ended: now the printer's last bytes.
        if (!Connected()) {
            closeAfterWait_ = false;
            QTimer::singleShot(0, this, &QWidget::close);
        } else if (!closing_) {
            BeginDisconnect();
        }
    }
}

bool frmkivo::Connected() const { return CmdConnect->text() == QLatin1String("Disconnect"); }

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

void frmkivo::MirrorToStandardError(const QStringList& lines) const {
    if (!mirrorToStandardError_) return;
    for (const QString& line : lines) std::fprintf(stderr, "kivo-socket-test: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void frmkivo::ClearLogs() {
    outLog_.Clear();
    inLog_.Clear();
}

void frmkivo::Repaint() { repaint(); }

// The host alone: an "address:port" names the port on the connect lines.
QString frmkivo::AddressText() const {
    const QString text = IP_Address->text();
    const std::optional<PrinterAddress> address = ReadPrinterAddress(text);
    return address ? address->host : text;
}

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
    pauseLoop_ = &loop;
    const auto quit = connect(&Timer1, &QTimer::timeout, &loop, &QEventLoop::quit);
    Timer1.setInterval(wait);
    Timer1.start();
    // The loop sleeps until the next event or the tick; events are handled meanwhile.
    while (!PauseElapsed) loop.exec();
    disconnect(quit);
    Timer1.stop();
    pauseLoop_ = nullptr;
    --pauseDepth_;
}

void frmkivo::EndPause() {
    if (pauseDepth_ == 0) return;
    PauseElapsed = true;
    if (pauseLoop_) pauseLoop_->quit();
}

void frmkivo::RoomToSend(ws::SOCKET s) {
    if (sender_.Waiting() && s == PrinterSocket.Handle()) EndPause();
}

void frmkivo::Timer1_Timer() {
    PauseElapsed = true;
    Timer1.stop();
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
        if (Connected() || connectWait_) return;
        IP_Address->setText(address);
        IP_Address->setFocus();
    });
    findDialog_->show();
    findDialog_->StartSearch();
}

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
            LogMessage(kOut,
                       QStringLiteral("No printer address to connect to: enter its IP address or host name first"),
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
        LogMessage(kOut, QStringLiteral("Attempting to establish a connection with the printer at ") + AddressText() +
                             QStringLiteral(" on port ") + PrinterPort);
        Repaint();
        QString connection;
        connecting_ = true;
        std::optional<ConnectWait> wait(std::in_place, *this, *CmdConnect);
        connectWait_ = &*wait;
        PrinterSocket.Open(AddressText(), PrinterPort.toInt(), connection);
        const int error = ws::WSAGetLastError();
        const bool cancelled = wait->CancelledByOperator();
        const bool connected = PrinterSocket.IsOpen();
        if (connected) {
            // The connected state comes first: the end of the wait handles what is
            // still pending, and a printer that closed at once is already among it.
            watch_.Attach();
            StatusTally->Clear();  // the tally counts from each Connect
            SetConnectedState(true);
            LogMessage(kOut, QStringLiteral("Connection made to ") + AddressText() + QStringLiteral(" on port ") +
                                 PrinterPort);
            settings_.RememberAddress(IP_Address->text());
            recentAddresses_->setStringList(settings_.RecentAddresses());
        }
        wait.reset();
        connectWait_ = nullptr;
        connecting_ = false;
        // Typing goes on in the command box, the next thing the operator uses.
        if (connected && Connected()) TxtCmd->setFocus(Qt::OtherFocusReason);
        if (!connected) {
            // The operator's own cancel is no fault of the printer's.
            const Severity severity = cancelled ? Severity::None : Severity::Fault;
            LogMessage(kOut,
                       QStringLiteral("Error while connecting to the printer ") + AddressText() +
                           QStringLiteral(" on port ") + PrinterPort,
                       severity);
            LogMessage(kOut, ConnectFailureReason(error, cancelled), severity);
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
    if (PrinterSocket.IsOpen() && !watch_.CloseWhenTaken()) {
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
    EndPause();
    const QStringList dropped = sends_.DropQueued();
    QString line = QStringLiteral("Send canceled by Disconnect");
    if (job)
        line += QStringLiteral(": %1, the printer acknowledged %2 of %3")
                    .arg(job->what, Grouped(job->taken), ByteCount(std::max(job->planned, job->handed)));
    if (!dropped.isEmpty()) line += QStringLiteral("; ") + DroppedSendsText(dropped);
    LogMessage(kOut, line, Severity::Fault);
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
    PrinterSocket.CloseAbortive();  // does nothing once the watch has closed it
    closing_ = false;
    SetConnectedState(false);
    ShowProgress();
    LogMessage(kOut, QStringLiteral("Disconnected from ") + AddressText() + QStringLiteral(" on port ") + PrinterPort);
    if (closeAfterWait_) {
        closeAfterWait_ = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void frmkivo::ConnectionLost(ws::SOCKET s, int error) {
    if (!PrinterSocket.IsOpen() || s != PrinterSocket.Handle()) return;
    if (sends_.Busy()) sender_.CancelJob();
    EndPause();
    if (const QStringList dropped = sends_.DropQueued(); !dropped.isEmpty())
        LogMessage(kOut, DroppedSendsText(dropped), Severity::Fault);
    watch_.CloseNow(error != 0 ? QStringLiteral("the printer reset the connection")
                               : QStringLiteral("the printer closed the connection"));
    PrinterSocket.CloseAbortive();  // open but not followed: closed all the same
    ShowProgress();
    // A Disconnect that was waiting for the printer ends here.
    if (closing_)
        FinishDisconnect();
    else
        SetConnectedState(false);
}

// ---------------------------------------------------------------- commands

void frmkivo::RunSend(const QString& caption, std::function<void()> job) {
    if (sends_.Busy()) LogMessage(kOut, QStringLiteral("Queued behind the running send: ") + caption);
    sends_.Run(caption, [this, job = std::move(job)] {
        if (unloaded_) return;
        sender_.BeginJob();
        trackedJob_ = 0;
        jobIncomplete_ = false;
        job();
        // A job that Stop or Disconnect ended is already counted as such.
        // It runs on, with its progress and Stop, until the printer has taken
        // its last byte; the next send may start meanwhile.
        if (trackedJob_ != 0)
            watch_.EndJob(trackedJob_, sender_.JobFailed() || jobIncomplete_ ? JobEnd::Failed : JobEnd::Sent);
        trackedJob_ = 0;
    });
}

void frmkivo::TrackJob(const QString& what, qint64 planned, qint64 copies, bool reportDone) {
    trackedJob_ = watch_.BeginJob(what, planned, copies, reportDone);
}

void frmkivo::ShowProgress() {
    // A job runs until the printer has taken its last byte, or until it stops.
    const std::optional<JobState> job = PrinterSocket.IsOpen() ? watch_.RunningJob() : std::nullopt;
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
    // One line that fits the bar, the whole text in its tooltip.
    const QString full = ProgressText(*job);
    const QFontMetrics metrics(PrgSend->font());
    const int room = PrgSend->width() - 8;
    QString text = metrics.horizontalAdvance(full) <= room ? full : ShortProgressText(*job);
    text = metrics.elidedText(text, Qt::ElideRight, room);
    PrgSend->setFormat(QString(text).replace(QLatin1Char('%'), QStringLiteral("%%")));
    PrgSend->setToolTip(full);
    PrgSend->show();
    CmdStop->show();
}

void frmkivo::CmdStop_Click() {
    if (!sends_.Busy() && !(PrinterSocket.IsOpen() && watch_.RunningJob())) return;
    sender_.CancelJob();
    EndPause();
    // Nothing more is handed to the system; what it already holds is on its way.
    const std::optional<JobState> job = watch_.RunningJob();
    const QStringList dropped = sends_.DropQueued();
    QString line = QStringLiteral("Stopped");
    if (job) {
        watch_.StopJob(job->id);
        line += QStringLiteral(": %1, the printer acknowledged %2 of %3")
                    .arg(job->what, Grouped(job->taken), ByteCount(std::max(job->planned, job->handed)));
        if (const qint64 onTheirWay = job->handed - job->taken; onTheirWay > 0)
            line += QStringLiteral("; %1 already on their way")
                        .arg(onTheirWay == 1 ? QStringLiteral("1 byte was")
                                             : ByteCount(onTheirWay) + QStringLiteral(" were"));
    }
    if (!dropped.isEmpty()) line += QStringLiteral("; ") + DroppedSendsText(dropped);
    LogMessage(kOut, line);
}

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
        RememberCommand(input.text);
    }
    if (command.copies == CopyRule::TicketCopies) {
        // A count the tickets cannot use shows as the 1 that is sent, and is
        // what the next run finds in the field.
        if (const QString counted = TicketCopiesText(TxtCount->text()); counted != TxtCount->text()) {
            TxtCount->setText(counted);
            settings_.RememberCopyCount(counted);
        }
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
            const Question question{QString::fromLatin1(kPcxQuestionTitle), asked.text, asked.AnswerTexts(),
                                    asked.DefaultIndex(), asked.EscapeIndex()};
            return asked.AnswerAt(dialogs_->Ask(question));
        };
        const PcxPlan plan = PlanPcxDownload(path, ask, ConvertPictureToPcx);
        LogLines(kOut, plan.lines, plan.severity);
        if (plan.action == PcxPlan::Action::Nothing) return;
        input = PcxCommandInput(plan, input.address);
    }
    RunSend(QString::fromLatin1(command.caption), [this, &command, input] {
        const CommandTarget target{sender_, PrinterSocket.Handle(), *this,
                                   [this](const QString& what, qint64 planned, qint64 copies, bool reportDone) {
                                       TrackJob(what, planned, copies, reportDone);
                                   },
                                   [this] { watch_.EndCopy(trackedJob_); }};
        if (RunCommand(command, input, target).incomplete) jobIncomplete_ = true;
    });
}

// ---------------------------------------------------------------- ping

void frmkivo::Cmdping_Click() { kivo::Cmdping_Click(*this); }

}  // namespace kivo
