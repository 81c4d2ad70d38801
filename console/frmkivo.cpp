#include "console/frmkivo.h"

#include "console/app_icon.h"
#include "console/line_severity.h"
#include "console/log_view.h"
#include "console/numbers.h"
#include "console/status_tally_label.h"
#include "link/reply_decoder.h"
#include "link/send_file.h"
#include "link/socket_events.h"
#include "link/winsock_module.h"
#include "pcx/pcx_download.h"
#include "ping/ping.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

#include <cmath>

namespace kivo {
namespace {

const QString kOut = QStringLiteral("O");

// Form positions are in twips; at 96 DPI a pixel is 15 twips.
constexpr int Px(int twips) { return (twips + 7) / 15; }

void Place(QWidget* w, int left, int top, int width, int height) {
    w->setGeometry(Px(left), Px(top), Px(width), Px(height));
}

QFont FormFont(double points) {
    QFont font;
    font.setFamilies({QStringLiteral("Comic Sans MS"), QStringLiteral("Comic Neue")});
    font.setPointSizeF(points);
    return font;
}

QPushButton* MakeButton(QWidget* parent, const char* caption, const char* tip) {
    auto* b = new QPushButton(QString::fromLatin1(caption), parent);
    // The system's font at the size of a classic dialog font, so every caption
    // fits its button.
    QFont font = b->font();
    font.setPointSizeF(7.5);
    b->setFont(font);
    b->setToolTip(QString::fromLatin1(tip));
    b->setAutoDefault(false);
    return b;
}

QLabel* MakeLabel(QWidget* parent, const char* caption) {
    auto* l = new QLabel(QString::fromLatin1(caption), parent);
    l->setFont(FormFont(9.75));
    return l;
}

QLineEdit* MakeTextBox(QWidget* parent, const char* tip) {
    auto* t = new QLineEdit(parent);
    t->setToolTip(QString::fromLatin1(tip));
    t->setFont(FormFont(14.25));
    return t;
}

LogView* MakeLog(QWidget* parent, LogModel* model, const char* name) {
    auto* v = new LogView(model, parent);
    v->setObjectName(QString::fromLatin1(name));
    v->setFont(FormFont(8.25));
    return v;
}

QSettings UserSettings() { return QSettings(QStringLiteral("Kivo Systems"), QStringLiteral("kivo-socket-test")); }

}  // namespace

frmkivo::frmkivo(QWidget* parent) : QWidget(parent), sender_(*this) {
    BuildControls();
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

void frmkivo::BuildControls() {
    setWindowTitle(QString::fromLatin1(kWindowCaption));
    setWindowIcon(AppIcon());
    setFixedSize(Px(10965), Px(8280));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(192, 192, 255));
    setPalette(pal);
    setAutoFillBackground(true);

    Cmdping = MakeButton(this, "Ping", "Verify ethernet communication to current IP address");
    IP_Address = MakeTextBox(this, "Enter IP Address for your Kivo Systems printer");
    IP_Address->setAlignment(Qt::AlignCenter);
    CmdText = MakeButton(this, "Send Text", "Send Text Command to the printer");
    CmdFile = MakeButton(this, "Send Text File", "Send text file to printer (# of Copies)");
    CmdClear = MakeButton(this, "Clear Messages", "Clear out messages below");
    TxtCount = MakeTextBox(this, "Enter # of copies of text commands or text files");
    TxtCount->setAlignment(Qt::AlignCenter);
    {
        QPalette white = TxtCount->palette();
        white.setColor(QPalette::Base, Qt::white);
        TxtCount->setPalette(white);
    }
    TxtCount->setText(QStringLiteral("1"));
    TxtCmd = MakeTextBox(this, "Enter string here and then click on \"Send Text\" when you are ready");
    Label1 = MakeLabel(this, "Outgoing Data and General Messages");
    IPLBL = MakeLabel(this, "Enter IP Address  Here");
    LblCount = MakeLabel(this, "# of Copies");
    LblCount->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    LblCmd = MakeLabel(this, "Enter Text Command or Ascii Value Here");
    CmdConnect = MakeButton(this, "Connect", "Connect & Disconnect with Kivo Systems Printer");
    Label2 = MakeLabel(this, "Incoming Printer Data  and Messages");
    CmdPclFF = MakeButton(this, "HP Form Feed", "Send a HP Form Feed to the printer");
    CmdVekFF = MakeButton(this, "VEK Form Feed", "Send VEK Form Feed to the printer");
    CmdPcxFile = MakeButton(this, "Print PCX File", "Print a Monochrome PCX file on an VEK printer");
    CmdVEKTest = MakeButton(this, "VEK Test Ticket", "Generate standard VEK test ticket (# of Copies)");
    CmdHPTest = MakeButton(this, "HP Test Ticket", "Generate standard HP ID test ticket (# of Copies)");
    CmdAscii = MakeButton(this, "Send Ascii ", "Send ASCII Value to printer");
    TxtMsg = MakeLog(this, &outLog_, "TxtMsg");
    InTxtMsg = MakeLog(this, &inLog_, "InTxtMsg");
    tally_ = new StatusTallyLabel(this);
    tally_->setFont(FormFont(9.75));

    Place(Cmdping, 1920, 360, 1095, 495);
    Place(IP_Address, 3600, 360, 2535, 495);
    Place(CmdText, 240, 1920, 1215, 495);
    Place(CmdFile, 2880, 1920, 1215, 495);
    Place(CmdClear, 4560, 5040, 1335, 495);
    Place(TxtCount, 9480, 1200, 1335, 525);
    Place(TxtCmd, 120, 1200, 9255, 495);
    Place(Label1, 120, 2520, 3615, 375);
    Place(IPLBL, 3600, 120, 2295, 255);
    Place(LblCount, 9480, 960, 1455, 255);
    Place(LblCmd, 120, 960, 3855, 255);
    Place(CmdConnect, 6840, 360, 1215, 495);
    Place(Label2, 120, 5280, 3615, 375);
    Place(CmdPclFF, 9480, 1920, 1215, 495);
    Place(CmdVekFF, 6840, 1920, 1215, 495);
    Place(CmdPcxFile, 4200, 1920, 1215, 495);
    Place(CmdVEKTest, 5520, 1920, 1215, 495);
    Place(CmdHPTest, 8160, 1920, 1215, 495);
    Place(CmdAscii, 1560, 1920, 1215, 495);
    Place(TxtMsg, 120, 2880, 10695, 2085);
    Place(InTxtMsg, 120, 5640, 10695, 2535);
    Place(tally_, 6000, 5280, 4815, 375);  // on Label2's row, right of Clear Messages

    const QList<QWidget*> tabOrder = {Cmdping, IP_Address, CmdText, CmdFile, CmdClear, TxtCount,
                                      TxtCmd, CmdConnect, CmdPclFF, CmdVekFF, CmdPcxFile, CmdVEKTest,
                                      CmdHPTest, CmdAscii, TxtMsg, InTxtMsg};
    for (qsizetype i = 0; i + 1 < tabOrder.size(); ++i) setTabOrder(tabOrder[i], tabOrder[i + 1]);

    connect(Cmdping, &QPushButton::clicked, this, &frmkivo::Cmdping_Click);
    connect(CmdConnect, &QPushButton::clicked, this, &frmkivo::CmdConnect_Click);
    connect(CmdText, &QPushButton::clicked, this, &frmkivo::CmdText_Click);
    connect(CmdAscii, &QPushButton::clicked, this, &frmkivo::CmdAscii_Click);
    connect(CmdFile, &QPushButton::clicked, this, &frmkivo::CmdFile_Click);
    connect(CmdPcxFile, &QPushButton::clicked, this, &frmkivo::CmdPcxFile_Click);
    connect(CmdVEKTest, &QPushButton::clicked, this, &frmkivo::CmdVEKTest_Click);
    connect(CmdVekFF, &QPushButton::clicked, this, &frmkivo::CmdVekFF_Click);
    connect(CmdHPTest, &QPushButton::clicked, this, &frmkivo::CmdHPTest_Click);
    connect(CmdPclFF, &QPushButton::clicked, this, &frmkivo::CmdPclFF_Click);
    connect(CmdClear, &QPushButton::clicked, this, &frmkivo::CmdClear_Click);

    SetConnectedState(false);
}

void frmkivo::SetUpLogs() {
    const bool showTimes = UserSettings().value(QStringLiteral("logs/showTimes"), false).toBool();
    for (const auto& [view, label] : {std::pair{TxtMsg, Label1}, std::pair{InTxtMsg, Label2}}) {
        view->SetShowTimes(showTimes);
        connect(view, &LogView::showTimesToggled, this, [this](bool show) {
            TxtMsg->SetShowTimes(show);
            InTxtMsg->SetShowTimes(show);
            UserSettings().setValue(QStringLiteral("logs/showTimes"), show);
        });
        view->SetFileHeader([this, label = label] {
            return LogFileHeader{QString::fromLatin1(kWindowCaption), label->text(),
                                 AddressText() + QStringLiteral(" port ") + PrinterPort, QDateTime::currentDateTime()};
        });
        connect(view, &LogView::saveFailed, this, [this](const QString& line) { LogMessage(kOut, line); });
    }
    // The tally goes with the incoming log's lines: Clear Messages and Clear This Log end it.
    connect(&inLog_, &QAbstractItemModel::modelReset, tally_, &StatusTallyLabel::Clear);
}

// ---------------------------------------------------------------- lifecycle

void frmkivo::Form_Load() {
    StartNetwork(nullptr);
    Initialize();
    CommonDialog1.InitDir = platform::ProgramFolder();
    QDir::setCurrent(platform::ProgramFolder());
    // While the connect blocks, the window still repaints but takes no input.
    ws::WSASetBlockingHook([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
    HookWindow(&hwnd_, *this);
}

void frmkivo::Initialize() {
    PrintCommand = QStringLiteral("<p>");
    FfText = QString(QChar(12));
    IP_Address->setText(QString::fromLatin1(kDefaultAddress));
    PrinterPort = QStringLiteral("9100");
}

void frmkivo::Form_Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    sender_.CancelJob();
    sends_.DropQueued();
    if (socketOpen_) {
        ws::closesocket(PrinterSocket);
        socketOpen_ = false;
        PrinterSocket = -1;
    }
    UnhookWindow(&hwnd_);
    ws::WSASetBlockingHook({});
    StopNetwork();
}

void frmkivo::closeEvent(QCloseEvent* event) {
    // A send waiting for the printer, or a connect in progress, runs on this
    // window's stack: end it first, and close once it has unwound.
    if (sends_.Busy() || connecting_ || pauseDepth_ > 0) {
        closePending_ = true;
        sender_.CancelJob();
        sends_.DropQueued();
        if (ws::WSAIsBlocking()) ws::WSACancelBlockingCall();
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
}

void frmkivo::OnSendsIdle() {
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
    tally_->Count(lines);
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
        platform::MessageBox(QStringLiteral("You called for a Pause, Sir?"), QStringLiteral("Enter to Continue"));
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
    IP_Address->setEnabled(!connected);
    for (QWidget* w : {static_cast<QWidget*>(CmdText), static_cast<QWidget*>(CmdFile),
                       static_cast<QWidget*>(CmdPclFF), static_cast<QWidget*>(CmdVekFF),
                       static_cast<QWidget*>(TxtCmd), static_cast<QWidget*>(TxtCount),
                       static_cast<QWidget*>(CmdPcxFile), static_cast<QWidget*>(CmdAscii),
                       static_cast<QWidget*>(CmdHPTest), static_cast<QWidget*>(CmdVEKTest)})
        w->setEnabled(connected);
    CmdConnect->setText(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
}

void frmkivo::CmdConnect_Click() {
    const QString caption = CmdConnect->text();
    if (caption == QLatin1String("Connect")) {
        LogMessage(kOut, QStringLiteral("Attempting to establish a connection with the printer at ") + AddressText() +
                             QStringLiteral(" on port ") + PrinterPort);
        Repaint();
        QString connection;
        connecting_ = true;
        PrinterSocket = OpenPrinterSocket(AddressText(), PrinterPort.toInt(), connection, &hwnd_, false);
        connecting_ = false;
        if (PrinterSocket == -1) {
            LogMessage(kOut, QStringLiteral("Error while connecting to the printer ") + AddressText() +
                                 QStringLiteral(" on port ") + PrinterPort);
        } else {
            socketOpen_ = true;
            tally_->Clear();  // the tally counts from each Connect
            SetConnectedState(true);
            LogMessage(kOut, QStringLiteral("Connection made to ") + AddressText() + QStringLiteral(" on port ") +
                                 PrinterPort);
        }
        if (closePending_) QTimer::singleShot(0, this, &QWidget::close);
    } else if (caption == QLatin1String("Disconnect")) {
        const bool sending = sends_.Busy();
        const int dropped = sends_.DropQueued();
        if (sending) sender_.CancelJob();
        if (socketOpen_) ws::closesocket(PrinterSocket);
        socketOpen_ = false;
        PrinterSocket = -1;
        SetConnectedState(false);
        if (sending) {
            LogMessage(kOut, dropped == 0 ? QStringLiteral("Send canceled by Disconnect")
                                          : QStringLiteral("Send canceled by Disconnect; %1 queued send(s) dropped")
                                                .arg(dropped));
        }
        LogMessage(kOut, QStringLiteral("Disconnected from ") + AddressText() + QStringLiteral(" on port ") +
                             PrinterPort);
    }
}

// ---------------------------------------------------------------- commands

void frmkivo::RunSend(std::function<void()> job) {
    sends_.Run([this, job = std::move(job)] {
        if (unloaded_) return;
        sender_.BeginJob();
        job();
    });
}

void frmkivo::CmdText_Click() {
    const QString text = TxtCmd->text();
    const QString address = AddressText();
    RunSend([this, text, address] {
        LogMessage(kOut, QStringLiteral("Sending text =>") + text + QStringLiteral(" to IP Address ") + address);
        sender_.SendToPrinter(PrinterSocket, text);
    });
}

void frmkivo::CmdAscii_Click() {
    if (TxtCmd->text().isEmpty()) TxtCmd->setText(QStringLiteral("7"));
    const QString text = TxtCmd->text();
    const QString address = AddressText();
    RunSend([this, text, address] {
        LogMessage(kOut, QStringLiteral("Sending Ascii =>") + text + QStringLiteral(" to IP Address ") + address);
        const std::optional<long long> value = ReadWholeNumber(text, 0, 255);
        if (!value) {
            LogMessage(kOut, QStringLiteral("Nothing sent: \"%1\" is not a whole number from 0 to 255").arg(text));
            return;
        }
        const char byte = static_cast<char>(static_cast<unsigned char>(*value));
        sender_.SendToPrinter(PrinterSocket, QByteArrayView(&byte, 1));
    });
}

void frmkivo::CmdVekFF_Click() {
    const QString address = AddressText();
    RunSend([this, address] {
        LogMessage(kOut, QStringLiteral("Sending an VEK Form Feed to IP Address ") + address);
        sender_.SendToPrinter(PrinterSocket, PrintCommand);
    });
}

void frmkivo::CmdPclFF_Click() {
    const QString address = AddressText();
    RunSend([this, address] {
        LogMessage(kOut, QStringLiteral("Sending an PCL Form Feed to IP Address ") + address);
        sender_.SendToPrinter(PrinterSocket, FfText);
    });
}

// ---------------------------------------------------------------- files

void frmkivo::SendCopies(const QString& path, long long copies, bool vekHeader) {
    bool fileErrorReported = false;
    for (long long i = 1; i <= copies && !sender_.JobFailed(); ++i) {
        if (vekHeader) sender_.SendToPrinter(PrinterSocket, QStringLiteral("<RL><F6><RC90,40>") + QString::number(i));
        const SendFileResult sent = SendFile(sender_, PrinterSocket, path);
        if (!sent.fileError.isEmpty() && !fileErrorReported) {
            fileErrorReported = true;
            LogMessage(kOut, QStringLiteral("Cannot send file %1: %2").arg(path, sent.fileError));
        }
    }
}

QString frmkivo::ChooseFile(const QString& defaultExt, const QString& filter) {
    CommonDialog1.DefaultExt = defaultExt;
    CommonDialog1.Filter = filter;
    CommonDialog1.FileName.clear();
    CommonDialog1.CancelError = false;
    CommonDialog1.ShowOpen(this);
    if (CommonDialog1.FileName.isEmpty()) LogMessage(kOut, QStringLiteral("Download File Canceled"));
    return CommonDialog1.FileName;
}

void frmkivo::CmdFile_Click() {
    const QString path = ChooseFile(QStringLiteral("*.txt"),
                                    QStringLiteral("text files(*.txt)|*.txt|prn files(*.prn)|*.prn|all files(*.*)|*.*"));
    if (path.isEmpty()) return;
    const QString countText = TxtCount->text();
    const QString address = AddressText();
    RunSend([this, path, countText, address] {
        const std::optional<double> number = ReadNumber(countText);
        const std::optional<long long> copies = ReadWholeNumber(countText, -32768, 32767);
        if (!number || !copies) {
            LogMessage(kOut, QStringLiteral("Nothing sent: # of Copies \"%1\" is not a whole number from -32768 to 32767")
                                 .arg(countText));
            return;
        }
        if (*number == 1.0)
            LogMessage(kOut, QStringLiteral("Sending file ") + path + QStringLiteral(" to IP Address ") + address);
        else
            LogMessage(kOut, QStringLiteral("Sending ") + countText + QStringLiteral(" copies of file ") + path +
                                 QStringLiteral(" to IP Address ") + address);
        SendCopies(path, *copies, false);
    });
}

void frmkivo::SendTestTicket(const QString& fileName, bool vekHeader) {
    const QString path = platform::ProgramFolder() + QLatin1Char('/') + fileName;
    const std::optional<double> number = ReadNumber(TxtCount->text());
    if (number && (*number < 1 || *number > 100)) TxtCount->setText(QStringLiteral("1"));
    const QString countText = TxtCount->text();
    RunSend([this, path, countText, vekHeader] {
        LogMessage(kOut, QStringLiteral("Sending  ") + path);
        const std::optional<long long> copies = ReadWholeNumber(countText, 1, 100);
        if (!copies) {
            LogMessage(kOut, QStringLiteral("Nothing sent: # of Copies \"%1\" is not a number").arg(countText));
            return;
        }
        SendCopies(path, *copies, vekHeader);
    });
}

void frmkivo::CmdVEKTest_Click() { SendTestTicket(QStringLiteral("vek_test.txt"), true); }

void frmkivo::CmdHPTest_Click() { SendTestTicket(QStringLiteral("hp_id.prn"), false); }

void frmkivo::CmdPcxFile_Click() {
    const QString path = ChooseFile(QStringLiteral("pcx"), QStringLiteral("pcx(*.pcx)|*.pcx"));
    if (path.isEmpty()) return;
    RunSend([this, path] {
        SendPcxImage(sender_, PrinterSocket, path, PrintCommand.toLatin1(), *this);
    });
}

// ---------------------------------------------------------------- ping

void frmkivo::Cmdping_Click() { kivo::Cmdping_Click(*this); }

}  // namespace kivo
