// The Ping button's report, the echo over real ICMP sockets (this host's
// loopback, or a network namespace of the test's own) and the status texts.
// Nothing here sends to an address outside 127.0.0.0/8, but inside a namespace
// of its own with loopback alone, where 192.0.2.1 has no route.
#include "ping/ping.h"
#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

using namespace kivo;

// What a scripted echo hands back.
struct Echoed {
    std::int32_t status = 0;
    std::uint32_t rtt = 0;
    std::uint16_t size = 0, reserved = 0;
    std::uint8_t ttl = 0;
    bool sent = true;
};
// A packet the far end sends on seeing the request: an echo reply (type 0) or
// an ICMP error quoting it; the deltas make it about another echo.
struct Answer {
    int type = 0, code = 0, ttl = 64;
    std::uint16_t idDelta = 0, sequenceDelta = 0;
};
Q_DECLARE_METATYPE(Echoed)
Q_DECLARE_METATYPE(Answer)

namespace {

const QByteArray kPayload(kPingPayload);
const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);
const char kNoSocket[] =
    "no ICMP socket of this kind: the program lacks CAP_NET_RAW or its group is outside net.ipv4.ping_group_range";

using FakeConsole = kivo::test::ListConsole;

// Only a hang takes this long: every run ends within about two seconds.
constexpr int kHangMs = 60000;

// The real echo with the socket kinds allowed. Outside a network namespace of
// the test's own it refuses all but loopback, so no test can reach another host.
EchoStart RealEcho(unsigned kinds, bool ownNamespace = false) {
    return [=](std::uint32_t to, const QByteArray& payload, EchoReply& reply, EchoDone done) {
        if (!ownNamespace && ntohl(to) >> 24 != 127) return done({-2, false}), std::unique_ptr<QObject>();
        return IcmpEcho(to, payload, reply, std::move(done), kinds);
    };
}

// Runs a ping to its end with the event loop turning; its counts, none on a hang.
std::optional<PingCounts> RunToEnd(PingRun& run) {
    std::optional<PingCounts> counts;
    QObject::connect(&run, &PingRun::Finished, &run, [&counts](const PingCounts& ended) { counts = ended; });
    QSignalSpy finished(&run, &PingRun::Finished);
    run.Start();
    if (!finished.wait(kHangMs)) return std::nullopt;
    return counts;
}

[[nodiscard]] bool CanOpen(unsigned kinds) { return ws::IcmpCloseHandle(ws::IcmpCreateFile(kinds)); }

// A private network namespace with ICMP datagram sockets allowed to all and the
// kernel's own echo replies switched as asked.
struct PingNetwork : kivo::test::PrivateNetwork {
    explicit PingNetwork(bool kernelAnswers) {
        if (Error().isEmpty() && (!SetIpv4("ping_group_range", "0 2147483647") ||
                                  !SetIpv4("icmp_echo_ignore_all", kernelAnswers ? "0" : "1")))
            error_ = QStringLiteral("cannot set up ICMP in the namespace: ") + WriteError();
    }
    [[nodiscard]] QString Why() const { return error_.isEmpty() ? Error() : error_; }
    QString error_;
};

void Finish(std::vector<std::uint8_t>& icmp) {
    icmp[2] = icmp[3] = 0;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < icmp.size(); ++i) sum += (i % 2) ? icmp[i] : icmp[i] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    icmp[2] = static_cast<std::uint8_t>(~sum >> 8), icmp[3] = static_cast<std::uint8_t>(~sum);
}

void Add16(std::uint8_t* p, std::uint16_t delta) {
    const auto v = static_cast<std::uint16_t>((p[0] << 8 | p[1]) + delta);
    p[0] = static_cast<std::uint8_t>(v >> 8), p[1] = static_cast<std::uint8_t>(v);
}

// The far end in a private namespace: a raw socket that waits at most two
// seconds for one echo request, sends the scripted answers to it and stops.
class Responder {
public:
    explicit Responder(QList<Answer> script) : fd_(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)) {
        thread_ = std::thread([this, script = std::move(script)] { Run(script); });
    }
    ~Responder() {
        thread_.join();
        close(fd_);
    }

private:
    void Run(const QList<Answer>& script) {
        std::vector<std::uint8_t> request(65536);
        std::size_t ip = 0;
        for (pollfd waiting{fd_, POLLIN, 0};;) {
            if (poll(&waiting, 1, 2000) <= 0) return;
            const ssize_t n = recv(fd_, request.data(), request.size(), 0);
            ip = (request[0] & 0x0Fu) * 4u;
            if (n >= 28 && request[ip] == 8) {
                request.resize(static_cast<std::size_t>(n));
                break;
            }
        }
        for (const Answer& answer : script) {
            std::vector<std::uint8_t> icmp(request.begin() + ip, request.end());
            std::uint8_t* echo = icmp.data();
            if (answer.type) {
                icmp = {
                    static_cast<std::uint8_t>(answer.type), static_cast<std::uint8_t>(answer.code), 0, 0, 0, 0, 0, 0};
                icmp.insert(icmp.end(), request.begin(), request.begin() + ip + 8);
                echo = icmp.data() + 8 + ip;
            }
            icmp[0] = static_cast<std::uint8_t>(answer.type);
            Add16(echo + 4, answer.idDelta), Add16(echo + 6, answer.sequenceDelta);
            Finish(icmp);
            setsockopt(fd_, IPPROTO_IP, IP_TTL, &answer.ttl, sizeof answer.ttl);
            sockaddr_in to{};
            to.sin_family = AF_INET, to.sin_addr.s_addr = kLoopback;
            sendto(fd_, icmp.data(), icmp.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    }
    int fd_;
    std::thread thread_;
};

}  // namespace

class PingTest : public QObject {
    Q_OBJECT
private slots:
    void statusText_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        // The odd ones out in case and spelling, and the edges of the gaps in the table.
        const std::pair<int, const char*> rows[] = {{0, "IP Success"},
                                                    {-1, "inet_addr: bad IP format"},
                                                    {500, "ping timeout"},
                                                    {11001, "ip buf too_small"},
                                                    {11010, "IP Request timed out"},
                                                    {11015, "ip param_problem"},
                                                    {11020, "ip spec mtu change"},
                                                    {11023, "ip addr added"},
                                                    {11024, "unknown  msg returned"},
                                                    {11049, "unknown  msg returned"},
                                                    {11050, "ip general failure"},
                                                    {11051, "unknown  msg returned"},
                                                    {11254, "unknown  msg returned"},
                                                    {11255, "ip pending"},
                                                    {11256, "unknown  msg returned"},
                                                    {11000, "unknown  msg returned"}};
        for (const auto& [status, text] : rows) QTest::addRow("%d", status) << status << QString(text);
    }
    void statusText() {
        QFETCH(int, status);
        QFETCH(QString, text);
        QCOMPARE(IcmpStatusText(status), text);
    }

    void reportOfEchoes_data() {
        QTest::addColumn<QList<Echoed>>("echoes");
        QTest::addColumn<QStringList>("incoming");
        QTest::addColumn<QStringList>("statistics");
        const QString reply = "Reply from 127.0.0.1: bytes=%1 Time = %2 ms TTL =%3";
        // The reserved word beside the size is no part of it; the TTL is unsigned.
        QTest::newRow("every echo answered")
            << QList<Echoed>{{0, 1, 35, 0, 64},
                             {0, 0, 35, 0xFFFF, 64},
                             {0, 499, 250, 1, 255},
                             {0, 4000000000u, 35, 0, 1}}
            << QStringList{reply.arg(35).arg(1).arg(64), reply.arg(35).arg(0).arg(64), reply.arg(250).arg(499).arg(255),
                           reply.arg(35).arg(4000000000u).arg(1)}
            << QStringList{"Packets: Sent = 4 Received = 4 Lost = 0",
                           "Times: Minimum = 0 ms Maximum = 4000000000 ms Average = 1000000125 ms"};
        // A failed echo's record may hold leftovers: only its status may show.
        QTest::newRow("failures among replies")
            << QList<Echoed>{{11010, 7, 35, 0, 64}, {0, 2, 35, 0, 64}, {11003, 0, 35, 0, 64}, {11030}}
            << QStringList{"IP Request timed out", reply.arg(35).arg(2).arg(64), "ip dest host unreachable",
                           "unknown  msg returned"}
            << QStringList{"Packets: Sent = 4 Received = 1 Lost = 3",
                           "Times: Minimum = 2 ms Maximum = 2 ms Average = 2 ms"};
        // Echoes the system refused to send are not counted as sent, nor as lost.
        QTest::newRow("refused by the system")
            << QList<Echoed>{{11002, 0, 0, 0, 0, false}, {0, 3, 35, 0, 64}, {11006, 0, 0, 0, 0, false}, {11010}}
            << QStringList{"ip dest net unreachable", reply.arg(35).arg(3).arg(64), "ip no resources",
                           "IP Request timed out"}
            << QStringList{"Packets: Sent = 2 Received = 1 Lost = 1",
                           "Times: Minimum = 3 ms Maximum = 3 ms Average = 3 ms"};
        // The average is rounded to the nearest millisecond.
        QTest::newRow("average rounded") << QList<Echoed>{{0, 1, 35, 0, 64}, {0, 2, 35, 0, 64}, {11010}, {11010}}
                                         << QStringList{reply.arg(35).arg(1).arg(64), reply.arg(35).arg(2).arg(64),
                                                        "IP Request timed out", "IP Request timed out"}
                                         << QStringList{"Packets: Sent = 4 Received = 2 Lost = 2",
                                                        "Times: Minimum = 1 ms Maximum = 2 ms Average = 2 ms"};
    }
    void reportOfEchoes() {
        QFETCH(QList<Echoed>, echoes);
        QFETCH(QStringList, incoming);
        QFETCH(QStringList, statistics);
        QList<std::uint32_t> addresses;
        QList<QByteArray> payloads;
        const auto fakeEcho = [&](std::uint32_t address, const QByteArray& payload, EchoReply& reply,
                                  const EchoDone& done) {
            addresses << address, payloads << payload;
            const Echoed e = echoes.value(addresses.size() - 1);
            reply.header.Status = static_cast<std::uint32_t>(e.status), reply.header.RoundTripTime = e.rtt;
            reply.header.DataSize = e.size, reply.header.Reserved = e.reserved, reply.header.Options.Ttl = e.ttl;
            return done({e.status, e.sent}), nullptr;
        };
        FakeConsole console("127.0.0.1");
        PingRun run(console, "127.0.0.1", fakeEcho);
        QVERIFY(RunToEnd(run));
        QCOMPARE(console.incoming, incoming);
        QCOMPARE(
            console.outgoing,
            QStringList({"Pinging 127.0.0.1 with 35 bytes of data.", "Ping statistics for 127.0.0.1"}) + statistics);
        QCOMPARE(addresses, QList<std::uint32_t>(4, kLoopback));
        QCOMPARE(payloads, QList<QByteArray>(4, "Kivo Systems Thermal Ticket Printer"));
    }

    // An echo that cannot go out is not counted as sent.
    void badAddressSendsNothing_data() {
        QTest::addColumn<QString>("address");
        QTest::newRow("all bits set") << "255.255.255.255";
        QTest::newRow("host name") << "localhost";
        QTest::newRow("five parts") << "127.0.0.1.5";
        QTest::newRow("NUL inside") << QString::fromLatin1("127.0.0.1\0junk", 14);
        QTest::newRow("percent signs") << "%1%2";
    }
    void badAddressSendsNothing() {
        QFETCH(QString, address);
        int echoes = 0;
        FakeConsole console(address);
        PingRun run(console, address, [&](std::uint32_t, const QByteArray&, EchoReply&, const EchoDone& done) {
            return ++echoes, done({}), nullptr;
        });
        const std::optional<PingCounts> counts = RunToEnd(run);
        QVERIFY(counts && counts->badAddress);
        QCOMPARE(console.incoming, QStringList(4, "inet_addr: bad IP format"));
        QCOMPARE(console.outgoing,
                 (QStringList{"Pinging " + address + " with 35 bytes of data.", "Ping statistics for " + address,
                              "Packets: Sent = 0 Received = 0 Lost = 0"}));
        QCOMPARE(echoes, 0);
    }

    void emptyAddressIsRefusedLikeConnect_data() {
        QTest::addColumn<QString>("address");
        QTest::newRow("empty") << "";
        QTest::newRow("blanks") << "   ";
    }
    void emptyAddressIsRefusedLikeConnect() {
        QFETCH(QString, address);
        FakeConsole console(address);
        PingRun run(console, address, [](std::uint32_t, const QByteArray&, EchoReply&, const EchoDone& done) {
            return done({}), nullptr;
        });
        const std::optional<PingCounts> counts = RunToEnd(run);
        QVERIFY(counts && counts->badAddress);
        QCOMPARE(console.outgoing,
                 QStringList{"No printer address to connect to: enter its IP address or host name first"});
        QVERIFY(console.incoming.isEmpty());
    }

    // A system that lets no echo out is named once, with the setting; nothing counts as sent.
    void noIcmpSocketIsToldNotFaked() {
        FakeConsole console("127.0.0.1");
        PingRun run(console, "127.0.0.1", RealEcho(0));
        const std::optional<PingCounts> counts = RunToEnd(run);
        QVERIFY(counts && counts->notAllowed);
        QCOMPARE(console.incoming, QStringList{"ip general failure"});
        QCOMPARE(console.outgoing,
                 (QStringList{"Pinging 127.0.0.1 with 35 bytes of data.",
                              "No echo was sent: this system lets the program open neither an ICMP datagram socket "
                              "nor a raw one. Allow its group in net.ipv4.ping_group_range (sysctl), or give it the "
                              "cap_net_raw capability.",
                              "Ping statistics for 127.0.0.1", "Packets: Sent = 0 Received = 0 Lost = 0"}));
    }

    void pingLoopback_data() {
        QTest::addColumn<unsigned>("kinds");
        QTest::addColumn<bool>("ownNamespace");
        QTest::newRow("this host, any socket") << (ws::kIcmpDatagramSocket | ws::kIcmpRawSocket) << false;
        QTest::newRow("own namespace, datagram socket") << ws::kIcmpDatagramSocket << true;
        QTest::newRow("own namespace, raw socket") << ws::kIcmpRawSocket << true;
    }
    void pingLoopback() {
        QFETCH(unsigned, kinds);
        QFETCH(bool, ownNamespace);
        std::optional<PingNetwork> network;
        if (ownNamespace && !network.emplace(true).Why().isEmpty()) QSKIP(qPrintable(network->Why()));
        if (!CanOpen(kinds)) QSKIP(kNoSocket);
        QFile defaultTtl("/proc/sys/net/ipv4/ip_default_ttl");
        QVERIFY(defaultTtl.open(QIODevice::ReadOnly));
        const int ttl = defaultTtl.readAll().trimmed().toInt();

        FakeConsole console("127.0.0.1");
        PingRun run(console, "127.0.0.1", RealEcho(kinds));
        QVERIFY(RunToEnd(run));
        qInfo().noquote() << '\n' + console.outgoing.join('\n') + '\n' + console.incoming.join('\n');
        QCOMPARE(console.outgoing.first(3),
                 (QStringList{"Pinging 127.0.0.1 with 35 bytes of data.", "Ping statistics for 127.0.0.1",
                              "Packets: Sent = 4 Received = 4 Lost = 0"}));
        QVERIFY2(QRegularExpression("^Times: Minimum = \\d+ ms Maximum = \\d+ ms Average = \\d+ ms$")
                     .match(console.outgoing.value(3))
                     .hasMatch(),
                 qPrintable(console.outgoing.join('\n')));
        QCOMPARE(console.incoming.size(), 4);
        const QRegularExpression line("^Reply from 127\\.0\\.0\\.1: bytes=35 Time = (\\d+) ms TTL =(\\d+)$");
        for (const QString& text : console.incoming) {
            const auto match = line.match(text);
            QVERIFY2(match.hasMatch() && match.captured(1).toInt() < 500, qPrintable(text));
            QCOMPARE(match.captured(2).toInt(), ttl);
        }
    }

    // Echoes that come to nothing: to a silent address each waits its 500 ms while
    // the event loop goes on; where there is no route the system refuses them.
    void echoesWithoutAnswer_data() {
        QTest::addColumn<unsigned>("kinds");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("sent");
        for (const auto& [kind, name] : {std::pair{ws::kIcmpDatagramSocket, "datagram"}, {ws::kIcmpRawSocket, "raw"}}) {
            QTest::addRow("silent, %s socket", name) << kind << "127.0.0.1" << int(ws::IP_REQ_TIMED_OUT) << true;
            QTest::addRow("no route, %s socket", name)
                << kind << "192.0.2.1" << int(ws::IP_DEST_NET_UNREACHABLE) << false;
        }
    }
    void echoesWithoutAnswer() {
        QFETCH(unsigned, kinds);
        QFETCH(QString, address);
        QFETCH(int, status);
        QFETCH(bool, sent);
        PingNetwork network(false);  // only loopback, where nobody answers an echo
        if (!network.Why().isEmpty()) QSKIP(qPrintable(network.Why()));
        if (!CanOpen(kinds)) QSKIP(kNoSocket);
        const int descriptors = kivo::test::OpenDescriptorCount();
        FakeConsole console(address);
        PingRun run(console, address, RealEcho(kinds, true));
        // A timer ticks on while each echo waits: the log's size at every tick
        // that finds an echo's socket open.
        QSet<qsizetype> ticks;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (kivo::test::OpenDescriptorCount() > descriptors) ticks << console.incoming.size();
        });
        tick.start(10);
        QElapsedTimer took;
        took.start();
        QVERIFY(RunToEnd(run));
        QCOMPARE(console.incoming, QStringList(4, IcmpStatusText(status)));
        QCOMPARE(console.outgoing.last(), QString("Packets: Sent = %1 Received = 0 Lost = %1").arg(sent ? 4 : 0));
        QCOMPARE(kivo::test::OpenDescriptorCount(), descriptors);  // each echo closed its socket
        if (!sent) return;
        QVERIFY2(ticks.contains(QSet<qsizetype>{0, 1, 2, 3}), qPrintable(QString::number(ticks.size())));
        QVERIFY(took.elapsed() >= 4 * qint64{kPingTimeoutMs});
        // A run ended mid-echo, as by the window closing, closes its socket.
        auto cut = std::make_unique<PingRun>(console, address, RealEcho(kinds, true));
        cut->Start();
        QVERIFY(QTest::qWaitFor([&] { return console.incoming.size() == 5; }, kHangMs));
        cut.reset();
        QCOMPARE(kivo::test::OpenDescriptorCount(), descriptors);
    }

    void echoMatchesItsAnswer_data() {
        QTest::addColumn<unsigned>("kinds");
        QTest::addColumn<QList<Answer>>("script");
        QTest::addColumn<std::uint32_t>("status");
        const std::tuple<const char*, QList<Answer>, std::uint32_t> cases[] = {
            {"reply with its own TTL", {{0, 0, 17}}, ws::IP_SUCCESS},
            {"replies to other echoes ignored", {{0, 0, 30, 1, 0}, {0, 0, 31, 0, 1}, {0, 0, 17}}, ws::IP_SUCCESS},
            {"error about another echo ignored", {{3, 1, 64, 0, 1}, {0, 0, 17}}, ws::IP_SUCCESS},
            {"host unreachable", {{3, 1}}, ws::IP_DEST_HOST_UNREACHABLE},
            {"TTL expired in transit", {{11, 0}}, ws::IP_TTL_EXPIRED_TRANSIT},
            {"source quench", {{4, 0}}, ws::IP_SOURCE_QUENCH},
        };
        for (const auto& [name, script, status] : cases) {
            QTest::addRow("raw socket, %s", name) << ws::kIcmpRawSocket << script << status;
            QTest::addRow("datagram socket, %s", name) << ws::kIcmpDatagramSocket << script << status;
        }
    }
    void echoMatchesItsAnswer() {
        QFETCH(unsigned, kinds);
        QFETCH(QList<Answer>, script);
        QFETCH(std::uint32_t, status);
        PingNetwork network(false);
        if (!network.Why().isEmpty()) QSKIP(qPrintable(network.Why()));
        if (!CanOpen(kinds | ws::kIcmpRawSocket)) QSKIP(kNoSocket);  // the far end needs a raw socket
        EchoReply reply;
        std::optional<EchoResult> result;
        Responder farEnd(script);
        const auto echo = IcmpEcho(
            kLoopback, kPayload, reply, [&result](EchoResult ended) { result = ended; }, kinds);
        QVERIFY(QTest::qWaitFor([&result] { return result.has_value(); }, kHangMs));
        QCOMPARE(result->status, std::int32_t(status));
        QVERIFY(result->sent);
        QCOMPARE(reply.header.Status, status);
        QCOMPARE(reply.header.Address, kLoopback);
        if (status != ws::IP_SUCCESS) return;
        QCOMPARE(int(reply.header.Options.Ttl), 17);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(reply.data), reply.header.DataSize), kPayload);
    }
};

QTEST_GUILESS_MAIN(PingTest)
#include "ping_test.moc"
