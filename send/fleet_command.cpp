#include "send/fleet_command.h"

#include "link/numbers.h"
#include "link/printer_fleet.h"
#include "link/printer_search.h"
#include "link/printer_socket.h"
#include "send/find_command.h"
#include "send/send_options.h"
#include "send/write_text.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <map>
#include <memory>

namespace kivo {
namespace {

// Printers in address order: numerically for dotted addresses, then by port.
bool AddressOrder(const PrinterTarget& a, const PrinterTarget& b) {
    const auto key = [](const PrinterTarget& t) {
        const std::uint32_t dotted = DottedAddress(t.address);
        return std::make_tuple(dotted == kNoAddress ? 1 : 0, dotted == kNoAddress ? 0u : ntohl(dotted), t.address,
                               t.port);
    };
    return key(a) < key(b);
}

QJsonObject ResultObject(const SendResult& r) {
    QJsonObject tally;
    for (const auto& [name, count] : r.tally.Counts()) tally.insert(name, static_cast<qint64>(count));
    QJsonObject object{{"event", "printer"},
                       {"address", r.address},
                       {"port", r.port},
                       {"status", r.status},
                       {"meaning", StatusWord(r)},
                       {"sent", r.sent},
                       {"taken", r.taken},
                       {"planned", r.planned},
                       {"notTaken", std::max<qint64>(r.planned - r.taken, r.sent - r.taken)},
                       {"answers", r.answers},
                       {"tally", tally},
                       {"runs", r.runs},
                       {"time", r.seconds}};
    if (!r.reason.isEmpty() && r.status != kSendOk) object.insert("reason", r.reason);
    return object;
}

class FleetRun : public QObject {
public:
    FleetRun(const SendOptions& options, std::FILE* out, std::FILE* err, bool terminal)
        : options_(options), out_(out), err_(err), terminal_(terminal) {
        clock_.start();
    }

    void Begin() {
        if (!options_.eachFound) return StartFleet(options_.printers);
        const SearchPlan plan = SearchPlanOf(options_);
        if (plan.networks.empty()) {
            WriteText(err_, QStringLiteral("kivo-send: this machine is on no IPv4 network but loopback and link-local: "
                                           "name one, as in --each-found 192.168.1.0/24\n"));
            return End(kSendUndelivered);
        }
        connect(&search_, &PrinterSearch::Finished, this, [this] {
            std::vector<PrinterTarget> found;
            for (const FoundPrinter& printer : search_.Printers()) found.push_back({printer.Address(), printer.port});
            if (!options_.json) WriteText(err_, search_.CountLine() + QLatin1Char('\n'));
            if (found.empty()) return End(kSendUndelivered);
            StartFleet(found);
        });
        search_.Start(plan);
    }

private:
    void StartFleet(std::vector<PrinterTarget> targets) {
        std::stable_sort(targets.begin(), targets.end(), AddressOrder);
        targets_ = std::move(targets);
        results_.resize(targets_.size());
        fleet_ = std::make_unique<PrinterFleet>(static_cast<int>(targets_.size()), options_.parallel,
                                                [this](int index) { StartPrinter(index); });
        if (fleet_->Parallel() < options_.parallel)
            WriteText(err_, QStringLiteral("kivo-send: --parallel %1 would pass this process's limit of open files: "
                                           "at most %2 printers at once, the others queued\n")
                                .arg(options_.parallel)
                                .arg(fleet_->Parallel()));
        connect(fleet_.get(), &PrinterFleet::AllDone, this, &FleetRun::Finish);
        fleet_->Start();
    }

    void StartPrinter(int index) {
        const PrinterTarget& target = targets_[static_cast<size_t>(index)];
        SendOptions one = options_;
        one.address = target.address;
        one.port = target.port;
        one.printers.clear();
        for (SendAction& action : one.actions) action.input.address = target.address;
        auto* session = new SendSession(std::move(one), out_, err_, false, this);
        session->ReportInFleet();
        running_[index] = session;
        connect(session, &SendSession::Finished, this, [this, index, session] {
            results_[static_cast<size_t>(index)] = session->Result();
            running_.erase(index);
            session->deleteLater();
            ShowProgress();
            fleet_->Done(index);
        });
        session->Start();
    }

    void ShowProgress() {
        if (!terminal_ || options_.json) return;
        if (shown_.isValid() && shown_.elapsed() < 250 && fleet_->Finished() < fleet_->Total()) return;
        shown_.start();
        long long answers = 0;
        for (const SendResult& r : results_) answers += r.answers;
        for (const auto& [index, session] : running_) answers += session->Result().answers;
        WriteText(err_, QStringLiteral("\r\x1b[K%1 of %2 printers done, %3 answers so far")
                            .arg(fleet_->Finished())
                            .arg(fleet_->Total())
                            .arg(Grouped(answers)));
        progressLine_ = true;
    }

    void Finish() {
        if (progressLine_) WriteText(err_, QStringLiteral("\r\x1b[K"));
        int worst = kSendOk;
        for (const SendResult& r : results_) worst = std::max(worst, r.status);
        const double seconds = static_cast<double>(clock_.elapsed()) / 1000.0;
        if (options_.json) {
            for (const SendResult& r : results_)
                WriteText(out_,
                          QString::fromUtf8(QJsonDocument(ResultObject(r)).toJson(QJsonDocument::Compact)) + '\n');
            std::map<QString, int> byWord;
            for (const SendResult& r : results_) ++byWord[StatusWord(r)];
            QJsonObject total{{"event", "total"},
                              {"printers", static_cast<int>(results_.size())},
                              {"status", worst},
                              {"mostAtOnce", fleet_->MostAtOnce()},
                              {"time", seconds}};
            for (const auto& [word, count] : byWord) total.insert(word, count);
            WriteText(out_, QString::fromUtf8(QJsonDocument(total).toJson(QJsonDocument::Compact)) + '\n');
        } else {
            WriteText(out_, FleetTable(results_, seconds).join(QLatin1Char('\n')) + QLatin1Char('\n'));
        }
        End(worst);
    }

    void End(int status) {
        status_ = status;
        QTimer::singleShot(0, QCoreApplication::instance(), [status] { QCoreApplication::exit(status); });
    }

    SendOptions options_;
    std::FILE* out_;
    std::FILE* err_;
    bool terminal_;
    QElapsedTimer clock_;
    QElapsedTimer shown_;
    bool progressLine_ = false;
    PrinterSearch search_;
    std::vector<PrinterTarget> targets_;
    std::vector<SendResult> results_;
    std::map<int, SendSession*> running_;
    std::unique_ptr<PrinterFleet> fleet_;
    int status_ = 0;
};

}  // namespace

QString StatusWord(const SendResult& r) {
    switch (r.status) {
    case kSendOk: return QStringLiteral("ok");
    case kSendFault: return QStringLiteral("fault");
    case kSendUndelivered: return r.connectFailed ? QStringLiteral("unreachable") : QStringLiteral("not delivered");
    case kSendTimedOut:
        return r.reason.contains(QLatin1String("unanswered")) || r.reason.isEmpty() ? QStringLiteral("unanswered")
                                                                                    : QStringLiteral("timed out");
    default: return QStringLiteral("bad input");
    }
}

QStringList FleetTable(const std::vector<SendResult>& results, double seconds) {
    const QStringList head{QStringLiteral("Printer"), QStringLiteral("Taken of planned"), QStringLiteral("Answers"),
                           QStringLiteral("Time"), QStringLiteral("Status")};
    std::vector<QStringList> rows{head};
    std::map<QString, int> byWord;
    for (const SendResult& r : results) {
        const QString answers = r.tally.Text();
        QString status = QStringLiteral("%1 %2").arg(r.status).arg(StatusWord(r));
        if (r.status != kSendOk && !r.reason.isEmpty()) status += QStringLiteral(" (%1)").arg(r.reason);
        rows.push_back({QStringLiteral("%1:%2").arg(r.address).arg(r.port),
                        QStringLiteral("%1 of %2").arg(Grouped(r.taken), ByteCount(r.planned)),
                        answers.isEmpty() ? QStringLiteral("none") : answers,
                        QStringLiteral("%1 s").arg(r.seconds, 0, 'f', 2), status});
        ++byWord[StatusWord(r)];
    }
    // The last column runs on; the others are padded to their widest cell.
    std::vector<qsizetype> widths(head.size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype c = 0; c + 1 < row.size(); ++c)
            widths[static_cast<size_t>(c)] = std::max(widths[static_cast<size_t>(c)], row[c].size());
    QStringList lines;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c].leftJustified(widths[static_cast<size_t>(c)] + 2) : row[c];
        lines << line;
    }
    QStringList counts{QStringLiteral("%1 OK").arg(byWord[QStringLiteral("ok")])};
    for (const char* word : {"fault", "not delivered", "unreachable", "unanswered", "timed out", "bad input"})
        if (const int n = byWord[QString::fromLatin1(word)]; n > 0)
            counts << (QString::fromLatin1(word) == QLatin1String("fault") ? QStringLiteral("%1 with faults").arg(n)
                                                                           : QStringLiteral("%1 %2").arg(n).arg(word));
    lines << QStringLiteral("%1 printer%2: %3; in %4 s")
                 .arg(results.size())
                 .arg(results.size() == 1 ? "" : "s")
                 .arg(counts.join(QStringLiteral(", ")))
                 .arg(seconds, 0, 'f', 2);
    return lines;
}

int RunFleet(const SendOptions& options, std::FILE* out, std::FILE* err, bool errIsTerminal) {
    FleetRun run(options, out, err, errIsTerminal);
    QTimer::singleShot(0, &run, [&run] { run.Begin(); });
    return QCoreApplication::exec();
}

}  // namespace kivo
