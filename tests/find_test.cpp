// Finding printers: the network rules as values, then searches of a /24 of the
// test's own (a veth pair in a private namespace) with printers that speak, reset,
// keep sending, listen on another port or never accept, through the engine,
// kivo-send, the dialog and the window's button.
#include "console/find_dialog.h"
#include "console/frmkivo.h"
#include "link/printer_search.h"
#include "tests/support/window_support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTreeWidget>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <utility>

using namespace kivo;
using kivo::test::Button;
using kivo::test::Field;
using kivo::test::PrivateNetwork;

namespace {

constexpr const char* kNet = "192.168.77.0/24";
const QString kPowerOn = QStringLiteral("192.168.77.10");    // sends Power On when it accepts
const QString kResets = QStringLiteral("192.168.77.20");     // accepts and resets at once
const QString kOtherPort = QStringLiteral("192.168.77.30");  // listens on 9101 only
const QString kNeverAccepts = QStringLiteral("192.168.77.40");
const QString kRefuses = QStringLiteral("192.168.77.50");  // there, nothing listening

bool Ip(const QStringList& arguments) {
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    return ip.waitForFinished(10000) && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
}

// A /24 of the test's own: one end of a veth pair holds the machine's address
// .1 and the printers' addresses; nothing answers for the others.
struct SearchNetwork : PrivateNetwork {
    SearchNetwork() {
        if (!Error().isEmpty()) return;
        const QList<QStringList> steps = {
            {"link", "add", "kfind0", "type", "veth", "peer", "name", "kfind1"},
            {"addr", "add", "192.168.77.1/24", "dev", "kfind0"},
            {"link", "set", "kfind0", "up"},
            {"link", "set", "kfind1", "up"},
        };
        for (const QStringList& step : steps)
            if (!Ip(step)) {
                why = QStringLiteral("cannot set up the veth pair: ip ") + step.join(' ');
                return;
            }
        for (const QString& a : {kPowerOn, kResets, kOtherPort, kNeverAccepts, kRefuses})
            if (!Ip({"addr", "add", a + "/24", "dev", "kfind0"})) {
                why = QStringLiteral("cannot add ") + a;
                return;
            }
    }
    [[nodiscard]] QString Why() const { return Error().isEmpty() ? why : Error(); }
    QString why;
};

// A printer of the network: on each connection it says `hello`, or resets.
class FakePrinter : public QObject {
public:
    enum class Kind { Says, Resets };
    FakePrinter(const QString& address, quint16 port, Kind kind, const QByteArray& hello = {}) {
        connect(&server_, &QTcpServer::newConnection, this, [this, kind, hello] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                if (kind == Kind::Resets) {
                    const linger reset{1, 0};
                    ::setsockopt(static_cast<int>(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    s->abort();
                    s->deleteLater();
                } else if (!hello.isEmpty()) {
                    s->write(hello);
                }
            }
        });
        server_.listen(QHostAddress(address), port);
    }
    [[nodiscard]] bool Listening() const { return server_.isListening(); }

private:
    QTcpServer server_;
};

// A listener whose accept queue is full: the kernel drops every further SYN.
class NeverAccepts {
public:
    NeverAccepts(const QString& address, quint16 port) {
        server_.setListenBacklogSize(0);
        server_.listen(QHostAddress(address), port);
        server_.pauseAccepting();
        filler_.connectToHost(server_.serverAddress(), port);
        filler_.waitForConnected(5000);
    }
    [[nodiscard]] bool Ready() const { return filler_.state() == QAbstractSocket::ConnectedState; }

private:
    QTcpServer server_;
    QTcpSocket filler_;
};

// A printer that keeps sending from the moment it accepts; once 64 KB have gone
// it calls `midway` right after a send, so what it just sent is still unread.
// It notes how the connection ended for it: "closed" for an orderly close (a
// read of 0), else the error its read or send saw first.
class ChattyPrinter : public QTcpServer {
public:
    ChattyPrinter(const QString& address, quint16 port, std::function<void()> midway) : midway_(std::move(midway)) {
        listen(QHostAddress(address), port);
    }
    ~ChattyPrinter() override {
        if (fd_ >= 0) ::close(fd_);
    }
    [[nodiscard]] const QString& End() const { return end_; }

protected:
    void incomingConnection(qintptr descriptor) override {
        fd_ = static_cast<int>(descriptor);  // the one connection a search makes
        const int now = 1;                   // each piece goes out as it is sent
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &now, sizeof now);
        auto* writable = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
        auto* readable = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(writable, &QSocketNotifier::activated, this, [this, writable] {
            const QByteArray status(512, '\x12');
            const ssize_t n = ::send(fd_, status.constData(), status.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN) {
                // A reset the send sees first is not left for the read to see.
                if (errno == ECONNRESET && end_.isEmpty()) end_ = QStringLiteral("ECONNRESET");
                writable->setEnabled(false);
            }
            if (n > 0 && (sent_ += n) >= 65536 && midway_) std::exchange(midway_, {})();
        });
        connect(readable, &QSocketNotifier::activated, this, [this, readable] {
            char byte;
            const ssize_t n = ::recv(fd_, &byte, 1, MSG_DONTWAIT);
            if (n > 0 || (n < 0 && errno == EAGAIN)) return;
            if (end_.isEmpty())
                end_ = n == 0 ? QStringLiteral("closed") : QString::fromLatin1(::strerrorname_np(errno));
            readable->setEnabled(false);
        });
    }

private:
    std::function<void()> midway_;
    int fd_ = -1;
    qint64 sent_ = 0;
    QString end_;
};

// A name for the printer that speaks, none for the rest; never the machine's resolver.
QString TestNames(quint32 address) {
    return Ipv4Text(address) == kPowerOn ? QStringLiteral("ticket-printer.test") : QString();
}

// "address:port name [said]" of each printer found, sorted.
QStringList Summary(const std::vector<FoundPrinter>& printers) {
    QStringList out;
    for (const FoundPrinter& p : printers)
        out << QStringLiteral("%1:%2 %3[%4]").arg(p.Address()).arg(p.port).arg(p.name, p.SaidLines().join(','));
    out.sort();
    return out;
}

Ipv4Network Net(const char* text) { return *ReadNetwork(QString::fromLatin1(text)); }

struct Run {
    int code = -1;
    QString out;
};

// kivo-send with the event loop turning, so the printers of this process answer.
Run KivoSend(const QStringList& arguments) {
    const kivo::test::ChildRun run = kivo::test::RunChild(QStringLiteral(KIVO_SEND_PATH), arguments, 60000);
    return {run.code, run.out + run.err};
}

}  // namespace

class FindTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void networksAreReadAndChosen_data();
    void networksAreReadAndChosen();
    void countLineAndPortList();
    void searchFindsExactlyTheListeningPrinters();
    void searchIsBoundedAndStops();
    void kivoSendFindsAndRefuses();
    void dialogListsAndChooses();
    void windowButtonPutsTheChosenAddressInTheBox();

private:
    std::unique_ptr<SearchNetwork> network_;
    std::vector<std::unique_ptr<FakePrinter>> printers_;
    std::unique_ptr<NeverAccepts> neverAccepts_;
    QString skip_;
};

void FindTest::initTestCase() {
    network_ = std::make_unique<SearchNetwork>();
    skip_ = network_->Why();
    if (!skip_.isEmpty()) return network_.reset();
    printers_.push_back(std::make_unique<FakePrinter>(kPowerOn, 9100, FakePrinter::Kind::Says, QByteArray("\x12")));
    printers_.push_back(std::make_unique<FakePrinter>(kResets, 9100, FakePrinter::Kind::Resets));
    printers_.push_back(std::make_unique<FakePrinter>(kOtherPort, 9101, FakePrinter::Kind::Says));
    for (const auto& p : printers_) QVERIFY(p->Listening());
    neverAccepts_ = std::make_unique<NeverAccepts>(kNeverAccepts, 9100);
    QVERIFY(neverAccepts_->Ready());
}

void FindTest::cleanupTestCase() {
    neverAccepts_.reset();
    printers_.clear();
    network_.reset();
}

void FindTest::networksAreReadAndChosen_data() {
    // clang-format off
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("read");  // "" when refused
    QTest::newRow("a /24") << "192.168.1.0/24" << "192.168.1.0/24";
    QTest::newRow("an address in it") << " 192.168.1.77/24 " << "192.168.1.0/24";
    QTest::newRow("a /32") << "10.1.2.3/32" << "10.1.2.3/32";
    QTest::newRow("no bits") << "192.168.1.0" << "";
    QTest::newRow("too many bits") << "192.168.1.0/33" << "";
    QTest::newRow("signed bits") << "192.168.1.0/+24" << "";
    QTest::newRow("short address") << "192.168.1/24" << "";
    QTest::newRow("octet too big") << "192.168.256.0/24" << "";
    QTest::newRow("a name") << "printers.example/24" << "";
    // clang-format on
}

void FindTest::networksAreReadAndChosen() {
    QFETCH(QString, given);
    QFETCH(QString, read);
    const std::optional<Ipv4Network> network = ReadNetwork(given);
    QCOMPARE(network ? network->Text() : QString(), read);

    // The machine's own networks, once for all rows.
    if (QByteArray(QTest::currentDataTag()) != "a /24") return;
    const std::vector<InterfaceAddress> addresses = {
        {0x7F000001, 8, true},    // loopback
        {0xA9FE0102, 16, false},  // 169.254.1.2/16, link-local
        {0xC0A80142, 24, false},  // 192.168.1.66/24
        {0xC0A80107, 24, false},  // 192.168.1.7/24, the same network again
        {0x0A000010, 8, false},   // 10.0.0.16/8: the /24 around it
        {0xAC100305, 22, false},  // 172.16.3.5/22 stays whole
        {0xAC100306, 30, false},  // inside that /22
    };
    QStringList chosen;
    for (const Ipv4Network& n : NetworksToSearch(addresses)) chosen << n.Text();
    QCOMPARE(chosen, QStringList({"172.16.0.0/22", "192.168.1.0/24", "10.0.0.0/24"}));
    QCOMPARE(Net("192.168.1.0/24").HostCount(), 254u);
    QCOMPARE(Net("192.168.1.0/31").HostCount(), 2u);
    QCOMPARE(Ipv4Text(Net("172.16.0.0/22").Host(1021)), QStringLiteral("172.16.3.254"));
}

void FindTest::countLineAndPortList() {
    SearchPlan plan;
    plan.networks = {Net("192.168.1.0/24")};
    QCOMPARE(SearchCountLine(3, plan, 254, 1.23, false),
             QStringLiteral("3 printers answered on port 9100 among 254 addresses of 192.168.1.0/24, in 1.2 s"));
    plan.networks.push_back(Net("10.0.0.0/24"));
    plan.ports = {9100, 9101, 9102};
    QCOMPARE(SearchCountLine(1, plan, 40, 0.44, true),
             QStringLiteral("1 printer answered on ports 9100, 9101 and 9102 among 40 of 508 addresses of "
                            "192.168.1.0/24 and 10.0.0.0/24, stopped after 0.4 s"));

    // The dialog's field and kivo-send's --find-port (which adds to 9100) read alike.
    using Ports = std::vector<quint16>;
    QCOMPARE(ReadSearchPorts("9100").ports, Ports{9100});
    QCOMPARE(ReadSearchPorts(" 9100-9102, 515 9101").ports, (Ports{9100, 9101, 9102, 515}));
    QCOMPARE(ReadSearchPorts("9101-9102", {9100}).ports, (Ports{9100, 9101, 9102}));
    QCOMPARE(ReadSearchPorts("1-64").ports.size(), size_t(64));
    for (const char* bad : {"", "0", "65536", "9102-9100", "91oo", "-5", "9100--9101", "+9100"}) {
        const SearchPorts read = ReadSearchPorts(QString::fromLatin1(bad));
        QVERIFY2(read.ports.empty() && read.refusal.startsWith(QStringLiteral("\"%1\" is no list of ports: ").arg(bad)),
                 bad);
    }
    QCOMPARE(ReadSearchPorts("1-65535").refusal,
             QStringLiteral("\"1-65535\" makes 65535 ports to try; a search tries at most 64"));
    const SearchPorts over = ReadSearchPorts("9101-9164", {9100});
    QVERIFY(over.ports.empty());
    QCOMPARE(over.refusal,
             QStringLiteral("\"9101-9164\" makes 65 ports to try with port 9100; a search tries at most 64"));
}

void FindTest::searchFindsExactlyTheListeningPrinters() {
    if (!skip_.isEmpty()) QSKIP(qPrintable(skip_));
    // In the namespace, the machine's own networks are the test's /24.
    const std::vector<Ipv4Network> own = NetworksToSearch(InterfaceAddresses());
    QCOMPARE(own.size(), size_t(1));
    QCOMPARE(own.front().Text(), QString::fromLatin1(kNet));

    PrinterSearch search;
    QSignalSpy finished(&search, &PrinterSearch::Finished);
    QSignalSpy done(&search, &PrinterSearch::PrinterDone);
    SearchPlan plan;
    plan.networks = own;
    plan.ports = {9100, 9101};
    plan.lookup = TestNames;
    search.Start(plan);
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.front().front().toBool(), false);
    const QStringList expected = {"192.168.77.10:9100 ticket-printer.test[Power On]", "192.168.77.20:9100 []",
                                  "192.168.77.30:9101 []"};
    QCOMPARE(Summary(search.Printers()), expected);
    QCOMPARE(done.size(), 3);
    QCOMPARE(search.Tried(), search.Total());
    QCOMPARE(search.Total(), qint64(254));  // addresses, whatever the ports
    QVERIFY2(search.CountLine().startsWith(
                 "3 printers answered on ports 9100 and 9101 among 254 addresses of 192.168.77.0/24, in "),
             qPrintable(search.CountLine()));

    // A /22 around the same addresses: the same printers, four times the addresses.
    plan.networks = {Net("192.168.76.0/22")};
    plan.ports = {9100};
    plan.lookup = {};
    search.Start(plan);
    QVERIFY(finished.wait(30000));
    QCOMPARE(Summary(search.Printers()), QStringList({"192.168.77.10:9100 [Power On]", "192.168.77.20:9100 []"}));
    QCOMPARE(search.Total(), qint64(1022));
    QCOMPARE(search.Tried(), qint64(1022));

    // A printer that keeps sending sees the connection closed in order, a read
    // of 0 and not a reset, even when the close finds its last bytes unread.
    ChattyPrinter chatty(kPowerOn, 9103, [&search] { search.Stop(); });
    QVERIFY(chatty.isListening());
    plan.networks = {Net("192.168.77.10/32")};
    plan.ports = {9103};
    plan.listenMs = 60000;  // heard until the printer's own Stop
    search.Start(plan);
    QVERIFY(finished.wait(30000));
    QCOMPARE(search.Printers().size(), size_t(1));
    QTRY_COMPARE(chatty.End(), QStringLiteral("closed"));
}

void FindTest::searchIsBoundedAndStops() {
    if (!skip_.isEmpty()) QSKIP(qPrintable(skip_));
    const int descriptors = kivo::test::OpenDescriptorCount();
    PrinterSearch search;
    QSignalSpy finished(&search, &PrinterSearch::Finished);
    int mostInFlight = 0;
    connect(&search, &PrinterSearch::Progress, this, [&] { mostInFlight = std::max(mostInFlight, search.InFlight()); });
    SearchPlan plan;
    plan.networks = {Net(kNet)};
    plan.maxInFlight = 16;  // 254 silent addresses, two ports, 16 connects at a time: long enough to stop
    plan.ports = {9109, 9110};
    search.Start(plan);
    // Between events the search holds exactly its limit.
    QTRY_VERIFY_WITH_TIMEOUT(search.Tried() >= 20 && search.InFlight() == 16, 30000);
    QVERIFY(search.Running());
    QVERIFY(kivo::test::OpenDescriptorCount() <= descriptors + 16);
    search.Stop();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.front().front().toBool(), true);
    QVERIFY(!search.Running());
    QCOMPARE(search.InFlight(), 0);
    QVERIFY(search.Tried() < search.Total());
    QVERIFY2(mostInFlight > 0 && mostInFlight <= 16, qPrintable(QString::number(mostInFlight)));
    QVERIFY(kivo::test::OpenDescriptorCount() <= descriptors);
    // The count line counts what Tried() does: addresses with every port tried.
    QVERIFY2(search.CountLine().contains(QRegularExpression(
                 QStringLiteral(" among %1 of 254 addresses of 192.168.77.0/24, stopped after \\d+\\.\\d s$")
                     .arg(search.Tried()))),
             qPrintable(search.CountLine()));
}

void FindTest::kivoSendFindsAndRefuses() {
    // Refused before anything is sent, namespace or not.
    const Run wide = KivoSend({"--find", "10.0.0.0/8"});
    QCOMPARE(wide.code, 64);
    QVERIFY2(wide.out.contains("wider than a /16"), qPrintable(wide.out));
    QCOMPARE(KivoSend({"--find", "192.168.77.0/33"}).code, 64);
    QCOMPARE(KivoSend({"--find", "--text", "x"}).code, 64);
    const Run ports = KivoSend({"--find", "--find-port", "1-65535"});
    QCOMPARE(ports.code, 64);
    QVERIFY2(ports.out.contains("--find-port \"1-65535\" makes 65535 ports to try with port 9100; a search tries at "
                                "most 64"),
             qPrintable(ports.out));
    if (!skip_.isEmpty()) QSKIP(qPrintable(skip_));

    // The machine's networks by default.
    const Run found = KivoSend({"--find", "--find-port", "9101-9102", "--numeric"});
    QCOMPARE(found.code, 0);
    QStringList lines = found.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QVERIFY2(lines.last().startsWith("3 printers answered on ports 9100, 9101 and 9102 among 254 addresses of "
                                     "192.168.77.0/24, in "),
             qPrintable(found.out));
    lines.removeLast();
    lines.sort();
    QVERIFY2(QRegularExpression("^192\\.168\\.77\\.10 port 9100, \\d+\\.\\d ms: Power On$").match(lines[0]).hasMatch(),
             qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith("192.168.77.20 port 9100, ") && lines[2].startsWith("192.168.77.30 port 9101, "),
             qPrintable(found.out));

    const Run json = KivoSend({"--find", kNet, "--json", "--numeric"});
    QCOMPARE(json.code, 0);
    QStringList said;
    QJsonObject last;
    for (const QString& line : json.out.split('\n', Qt::SkipEmptyParts)) {
        last = QJsonDocument::fromJson(line.toUtf8()).object();
        if (last["event"] == "printer")
            said << last["address"].toString() + " " + last["bytes"].toString() + " " +
                        last["said"].toVariant().toStringList().join(',');
    }
    said.sort();
    QCOMPARE(said, QStringList({"192.168.77.10 12 Power On", "192.168.77.20  "}));
    QCOMPARE(last["event"].toString(), QStringLiteral("done"));
    QCOMPARE(last["printers"].toInt(), 2);

    const Run none = KivoSend({"--find", "192.168.77.64/28", "--numeric"});
    QCOMPARE(none.code, 2);
    QVERIFY2(none.out.startsWith("0 printers answered on port 9100 among 14 addresses of 192.168.77.64/28, in "),
             qPrintable(none.out));
}

void FindTest::dialogListsAndChooses() {
    if (!skip_.isEmpty()) QSKIP(qPrintable(skip_));
    FindDialog dialog(nullptr, TestNames);
    QSignalSpy chosen(&dialog, &FindDialog::AddressChosen);
    dialog.show();
    dialog.findChild<QLineEdit*>("TxtFindPorts")->setText("9100-9101");
    dialog.StartSearch();
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.Search().Running(), 30000);
    auto* list = dialog.findChild<QTreeWidget*>("LstPrinters");
    QCOMPARE(list->topLevelItemCount(), 3);
    const auto* bar = dialog.findChild<QProgressBar*>("PrgFind");
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(bar->maximum(), 254);
    QCOMPARE(bar->text(), QStringLiteral("254 of 254 addresses tried"));
    QCOMPARE(dialog.findChild<QLabel*>("LblFindCount")->text(), dialog.Search().CountLine());
    QTreeWidgetItem* speaker = list->findItems(kPowerOn, Qt::MatchExactly).value(0);
    QVERIFY(speaker);
    QCOMPARE(speaker->text(1), QStringLiteral("ticket-printer.test"));
    QCOMPARE(speaker->text(3), QStringLiteral("Power On"));
    QVERIFY(!list->findItems(kOtherPort + ":9101", Qt::MatchExactly).isEmpty());

    list->setFocus();
    list->setCurrentItem(speaker);
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(chosen.size(), 1);
    QCOMPARE(chosen.front().front().toString(), kPowerOn);
    QVERIFY(!dialog.isVisible());

    // Escape closes a dialog and ends its search; the bar and the count line
    // then say the same count of a two-port search.
    dialog.show();
    dialog.findChild<QLineEdit*>("TxtFindPorts")->setText("9109-9110");
    dialog.StartSearch();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.Search().Tried() >= 10, 30000);
    QVERIFY(dialog.Search().Running());
    QTest::keyClick(list, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QVERIFY(!dialog.Search().Running());
    QCOMPARE(dialog.Search().InFlight(), 0);
    QVERIFY(dialog.Search().Tried() < 254);
    QCOMPARE(bar->text(), QStringLiteral("%1 of 254 addresses tried").arg(dialog.Search().Tried()));
    const QString count = dialog.findChild<QLabel*>("LblFindCount")->text();
    QVERIFY2(count.contains(QStringLiteral(" among %1 of 254 addresses ").arg(dialog.Search().Tried())),
             qPrintable(count));
}

void FindTest::windowButtonPutsTheChosenAddressInTheBox() {
    if (!skip_.isEmpty()) QSKIP(qPrintable(skip_));
    frmkivo w;
    w.SetNameLookup({});
    w.show();
    QPushButton* find = Button(w, "CmdFind");
    QCOMPARE(find->text(), QStringLiteral("Find Printers"));
    QCOMPARE(find->geometry(), QRect(552, 24, 97, 33));  // 8280, 360, 1455 x 495 twips
    find->click();
    QPointer<FindDialog> dialog = w.FindPrinters();
    QVERIFY(dialog && dialog->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!dialog->Search().Running(), 30000);
    auto* list = dialog->findChild<QTreeWidget*>("LstPrinters");
    QTreeWidgetItem* row = list->findItems(kResets, Qt::MatchExactly).value(0);
    QVERIFY(row);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(row).center());
    QCOMPARE(list->currentItem(), row);
    QTest::keyClick(list, Qt::Key_Enter);
    QCOMPARE(Field(w, "IP_Address")->text(), kResets);
    QTRY_VERIFY(!dialog);  // closed and gone
}

QTEST_MAIN(FindTest)
#include "find_test.moc"
