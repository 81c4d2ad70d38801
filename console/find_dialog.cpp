#include "console/find_dialog.h"

#include "link/commands.h"
#include "link/console_port.h"
#include "link/printer_session.h"
#include "platform/socket_errors.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace kivo {
namespace {

enum Column { kAddress, kName, kTime, kSaid, kResult };

// Which printer a row shows.
constexpr int kIndexRole = Qt::UserRole;

// A check's lines go nowhere: the row's Result says what came of it.
class SilentConsole : public Console {
public:
    explicit SilentConsole(QString address) : address_(std::move(address)) {}
    void LogMessage(LogKind, const QString&, Severity) override {}
    [[nodiscard]] QString AddressText() const override { return address_; }

private:
    QString address_;
};

}  // namespace

// One VEK Test Ticket to one printer on a connection of its own; its result is
// the printer's answer, or what kept it from answering.
class TicketCheck : public QObject {
    Q_OBJECT
public:
    explicit TicketCheck(const PrinterTarget& target) : console_(target.address), session_(console_) {
        connect(&session_, &PrinterSession::ConnectFinished, this, [this](bool connected, int error) {
            if (connected) return Queue();
            End(error == ws::WSAECONNREFUSED ? QStringLiteral("refused") : QStringLiteral("no connection"));
        });
        connect(&session_, &PrinterSession::JobSettled, this, [this](const JobOutcome& outcome) {
            switch (outcome.kind) {
            case JobOutcome::Kind::Done: result_ = AnswerNames(outcome); break;
            case JobOutcome::Kind::Unconfirmed: result_ = QStringLiteral("no answer"); break;
            case JobOutcome::Kind::CutShort:
                result_ = outcome.answers > 0 ? AnswerNames(outcome) + QStringLiteral(", then the connection ended")
                                              : QStringLiteral("connection lost");
                break;
            }
            if (session_.IsConnected()) session_.Disconnect();
        });
        connect(&session_, &PrinterSession::Closed, this, [this] { End(result_); });
        session_.Connect(target.address, target.port);
    }

signals:
    void Ended(const QString& result);

private:
    static QString AnswerNames(const JobOutcome& outcome) {
        QStringList names;
        for (const StatusRow& row : StatusRows())
            if (row.answer && outcome.answersByByte[row.byte] > 0) names << QLatin1String(row.name);
        return names.join(QStringLiteral(", "));
    }

    void Queue() {
        const Command& command = *CommandOfControl(QStringLiteral("CmdVEKTest"));
        CommandInput input;
        input.address = console_.AddressText();
        input.countText = QStringLiteral("1");
        session_.Queue(QString::fromLatin1(command.caption),
                       [this, &command, input] { return MakeCommandJob(command, input, console_); });
    }

    void End(const QString& result) {
        if (ended_) return;
        ended_ = true;
        emit Ended(result.isEmpty() ? QStringLiteral("no answer") : result);
    }

    SilentConsole console_;
    PrinterSession session_;
    QString result_;
    bool ended_ = false;
};

QString ChosenAddress(const FoundPrinter& printer) {
    return printer.port == 9100 ? printer.Address() : QStringLiteral("%1:%2").arg(printer.Address()).arg(printer.port);
}

FindDialog::FindDialog(QWidget* parent, NameLookup lookup, NetworkSource networks)
    : QDialog(parent), lookup_(std::move(lookup)), networks_(std::move(networks)) {
    if (!networks_) networks_ = [] { return NetworksToSearch(InterfaceAddresses()); };
    setWindowTitle(QStringLiteral("Find Printers"));
    resize(620, 380);

    auto* portsLabel = new QLabel(QStringLiteral("Ports:"), this);
    TxtFindPorts = new QLineEdit(QStringLiteral("9100"), this);
    TxtFindPorts->setObjectName(QStringLiteral("TxtFindPorts"));
    TxtFindPorts->setToolTip(QStringLiteral("The ports to try, e.g. 9100 or 9100-9102"));
    CmdFindSearch = new QPushButton(QStringLiteral("Search"), this);
    CmdFindSearch->setObjectName(QStringLiteral("CmdFindSearch"));
    CmdFindStop = new QPushButton(QStringLiteral("Stop"), this);
    CmdFindStop->setObjectName(QStringLiteral("CmdFindStop"));
    CmdTestSelected = new QPushButton(QStringLiteral("Test Selected"), this);
    CmdTestSelected->setObjectName(QStringLiteral("CmdTestSelected"));
    CmdTestSelected->setToolTip(
        QStringLiteral("Send one VEK Test Ticket to each selected printer, each on its own connection"));
    CmdTestSelected->setEnabled(false);
    // Enter belongs to the list (choose) and the ports field (search), never to a default button.
    for (QPushButton* b : {CmdFindSearch, CmdFindStop, CmdTestSelected}) b->setAutoDefault(false);

    LstPrinters = new QTreeWidget(this);
    LstPrinters->setObjectName(QStringLiteral("LstPrinters"));
    LstPrinters->setHeaderLabels({QStringLiteral("Address"), QStringLiteral("Name"), QStringLiteral("Time"),
                                  QStringLiteral("Said"), QStringLiteral("Result")});
    LstPrinters->setRootIsDecorated(false);
    // Shift- and Ctrl-click pick several printers for Test Selected.
    LstPrinters->setSelectionMode(QAbstractItemView::ExtendedSelection);
    LstPrinters->setUniformRowHeights(true);
    LstPrinters->setColumnWidth(kAddress, 150);
    LstPrinters->setColumnWidth(kName, 180);
    LstPrinters->setColumnWidth(kTime, 70);
    PrgFind = new QProgressBar(this);
    PrgFind->setObjectName(QStringLiteral("PrgFind"));
    // The addresses the count line counts, in the same unit, after a Stop too.
    PrgFind->setFormat(QStringLiteral("%v of %m addresses tried"));
    LblFindCount = new QLabel(this);
    LblFindCount->setObjectName(QStringLiteral("LblFindCount"));
    LblFindCount->setWordWrap(true);

    auto* top = new QHBoxLayout;
    top->addWidget(portsLabel);
    top->addWidget(TxtFindPorts, 1);
    top->addWidget(CmdFindSearch);
    top->addWidget(CmdFindStop);
    top->addWidget(CmdTestSelected);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(LstPrinters, 1);
    layout->addWidget(PrgFind);
    layout->addWidget(LblFindCount);

    connect(CmdFindSearch, &QPushButton::clicked, this, &FindDialog::StartSearch);
    connect(TxtFindPorts, &QLineEdit::returnPressed, this, &FindDialog::StartSearch);
    connect(CmdFindStop, &QPushButton::clicked, &search_, &PrinterSearch::Stop);
    connect(LstPrinters, &QTreeWidget::itemActivated, this, &FindDialog::Choose);
    connect(LstPrinters, &QTreeWidget::itemSelectionChanged, this,
            [this] { CmdTestSelected->setEnabled(!LstPrinters->selectedItems().isEmpty() && Testing() == 0); });
    connect(CmdTestSelected, &QPushButton::clicked, this, &FindDialog::TestSelected);
    connect(&search_, &PrinterSearch::PrinterFound, this, &FindDialog::AddRow);
    connect(&search_, &PrinterSearch::PrinterChanged, this, &FindDialog::UpdateRow);
    connect(&search_, &PrinterSearch::Progress, this, [this](qint64 tried, qint64 total) {
        PrgFind->setMaximum(static_cast<int>(total));
        PrgFind->setValue(static_cast<int>(tried));
    });
    connect(&search_, &PrinterSearch::Finished, this, &FindDialog::Finished);
    // Closing the dialog, by Escape or otherwise, ends the search.
    connect(this, &QDialog::finished, &search_, &PrinterSearch::Stop);
    CmdFindStop->setEnabled(false);
}

FindDialog::~FindDialog() {
    // The checks end with the dialog, abortively and without a word.
    fleet_.reset();
    checks_.clear();
}

void FindDialog::StartSearch() {
    if (Testing() > 0) return;  // the rows under test stay until their results are in
    SearchPorts ports = ReadSearchPorts(TxtFindPorts->text());
    if (!ports.refusal.isEmpty()) {
        LblFindCount->setText(ports.refusal);
        return;
    }
    SearchPlan plan;
    plan.networks = networks_();
    plan.ports = std::move(ports.ports);
    plan.lookup = lookup_;
    LstPrinters->clear();
    if (plan.networks.empty()) {
        LblFindCount->setText(QStringLiteral("This machine is on no IPv4 network but loopback and link-local."));
        return;
    }
    QStringList networks;
    for (const Ipv4Network& n : plan.networks) networks << n.Text();
    LblFindCount->setText(QStringLiteral("Searching %1 ...").arg(networks.join(QStringLiteral(", "))));
    CmdFindStop->setEnabled(true);
    CmdFindSearch->setEnabled(false);
    search_.Start(std::move(plan));
    PrgFind->setRange(0, static_cast<int>(search_.Total()));
    PrgFind->setValue(0);
}

void FindDialog::AddRow(int index) {
    auto* item = new QTreeWidgetItem(LstPrinters);
    item->setData(kAddress, kIndexRole, index);
    UpdateRow(index);
    if (!LstPrinters->currentItem()) LstPrinters->setCurrentItem(item);
}

void FindDialog::UpdateRow(int index) {
    const FoundPrinter& printer = search_.Printers()[static_cast<size_t>(index)];
    for (int row = 0; row < LstPrinters->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = LstPrinters->topLevelItem(row);
        if (item->data(kAddress, kIndexRole).toInt() != index) continue;
        item->setText(kAddress, ChosenAddress(printer));
        item->setText(kName, printer.name);
        item->setText(kTime, QStringLiteral("%1 ms").arg(printer.connectMs, 0, 'f', 1));
        item->setText(kSaid, printer.SaidLines().join(QStringLiteral(", ")));
        return;
    }
}

void FindDialog::Choose(QTreeWidgetItem* item) {
    if (!item) return;
    const int index = item->data(kAddress, kIndexRole).toInt();
    if (index < 0 || index >= static_cast<int>(search_.Printers().size())) return;
    emit AddressChosen(ChosenAddress(search_.Printers()[static_cast<size_t>(index)]));
    accept();
}

void FindDialog::TestSelected() {
    if (Testing() > 0) return;
    tested_.clear();
    for (QTreeWidgetItem* item : LstPrinters->selectedItems()) {
        tested_.push_back(item->data(kAddress, kIndexRole).toInt());
        item->setText(kResult, QStringLiteral("waiting"));
    }
    if (tested_.empty()) return;
    CmdTestSelected->setEnabled(false);
    CmdFindSearch->setEnabled(false);
    checks_.clear();
    checks_.resize(tested_.size());
    fleet_ = std::make_unique<PrinterFleet>(static_cast<int>(tested_.size()), kTestsAtOnce, [this](int i) {
        const FoundPrinter& printer = search_.Printers()[static_cast<size_t>(tested_[static_cast<size_t>(i)])];
        ShowResult(tested_[static_cast<size_t>(i)], QStringLiteral("testing"));
        auto check = std::make_unique<TicketCheck>(PrinterTarget{printer.Address(), printer.port});
        connect(check.get(), &TicketCheck::Ended, this, [this, i](const QString& result) {
            ShowResult(tested_[static_cast<size_t>(i)], result);
            // The check goes once it has returned; the next one may start now.
            QTimer::singleShot(0, this, [this, i] {
                checks_[static_cast<size_t>(i)].reset();
                fleet_->Done(i);
            });
        });
        checks_[static_cast<size_t>(i)] = std::move(check);
    });
    connect(fleet_.get(), &PrinterFleet::AllDone, this, [this] {
        CmdTestSelected->setEnabled(!LstPrinters->selectedItems().isEmpty());
        CmdFindSearch->setEnabled(!search_.Running());
    });
    fleet_->Start();
}

void FindDialog::ShowResult(int index, const QString& result) {
    for (int row = 0; row < LstPrinters->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = LstPrinters->topLevelItem(row);
        if (item->data(kAddress, kIndexRole).toInt() == index) item->setText(kResult, result);
    }
}

void FindDialog::Finished() {
    PrgFind->setValue(static_cast<int>(search_.Tried()));
    LblFindCount->setText(search_.CountLine());
    CmdFindStop->setEnabled(false);
    CmdFindSearch->setEnabled(Testing() == 0);
}

}  // namespace kivo

#include "find_dialog.moc"
