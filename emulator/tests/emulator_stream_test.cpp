// The printer's reading of the command stream, without sockets: answers, ticket
// and image boundaries, faults, and memory that stays flat over a long stream.
#include "emulator/printer_stream.h"

#include <QTest>

#include <sys/resource.h>

#include <cstring>

using namespace kivo::emu;

Q_DECLARE_METATYPE(kivo::emu::PrinterSettings)

namespace {

QByteArray AsBytes(std::span<const std::uint8_t> s) {
    return QByteArray(reinterpret_cast<const char*>(s.data()), qsizetype(s.size()));
}
std::span<const std::uint8_t> AsSpan(const QByteArray& b) {
    return {reinterpret_cast<const std::uint8_t*>(b.constData()), std::size_t(b.size())};
}

// Keeps everything the stream reports, for the small streams of the tables.
struct Recorder : PrinterStream::Sink {
    QByteArray answers, ticketData, imageData;
    QList<TicketEvent> tickets;
    QList<ImageEvent> images;
    qsizetype illegal = 0;
    quint64 dropped = 0;

    void Answer(std::uint8_t s) override { answers += char(s); }
    void TicketBytes(std::span<const std::uint8_t> b) override { ticketData += AsBytes(b); }
    void TicketEnded(const TicketEvent& t) override { tickets << t; }
    void TicketDropped(std::uint64_t n) override { dropped += n; }
    void ImageBytes(std::span<const std::uint8_t> b) override { imageData += AsBytes(b); }
    void ImageEnded(const ImageEvent& i) override { images << i; }
    void IllegalData(std::span<const std::uint8_t>) override { ++illegal; }
};

// Feeds one connection's stream in the given pieces, then ends the connection.
Recorder Run(const PrinterSettings& settings, const QList<QByteArray>& pieces) {
    PrinterStream stream(settings);
    Recorder r;
    for (const QByteArray& piece : pieces) stream.Feed(AsSpan(piece), r);
    stream.EndConnection(r);
    return r;
}

template <typename Change>
PrinterSettings Printer(Change change) {
    PrinterSettings s;
    change(s);
    return s;
}
PrinterSettings NakOn(const char* text) {
    return Printer([&](auto& s) { s.nakOn.assign(text, text + std::strlen(text)); });
}

}  // namespace

class PrinterStreamTest : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void imageCutShortByDisconnect();
    void printerStateOutlivesConnection();
    void gigabyteStreamRetainsNothing();
};

void PrinterStreamTest::answers_data() {
    QTest::addColumn<PrinterSettings>("settings");
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("completeImages");
    const auto row = [](const char* name, const PrinterSettings& settings, const QByteArray& stream,
                        const QByteArray& answers,
                        int images = 0) { QTest::newRow(name) << settings << stream << answers << images; };
    const PrinterSettings none;
    const QByteArray ack("\x06"), oot("\x10"), nak("\x15"), low("\x16"), jam("\x18"), bad("\x19");

    row("VEK print command", none, "<p>", ack);
    row("HP PCL form feed", none, "\x0c", ack);
    row("VEK copy header and ticket", none, "<RL><F6><RC90,40>1Hello<p>", ack);
    row("two tickets, text left unprinted", none,
        "A<p>B\x0c"
        "C",
        ack + ack);
    row("text alone prints nothing", none, "Hello, no print here", "");
    row("stray < before the print command", none, "a<b<p>", ack);
    row("unclosed command before print", none, "<RC90,40<p>", ack);
    row("form feed inside a command prints", none, "<RL\x0c", ack);
    row("overlong command is text", none, "<" + QByteArray(100, 'x') + "<p>", ack);
    row("image holding <p> and form feed", none, "<SP100,100><pcx><G10>ab<p>\x0c<p>c<p>", ack, 1);
    row("image ending in half a print command", none, "<G2><p<G1>><p>", ack, 2);
    row("empty image", none, "<G0><p>", ack, 1);
    row("largest length, cut short", none, "<G2147483647>abc<p>", "");
    row("letters in length", none, "<G12a><p>", bad + ack);
    row("no length", none, "<G><p>", bad + ack);
    row("negative length", none, "<G-1><p>", bad + ack);
    row("blank in length", none, "<G 5><p>", bad + ack);
    row("length past 2 GiB, cut short", none, "<G2147483648>abc<p>", "");
    row("nineteen digits", none, "<G0000000000000000001><p>", bad + ack);
    row("unclosed length before print", none, "<G12<p>", bad + ack);
    row("endless digits", none, "<G" + QByteArray(200, '7') + "<p>", bad + ack);
    row("bad length, then a good image", none, "<Gx><G2>ab<p>", bad + ack, 1);
    row("stock runs out", Printer([](auto& s) { s.tickets = 2; }), "<p><p>\x0c", ack + ack + oot);
    row("no stock at all", Printer([](auto& s) { s.tickets = 0; }), "<p>", oot);
    row("jam after the first ticket", Printer([](auto& s) { s.jamAfter = 1; }), "<p><p><p>", ack + jam + jam);
    row("jam comes before an empty stock", Printer([](auto& s) { s.tickets = s.jamAfter = 0; }), "<p>", jam);
    row("ribbon low from the second ticket", Printer([](auto& s) { s.ribbonLowAfter = 2; }), "<p><p><p>",
        ack + ack + low + ack + low);
    row("NAK text in the ticket", NakOn("VOID"), "VOID<p>OK<p>", nak + ack);
    row("NAK text after a false start", NakOn("ABAC"), "ABABAC<p>", nak);
    row("NAK text split over two tickets", NakOn("VOID"), "VO<p>ID<p>", ack + ack);
    row("NAK text inside image data", NakOn("VOID"), "<G4>VOID<p>", ack, 1);
    row("NAK ticket takes no stock", Printer([](auto& s) { s.tickets = 1, s.nakOn = {'X'}; }), "X<p>Y<p>Y<p>",
        nak + ack + oot);
}

// Every row is fed whole, byte by byte, and split in two at every position: the
// printer must answer the same however the network cuts the stream.
void PrinterStreamTest::answers() {
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
        const Recorder r = Run(settings, pieces);
        const QByteArray how = QByteArray::number(pieces.size()) + " pieces, first " + pieces.first();
        QVERIFY2(r.answers == expected, how + ": answers " + r.answers.toHex(' '));
        QVERIFY2(r.ticketData == stream, how);  // every byte belongs to a ticket, in order
        int complete = 0;
        for (const ImageEvent& i : r.images) complete += i.Complete() ? 1 : 0;
        QCOMPARE(complete, completeImages);
        QCOMPARE(r.illegal, expected.count('\x19'));
    }
}

void PrinterStreamTest::imageCutShortByDisconnect() {
    const Recorder r = Run(PrinterSettings(), {"<SP100,100><pcx><G10>", "abc"});
    QCOMPARE(r.images.size(), 1);
    QCOMPARE(r.images[0].declared, quint64(10));
    QCOMPARE(r.images[0].received, quint64(3));
    QVERIFY(!r.images[0].Complete());
    QCOMPARE(r.imageData, QByteArray("abc"));
    QVERIFY(r.tickets.isEmpty());
    QCOMPARE(r.dropped, quint64(24));
}

// Stock and counters belong to the printer; the half-read image belongs to the
// connection that ended, so the next client's "<p>" is a print, not image data.
void PrinterStreamTest::printerStateOutlivesConnection() {
    PrinterStream stream(Printer([](auto& s) { s.tickets = 2; }));
    Recorder first, second;
    stream.Feed(AsSpan("<p><G5>ab"), first);
    stream.EndConnection(first);
    stream.Feed(AsSpan("<p><p>"), second);
    stream.EndConnection(second);
    QCOMPARE(first.answers, QByteArray("\x06"));
    QCOMPARE(second.answers, QByteArray("\x06\x10"));
    QCOMPARE(second.tickets.size(), 2);
    QCOMPARE(second.tickets[0].number, quint64(2));
    QCOMPARE(stream.Images(), quint64(1));
    QCOMPARE(first.images.size(), 1);
    QVERIFY(!first.images[0].Complete());
    QVERIFY(second.images.isEmpty());
    QCOMPARE(second.ticketData, QByteArray("<p><p>"));
}

namespace {
// Counts without keeping anything, as the server's own sink must over a long stream.
struct Counter : PrinterStream::Sink {
    quint64 answers = 0, acks = 0, ticketTotal = 0, tickets = 0, images = 0, imageTotal = 0;
    void Answer(std::uint8_t s) override {
        ++answers;
        acks += s == status::kTicketAck;
    }
    void TicketBytes(std::span<const std::uint8_t> b) override { ticketTotal += b.size(); }
    void TicketEnded(const TicketEvent&) override { ++tickets; }
    void ImageBytes(std::span<const std::uint8_t> b) override { imageTotal += b.size(); }
    void ImageEnded(const ImageEvent& i) override { images += i.Complete(); }
};

long MaxResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
}  // namespace

void PrinterStreamTest::gigabyteStreamRetainsNothing() {
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

    PrinterStream stream(NakOn("NEVER THERE"));
    Counter counter;
    const std::size_t retained = stream.RetainedBytes();
    const long rssBefore = MaxResidentKiB();
    constexpr int kBlocks = 1024;
    constexpr qsizetype kPiece = 65521;  // prime, so pieces cut commands at every offset
    for (int b = 0; b < kBlocks; ++b)
        for (qsizetype at = 0; at < block.size(); at += kPiece)
            stream.Feed(AsSpan(block).subspan(std::size_t(at), std::size_t(std::min(kPiece, block.size() - at))),
                        counter);
    QCOMPARE(stream.RetainedBytes(), retained);
    QCOMPARE(counter.ticketTotal, quint64(kBlocks) << 20);
    QCOMPARE(counter.tickets, quint64(64 * kBlocks));
    QCOMPARE(counter.acks, counter.tickets);
    QCOMPARE(counter.images, quint64(kBlocks));
    QCOMPARE(counter.imageTotal, quint64(imageLength) * kBlocks);
    QVERIFY2(MaxResidentKiB() - rssBefore < 16 * 1024, "memory grew with the stream");
}

QTEST_APPLESS_MAIN(PrinterStreamTest)
#include "emulator_stream_test.moc"
