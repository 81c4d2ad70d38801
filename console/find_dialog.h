// "Find Printers": a small window that searches the machine's networks for
// printers and lists them as they answer; the one the operator picks goes into
// the address box.
#pragma once

#include "link/printer_fleet.h"
#include "link/printer_search.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <vector>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace kivo {

// What the address box takes for a printer found: its address, with ":port"
// when the port is not the printer port 9100.
[[nodiscard]] QString ChosenAddress(const FoundPrinter& printer);

class TicketCheck;

class FindDialog : public QDialog {
    Q_OBJECT
public:
    using NetworkSource = std::function<std::vector<Ipv4Network>()>;

    // `lookup` names the printers found (none: no names); `networks` says what to
    // search (the machine's own networks by default).
    explicit FindDialog(QWidget* parent = nullptr, NameLookup lookup = SystemNameLookup, NetworkSource networks = {});

    ~FindDialog() override;

    // Starts a search of the ports in the field; a search that runs starts over.
    void StartSearch();
    [[nodiscard]] PrinterSearch& Search() { return search_; }
    // Sends one VEK Test Ticket to each selected printer, each on its own
    // connection (at most kTestsAtOnce at once), and fills each row's Result as
    // its answer comes: "Ticket ACK", "Out of Tickets", "no answer", "refused" ...
    // The main window's connection is not touched.
    void TestSelected();
    static constexpr int kTestsAtOnce = 16;
    // Checks still running.
    [[nodiscard]] int Testing() const { return fleet_ ? fleet_->Total() - fleet_->Finished() : 0; }

signals:
    // The operator chose a printer (double-click or Enter on its row).
    void AddressChosen(const QString& address);

private:
    void AddRow(int index);
    void UpdateRow(int index);
    void Choose(QTreeWidgetItem* item);
    void Finished();
    void ShowResult(int index, const QString& result);

    NameLookup lookup_;
    NetworkSource networks_;
    PrinterSearch search_;
    QLineEdit* TxtFindPorts = nullptr;
    QPushButton* CmdFindSearch = nullptr;
    QPushButton* CmdFindStop = nullptr;
    QPushButton* CmdTestSelected = nullptr;
    QTreeWidget* LstPrinters = nullptr;
    QProgressBar* PrgFind = nullptr;
    QLabel* LblFindCount = nullptr;
    // Test Selected: the printers under test and their checks.
    std::vector<int> tested_;
    std::vector<std::unique_ptr<TicketCheck>> checks_;
    std::unique_ptr<PrinterFleet> fleet_;
};

}  // namespace kivo
