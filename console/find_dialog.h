// "Find Printers": a small window that searches the machine's networks for
// printers and lists them as they answer; the one the operator picks goes into
// the address box.
#pragma once

#include "link/printer_search.h"

#include <QDialog>

#include <functional>
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

class FindDialog : public QDialog {
    Q_OBJECT
public:
    using NetworkSource = std::function<std::vector<Ipv4Network>()>;

    // `lookup` names the printers found (none: no names); `networks` says what to
    // search (the machine's own networks by default).
    explicit FindDialog(QWidget* parent = nullptr, NameLookup lookup = SystemNameLookup, NetworkSource networks = {});

    // Starts a search of the ports in the field; a search that runs starts over.
    void StartSearch();
    [[nodiscard]] PrinterSearch& Search() { return search_; }

signals:
    // The operator chose a printer (double-click or Enter on its row).
    void AddressChosen(const QString& address);

private:
    void AddRow(int index);
    void UpdateRow(int index);
    void Choose(QTreeWidgetItem* item);
    void Finished();

    NameLookup lookup_;
    NetworkSource networks_;
    PrinterSearch search_;
    QLineEdit* TxtFindPorts = nullptr;
    QPushButton* CmdFindSearch = nullptr;
    QPushButton* CmdFindStop = nullptr;
    QTreeWidget* LstPrinters = nullptr;
    QProgressBar* PrgFind = nullptr;
    QLabel* LblFindCount = nullptr;
};

}  // namespace kivo
