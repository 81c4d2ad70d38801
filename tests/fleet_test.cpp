// Many printers at once: kivo-send with several addresses or --each-found, and
// Find Printers' Test Selected. Each printer gets its own connection, at most
// --parallel at once; its row says what it took and answered; the exit status
// is the worst of the printers'.
#include "console/find_dialog.h"
#include "tests/support/test_support.h"

#include <QHeaderView>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTreeWidget>

#include <arpa/inet.h>

#include <memory>

using namespace kivo;
using namespace kivo::test;

namespace {

const QString kKivoSend = QStringLiteral(KIVO_SEND_PATH);

// The row of the table that starts with the printer's address.
QString RowOf(const QString& table, const QString& address) {
    for (const QString& line : table.split(QLatin1Char('\n')))
        if (line.startsWith(address + QLatin1Char(':'))) return line;
    return {};
}

bool Ip(const QStringList& arguments) {
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    return ip.waitForFinished(10000) && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
}

}  // namespace

class FleetTest : public QObject {
    Q_OBJECT
private slots:
    void eachPrinterGetsItsRowAndTheWorstStatusIsTheExit_data();
    void eachPrinterGetsItsRowAndTheWorstStatusIsTheExit();
    void parallelBoundsTheConnectionsAtOnce();
    void eachFoundTestsEveryPrinterOfTheNetwork();
    void testSelectedShowsEachPrintersAnswer();
};

void FleetTest::eachPrinterGetsItsRowAndTheWorstStatusIsTheExit_data() {
    // Printers by what they do: 'a' answers Ticket ACK, 'o' Out of Tickets,
    // 's' never answers, 'u' is not there.
    QTest::addColumn<QString>("printers");
    QTest::addColumn<int>("exit");
    QTest::newRow("all answer") << "aa" << 0;
    QTest::newRow("one out of tickets") << "aoa" << 1;
    QTest::newRow("one unreachable") << "aou" << 2;
    QTest::newRow("one silent") << "asou" << 3;
}

void FleetTest::eachPrinterGetsItsRowAndTheWorstStatusIsTheExit() {
    QFETCH(QString, printers);
    QFETCH(int, exit);
    AnsweringPrinter::Group group;
    std::vector<std::unique_ptr<AnsweringPrinter>> running;
    QStringList addresses;
    QStringList words;
    for (const QChar kind : printers) {
        if (kind == u'u') {
            addresses << RandomLoopbackAddress();  // nothing listens there
            words << QStringLiteral("2 unreachable");
            continue;
        }
        const QByteArray answer = kind == u'a' ? "\x06" : kind == u'o' ? "\x10" : "";
        running.push_back(std::make_unique<AnsweringPrinter>(answer, group));
        QVERIFY(running.back()->Listening());
        addresses << running.back()->Address();
        words << (kind == u'a'   ? QStringLiteral("0 ok")
                  : kind == u'o' ? QStringLiteral("1 fault")
                                 : QStringLiteral("3 unanswered"));
    }
    const ChildRun run = RunChild(kKivoSend, QStringList{QStringLiteral("--vek-test")} + addresses, 60000);
    QCOMPARE(run.code, exit);
    // One row a printer, in address order, with what it took and answered.
    const QStringList lines = run.out.trimmed().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), addresses.size() + 2);
    QStringList order = addresses;
    std::sort(order.begin(), order.end(), [](const QString& a, const QString& b) {
        return ntohl(inet_addr(a.toLatin1().constData())) < ntohl(inet_addr(b.toLatin1().constData()));
    });
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        QVERIFY2(lines[i + 1].startsWith(order[i] + QLatin1Char(':')), qPrintable(run.out));
        const QString row = RowOf(run.out, addresses[i]);
        QVERIFY2(row.contains(QLatin1String("  ") + words[i]), qPrintable(row));
        const bool reached = !words[i].startsWith(QLatin1String("2"));
        QVERIFY2(row.contains(reached ? QStringLiteral("521 of 521 bytes") : QStringLiteral("0 of 521 bytes")),
                 qPrintable(row));
        if (words[i] == QLatin1String("1 fault")) QVERIFY(row.contains(QLatin1String("Out of Tickets 1")));
    }
    QVERIFY2(lines.last().startsWith(QStringLiteral("%1 printers: ").arg(addresses.size())), qPrintable(lines.last()));
}

// Ten printers, two at a time: the printers themselves count the connections
// they hold at once.
void FleetTest::parallelBoundsTheConnectionsAtOnce() {
    AnsweringPrinter::Group group;
    std::vector<std::unique_ptr<AnsweringPrinter>> printers;
    QStringList arguments{QStringLiteral("--parallel"), QStringLiteral("2"), QStringLiteral("--json"),
                          QStringLiteral("--vek-test")};
    for (int i = 0; i < 10; ++i) {
        printers.push_back(std::make_unique<AnsweringPrinter>("\x06", group));
        QVERIFY(printers.back()->Listening());
        arguments << printers.back()->Address();
    }
    const ChildRun run = RunChild(kKivoSend, arguments, 60000);
    QCOMPARE(run.code, 0);
    QCOMPARE(group.most, 2);
    // Every event says whose it is; the end has a row a printer and a total.
    QCOMPARE(run.out.count(QLatin1String("\"event\":\"printer\"")), 10);
    QVERIFY(run.out.contains(QLatin1String("\"event\":\"total\"")));
    for (const QString& line : run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(line.contains(QLatin1String("\"event\":\"total\"")) || line.contains(QLatin1String("\"address\"")),
                 qPrintable(line));
}

// A /24 of the test's own on a veth pair: three printers among its addresses.
void FleetTest::eachFoundTestsEveryPrinterOfTheNetwork() {
    PrivateNetwork network;
    if (!network.Error().isEmpty()) QSKIP(qPrintable(network.Error()));
    for (const QStringList& step :
         QList<QStringList>{{"link", "add", "kfleet0", "type", "veth", "peer", "name", "kfleet1"},
                            {"addr", "add", "192.168.79.1/24", "dev", "kfleet0"},
                            {"link", "set", "kfleet0", "up"},
                            {"link", "set", "kfleet1", "up"}})
        if (!Ip(step)) QSKIP(qPrintable(QStringLiteral("ip ") + step.join(' ') + QStringLiteral(" failed")));
    AnsweringPrinter::Group group;
    std::vector<std::unique_ptr<AnsweringPrinter>> printers;
    for (const char* address : {"192.168.79.20", "192.168.79.7", "192.168.79.200"}) {
        QVERIFY(Ip({"addr", "add", QString::fromLatin1(address) + "/24", "dev", "kfleet0"}));
        printers.push_back(std::make_unique<AnsweringPrinter>("\x06", group, QString::fromLatin1(address)));
        QVERIFY(printers.back()->Listening());
    }
    const ChildRun run = RunChild(
        kKivoSend, {QStringLiteral("--each-found"), QStringLiteral("192.168.79.0/24"), QStringLiteral("--vek-test")},
        60000);
    QCOMPARE(run.code, 0);
    const QStringList lines = run.out.trimmed().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines[1].startsWith(QLatin1String("192.168.79.7:9100")));
    QVERIFY(lines[2].startsWith(QLatin1String("192.168.79.20:9100")));
    QVERIFY(lines[3].startsWith(QLatin1String("192.168.79.200:9100")));
    QCOMPARE(lines[4].left(18), QStringLiteral("3 printers: 3 OK; "));
}

// The dialog finds three printers on a loopback /24, all are selected, and each
// row's Result shows that printer's answer.
void FleetTest::testSelectedShowsEachPrintersAnswer() {
    const QStringList parts = RandomLoopbackAddress().split(QLatin1Char('.'));
    const QString net = QStringLiteral("127.%1.%2.").arg(parts[1], parts[2]);
    AnsweringPrinter::Group group;
    AnsweringPrinter ack("\x06", group, net + QStringLiteral("11"));
    AnsweringPrinter out("\x10", group, net + QStringLiteral("12"));
    AnsweringPrinter silent("", group, net + QStringLiteral("13"));
    QVERIFY(ack.Listening() && out.Listening() && silent.Listening());
    FindDialog dialog(nullptr, NameLookup{}, [net] { return std::vector<Ipv4Network>{*ReadNetwork(net + "0/24")}; });
    dialog.StartSearch();
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.Search().Running(), 20000);
    auto* list = dialog.findChild<QTreeWidget*>(QStringLiteral("LstPrinters"));
    QCOMPARE(list->topLevelItemCount(), 3);
    list->selectAll();
    // The silent printer's answer may take the session's 10 s.
    dialog.findChild<QPushButton*>(QStringLiteral("CmdTestSelected"))->click();
    QTRY_COMPARE_WITH_TIMEOUT(dialog.Testing(), 0, 30000);
    const int result = list->headerItem()->columnCount() - 1;
    QCOMPARE(list->headerItem()->text(result), QStringLiteral("Result"));
    QStringList results;
    for (int row = 0; row < 3; ++row)
        results << list->topLevelItem(row)->text(0) + QLatin1Char('=') + list->topLevelItem(row)->text(result);
    results.sort();
    QCOMPARE(results, (QStringList{net + "11=Ticket ACK", net + "12=Out of Tickets", net + "13=no answer"}));
}

QTEST_MAIN(FleetTest)
#include "fleet_test.moc"
