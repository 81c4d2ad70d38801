#include "console/find_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kivo {
namespace {

enum Column { kAddress, kName, kTime, kSaid };

// Which printer a row shows.
constexpr int kIndexRole = Qt::UserRole;

}  // namespace

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
    // Enter belongs to the list (choose) and the ports field (search), never to a default button.
    for (QPushButton* b : {CmdFindSearch, CmdFindStop}) b->setAutoDefault(false);

    LstPrinters = new QTreeWidget(this);
    LstPrinters->setObjectName(QStringLiteral("LstPrinters"));
    LstPrinters->setHeaderLabels(
        {QStringLiteral("Address"), QStringLiteral("Name"), QStringLiteral("Time"), QStringLiteral("Said")});
    LstPrinters->setRootIsDecorated(false);
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
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(LstPrinters, 1);
    layout->addWidget(PrgFind);
    layout->addWidget(LblFindCount);

    connect(CmdFindSearch, &QPushButton::clicked, this, &FindDialog::StartSearch);
    connect(TxtFindPorts, &QLineEdit::returnPressed, this, &FindDialog::StartSearch);
    connect(CmdFindStop, &QPushButton::clicked, &search_, &PrinterSearch::Stop);
    connect(LstPrinters, &QTreeWidget::itemActivated, this, &FindDialog::Choose);
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

void FindDialog::StartSearch() {
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

void FindDialog::Finished() {
    PrgFind->setValue(static_cast<int>(search_.Tried()));
    LblFindCount->setText(search_.CountLine());
    CmdFindStop->setEnabled(false);
    CmdFindSearch->setEnabled(true);
}

}  // namespace kivo
