// The printer's reading of the command stream, without sockets: answers, ticket
// and image boundaries, faults, and memory that stays flat over a long stream.
#include "printer_stream.h"

#include <QTest>

#include <sys/resource.h>

using namespace kivo::emu;

Q_DECLARE_METATYPE(kivo::emu::PrinterSettings)

namespace {

QByteArray bytes(std::span<const std::uint8_t> s) {
    return QByteArray(reinterpret_cast<const char*>(s.data()), qsizetype(s.size()));
}
std::span<const std::uint8_t> span(const QByteArray& b) {
    return {reinterpret_cast<const std::uint8_t*>(b.constData()), std::size_t(b.size())};
}

// Keeps everything the stream reports, for the small streams of the tables.
struct Recorder : PrinterStream::Sink {
    QByteArray answers, ticketData, imageData;
    QList<quint64> ticketSizes;
    QList<TicketEvent> tickets;
    QList<ImageEvent> images;
    QList<QByteArray> illegal;
    quint64 dropped = 0;

    void answer(std::uint8_t s) override { answers += char(s); }
    void ticketBytes(std::span<const std::uint8_t> b) override { ticketData += bytes(b); }
    void ticketEnded(const TicketEvent& t) override {
        tickets << t;
        ticketSizes << t.bytes;
    }
    void ticketDropped(std::uint64_t n) override { dropped += n; }
    void imageBytes(std::span<const std::uint8_t> b) override { imageData += bytes(b); }
    void imageEnded(const ImageEvent& i) override { images << i; }
    void illegalData(std::span<const std::uint8_t> c) override { illegal << bytes(c); }
};

// Feeds one connection's stream in the given pieces, then ends the connection.
Recorder run(const PrinterSettings& settings, const QList<QByteArray>& pieces) {
    PrinterStream stream(settings);
    Recorder r;
    for (const QByteArray& piece : pieces) stream.feed(span(piece), r);
    stream.endConnection(r);
    return r;
}

PrinterSettings plain() { return {}; }
PrinterSettings stock(std::uint64_t n) {
    PrinterSettings s;
    s.tickets = n;
    return s;
}
PrinterSettings jamAfter(std::uint64_t n) {
    PrinterSettings s;
    s.jamAfter = n;
    return s;
}
PrinterSettings ribbonLowAfter(std::uint64_t n) {
    PrinterSettings s;
    s.ribbonLowAfter = n;
    return s;
}
PrinterSettings nakOn(const QByteArray& text, std::uint64_t tickets = PrinterSettings::Unlimited) {
    PrinterSettings s;
    s.nakOn.assign(text.begin(), text.end());
    s.tickets = tickets;
    return s;
}

}  // namespace

class TestPrinterStream : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void ticketBoundaries_data();
    void ticketBoundaries();
    void imageCutShortByDisconnect();
    void printerStateOutlivesConnection();
    void gigabyteStreamRetainsNothing();
};

void TestPrinterStream::answers_data() {
    QTest::addColumn<PrinterSettings>("settings");
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("completeImages");

    const QByteArray ack("\x06"), oot("\x10"), nak("\x15"), low("\x16"), jam("\x18"), bad("\x19");
    QTest::newRow("VEK print command") << plain() << QByteArray("<p>") << ack << 0;
    QTest::newRow("HP PCL form feed") << plain() << QByteArray("\x0c") << ack << 0;
    QTest::newRow("VEK copy header and ticket") << plain() << QByteArray("<RL><F6><RC90,40>1Hello<p>") << ack << 0;
    QTest::newRow("two tickets, text left unprinted") << plain() << QByteArray("A<p>B\x0c" "C") << ack + ack << 0;
    QTest::newRow("text alone prints nothing") << plain() << QByteArray("Hello, no print here") << QByteArray() << 0;
    QTest::newRow("capital P is not the print command") << plain() << QByteArray("<P>") << QByteArray() << 0;
    QTest::newRow("stray < before the print command") << plain() << QByteArray("a<b<p>") << ack << 0;
    QTest::newRow("unclosed command before print") << plain() << QByteArray("<RC90,40<p>") << ack << 0;
    QTest::newRow("form feed inside a command prints") << plain() << QByteArray("<RL\x0c") << ack << 0;
    QTest::newRow("overlong command is text") << plain() << "<" + QByteArray(100, 'x') + "<p>" << ack << 0;
    QTest::newRow("image holding <p> and form feed")
        << plain() << QByteArray("<SP100,100><pcx><G10>ab<p>\x0c<p>c<p>") << ack << 1;
    QTest::newRow("image ending in half a print command")
        << plain() << QByteArray("<G2><p<G1>><p>") << ack << 2;
    QTest::newRow("empty image") << plain() << QByteArray("<G0><p>") << ack << 1;
    QTest::newRow("length with leading zeros") << plain() << QByteArray("<G003>abc<p>") << ack << 1;
    QTest::newRow("largest length, cut short") << plain() << QByteArray("<G2147483647>abc<p>") << QByteArray() << 0;
    QTest::newRow("letters in length") << plain() << QByteArray("<G12a><p>") << bad + ack << 0;
    QTest::newRow("no length") << plain() << QByteArray("<G><p>") << bad + ack << 0;
    QTest::newRow("negative length") << plain() << QByteArray("<G-1><p>") << bad + ack << 0;
    QTest::newRow("blank in length") << plain() << QByteArray("<G 5><p>") << bad + ack << 0;
    QTest::newRow("length past 32-bit signed") << plain() << QByteArray("<G2147483648><p>") << bad + ack << 0;
    QTest::newRow("eleven digits") << plain() << QByteArray("<G00000000001><p>") << bad + ack << 0;
    QTest::newRow("unclosed length before print") << plain() << QByteArray("<G12<p>") << bad + ack << 0;
    QTest::newRow("endless digits") << plain() << "<G" + QByteArray(200, '7') + "<p>" << bad + ack << 0;
    QTest::newRow("bad length, then a good image") << plain() << QByteArray("<Gx><G2>ab<p>") << bad + ack << 1;
    QTest::newRow("stock runs out") << stock(2) << QByteArray("<p><p>\x0c") << ack + ack + oot << 0;
    QTest::newRow("no stock at all") << stock(0) << QByteArray("<p>") << oot << 0;
    QTest::newRow("jam after the first ticket") << jamAfter(1) << QByteArray("<p><p><p>") << ack + jam + jam << 0;
    QTest::newRow("jam comes before an empty stock")
        << [] { auto s = stock(0); s.jamAfter = 0; return s; }() << QByteArray("<p>") << jam << 0;
    QTest::newRow("ribbon low from the second ticket")
        << ribbonLowAfter(2) << QByteArray("<p><p><p>") << ack + ack + low + ack + low << 0;
    QTest::newRow("NAK text in the ticket") << nakOn("VOID") << QByteArray("VOID<p>OK<p>") << nak + ack << 0;
    QTest::newRow("NAK text after a false start") << nakOn("ABAC") << QByteArray("ABABAC<p>") << nak << 0;
    QTest::newRow("NAK text split over two tickets") << nakOn("VOID") << QByteArray("VO<p>ID<p>") << ack + ack << 0;
    QTest::newRow("NAK text inside image data") << nakOn("VOID") << QByteArray("<G4>VOID<p>") << ack << 1;
    QTest::newRow("NAK ticket takes no stock") << nakOn("X", 1) << QByteArray("X<p>Y<p>Y<p>") << nak + ack + oot << 0;
}

// Every row is fed whole, byte by byte, and split in two at every position: the
// printer must answer the same however the network cuts the stream.
void TestPrinterStream::answers() {
    QFETCH(PrinterSettings, settings);
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, expected);
    QFETCH(int, completeImages);

    QList<QList<QByteArray>> cuts{{stream}};
    QList<QByteArray> single;
    for (char c : stream) single << QByteArray(1, c);
    cuts << single;
    for (qsizetype at = 1; at < stream.size(); ++at) cuts << QList<QByteArray>{stream.left(at), stream.mid(at)};

    for (const auto& pieces : cuts) {
        const Recorder r = run(settings, pieces);
        const QByteArray how = QByteArray::number(pieces.size()) + " pieces, first " + pieces.first();
        QVERIFY2(r.answers == expected, how + ": answers " + r.answers.toHex(' '));
        QVERIFY2(r.ticketData == stream, how);  // every byte belongs to a ticket, in order
        int complete = 0;
        for (const ImageEvent& i : r.images) complete += i.complete() ? 1 : 0;
        QCOMPARE(complete, completeImages);
        QCOMPARE(r.illegal.size(), expected.count('\x19'));
    }
}

void TestPrinterStream::ticketBoundaries_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<quint64>>("sizes");
    QTest::addColumn<quint64>("dropped");

    QTest::newRow("commands and text count") << QByteArray("<RL>abc<p>\x0c") << QList<quint64>{10, 1} << quint64(0);
    QTest::newRow("image data belongs to its ticket")
        << QByteArray("<G3>x<p<p>rest") << QList<quint64>{10} << quint64(4);
    QTest::newRow("unfinished command is dropped with the ticket")
        << QByteArray("<p>ab<RC90") << QList<quint64>{3} << quint64(7);
}

void TestPrinterStream::ticketBoundaries() {
    QFETCH(QByteArray, stream);
    QFETCH(QList<quint64>, sizes);
    QFETCH(quint64, dropped);
    const Recorder r = run(plain(), {stream});
    QCOMPARE(r.ticketSizes, sizes);
    QCOMPARE(r.dropped, dropped);
}

void TestPrinterStream::imageCutShortByDisconnect() {
    const Recorder r = run(plain(), {"<SP100,100><pcx><G10>", "abc"});
    QCOMPARE(r.images.size(), 1);
    QCOMPARE(r.images[0].declared, quint64(10));
    QCOMPARE(r.images[0].received, quint64(3));
    QVERIFY(!r.images[0].complete());
    QCOMPARE(r.imageData, QByteArray("abc"));
    QVERIFY(r.tickets.isEmpty());
    QCOMPARE(r.dropped, quint64(24));
}

// Stock and counters belong to the printer; the half-read image belongs to the
// connection that ended, so the next client's "<p>" is a print, not image data.
void TestPrinterStream::printerStateOutlivesConnection() {
    PrinterStream stream(stock(2));
    Recorder first, second;
    stream.feed(span("<p><G5>ab"), first);
    stream.endConnection(first);
    stream.feed(span("<p><p>"), second);
    stream.endConnection(second);
    QCOMPARE(first.answers, QByteArray("\x06"));
    QCOMPARE(second.answers, QByteArray("\x06\x10"));
    QCOMPARE(second.tickets.size(), 2);
    QCOMPARE(second.tickets[0].number, quint64(2));
    QCOMPARE(stream.images(), quint64(1));
    QCOMPARE(first.images.size(), 1);
    QVERIFY(!first.images[0].complete());
}

namespace {
// Counts without keeping anything, as the server's own sink must over a long stream.
struct Counter : PrinterStream::Sink {
    quint64 answers = 0, acks = 0, ticketTotal = 0, tickets = 0, images = 0, imageTotal = 0;
    void answer(std::uint8_t s) override {
        ++answers;
        acks += s == status::TicketAck;
    }
    void ticketBytes(std::span<const std::uint8_t> b) override { ticketTotal += b.size(); }
    void ticketEnded(const TicketEvent&) override { ++tickets; }
    void imageBytes(std::span<const std::uint8_t> b) override { imageTotal += b.size(); }
    void imageEnded(const ImageEvent& i) override { images += i.complete(); }
};

long maxResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
}  // namespace

void TestPrinterStream::gigabyteStreamRetainsNothing() {
    // One MiB block: half of it 64 text tickets, then one image whose data is
    // full of print commands and form feeds that must not print.
    QByteArray block;
    for (int i = 0; i < 64; ++i) block += "<RL><F6><RC90,40>" + QByteArray::number(i) + QByteArray(8000, 'T') + "<p>";
    const qsizetype imageLength = (1 << 20) - block.size() - 13;
    QByteArray image;
    while (image.size() < imageLength) image += "<p>\x0c<G9>";
    image.truncate(imageLength);
    block += "<G" + QByteArray::number(imageLength).rightJustified(10, '0') + ">" + image;
    QCOMPARE(block.size(), qsizetype(1 << 20));

    PrinterStream stream(nakOn("NEVER THERE"));
    Counter counter;
    const std::size_t retained = stream.retainedBytes();
    const long rssBefore = maxResidentKiB();
    constexpr int Blocks = 1024;
    constexpr qsizetype Piece = 65521;  // prime, so pieces cut commands at every offset
    for (int b = 0; b < Blocks; ++b)
        for (qsizetype at = 0; at < block.size(); at += Piece)
            stream.feed(span(block).subspan(std::size_t(at), std::size_t(std::min(Piece, block.size() - at))), counter);
    QCOMPARE(stream.retainedBytes(), retained);
    QCOMPARE(counter.ticketTotal, quint64(Blocks) << 20);
    QCOMPARE(counter.tickets, quint64(64 * Blocks));
    QCOMPARE(counter.acks, counter.tickets);
    QCOMPARE(counter.images, quint64(Blocks));
    QCOMPARE(counter.imageTotal, quint64(imageLength) * Blocks);
    QVERIFY2(maxResidentKiB() - rssBefore < 16 * 1024, "memory grew with the stream");
}

QTEST_APPLESS_MAIN(TestPrinterStream)
#include "tst_emu_stream.moc"
