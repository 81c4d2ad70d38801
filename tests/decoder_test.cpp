// The reply decoder: which lines a printer's bytes become, in which order; the
// status table they are named from; and how counts are written.
#include "link/numbers.h"
#include "link/reply_decoder.h"
#include "link/status_table.h"
#include "link/status_tally.h"

#include <QTest>

#include <limits>

using kivo::DecodeReply;
using kivo::Severity;

Q_DECLARE_METATYPE(kivo::Severity)

class DecoderTest : public QObject {
    Q_OBJECT
private slots:
    void decodesReplies_data();
    void decodesReplies();
    void namesEveryControlByte_data();
    void namesEveryControlByte();
    void decodesLongRepliesWhole();
    void tallyCountsStatusBytes_data();
    void tallyCountsStatusBytes();
    void statusTableRows_data();
    void statusTableRows();
    void groupsNumbersInThousands_data();
    void groupsNumbersInThousands();
};

void DecoderTest::decodesReplies_data() {
    // clang-format off
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("ACK alone") << QByteArray("\x06") << QStringList{"Ticket ACK"};
    QTest::newRow("text then status") << QByteArray("OK\x10") << QStringList{"OK", "Out of Tickets"};
    QTest::newRow("two statuses, no empty line between")
        << QByteArray("\x10\x10") << QStringList{"Out of Tickets", "Out of Tickets"};
    QTest::newRow("text at the end") << QByteArray("AB") << QStringList{"AB"};
    QTest::newRow("status between text runs") << QByteArray("AB\x06" "CD") << QStringList{"AB", "Ticket ACK", "CD"};
    QTest::newRow("CR between text runs") << QByteArray("AB\rCD") << QStringList{"AB", "Carriage Return", "CD"};
    QTest::newRow("CR after a status has its own name")
        << QByteArray("\x10\r") << QStringList{"Out of Tickets", "Carriage Return"};
    QTest::newRow("NUL does not end the reply")
        << QByteArray("\x00" "A\x06", 3) << QStringList{"Null", "A", "Ticket ACK"};
    QTest::newRow("blank and tilde are text") << QByteArray(" x~") << QStringList{" x~"};
    QTest::newRow("31 and 127 end a text run") << QByteArray("a\x1f" "b\x7f" "c")
                                               << QStringList{"a", "Byte 0x1F (31)", "b", "Byte 0x7F (127)", "c"};
    QTest::newRow("bytes 128 and 255 show their value")
        << QByteArray("\x80\xff") << QStringList{"Byte 0x80 (128)", "Byte 0xFF (255)"};
    QTest::newRow("CR LF") << QByteArray("READY\r\n") << QStringList{"READY", "Carriage Return", "Line Feed"};
    QTest::newRow("empty reply") << QByteArray() << QStringList{};
    // clang-format on
}

void DecoderTest::decodesReplies() {
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, lines);
    QCOMPARE(DecodeReply(reply), lines);
}

void DecoderTest::namesEveryControlByte_data() {
    // clang-format off
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("name");
    QTest::addColumn<Severity>("severity");
    const char* names[] = {"Null", "Start of Heading", "Start of Text", "End of Text", "End of Transmission",
                           "Test Button Ticket ACK", "Ticket ACK", "Bell", "Backspace", "Horizontal Tab",
                           "Line Feed", "Vertical Tab", "Form Feed", "Carriage Return", "Shift Out", "Shift In",
                           "Out of Tickets", "X-On", "Power On", "X-Off", "DC4", "Ticket NAK", "Ribbon Low",
                           "Ribbon Out", "Ticket Jam", "Illegal Data", "Power Up Problem", "Escape",
                           "Incomplete Logo Stored in FLASH", "Byte 0x1D (29)", "Byte 0x1E (30)", "Byte 0x1F (31)"};
    const QList<int> faults = {0x10, 0x15, 0x17, 0x18, 0x19, 0x1A, 0x1C};
    for (int b = 0; b < 32; ++b) {
        const Severity severity = faults.contains(b) ? Severity::Fault : b == 0x16 ? Severity::Warning : Severity::None;
        QTest::newRow(qPrintable(QString::number(b))) << b << QString::fromLatin1(names[b]) << severity;
    }
    QTest::newRow("127") << 127 << "Byte 0x7F (127)" << Severity::None;
    QTest::newRow("255") << 255 << "Byte 0xFF (255)" << Severity::None;
    // clang-format on
}

void DecoderTest::namesEveryControlByte() {
    QFETCH(int, byte);
    QFETCH(QString, name);
    QFETCH(Severity, severity);
    const auto b = static_cast<unsigned char>(byte);
    QCOMPARE(DecodeReply(QByteArray(1, static_cast<char>(byte))), QStringList{name});
    QCOMPARE(kivo::StatusSeverity(b), severity);
    QCOMPARE(kivo::ReplyLineByte(name), std::optional<unsigned char>(b));  // the byte back from its line
}

void DecoderTest::decodesLongRepliesWhole() {
    // A reply far beyond 1023 bytes, and beyond 32767, is decoded to the last byte.
    QByteArray reply(40000, 'x');
    reply.append('\x06');
    reply.append(QByteArray(5, 'y'));
    const QStringList lines = DecodeReply(reply);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0].size(), 40000);
    QCOMPARE(lines[1], QStringLiteral("Ticket ACK"));
    QCOMPARE(lines[2], QStringLiteral("yyyyy"));
}

void DecoderTest::tallyCountsStatusBytes_data() {
    // clang-format off
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("tally");
    QTest::newRow("nothing yet") << QByteArray() << "";
    QTest::newRow("burn-in with one NAK and one jam")
        << QByteArray(2998, '\x06') + "\x15\x18" << QString::fromUtf8("ACK 2,998 \u00B7 NAK 1 \u00B7 Jam 1");
    QTest::newRow("a fixed order, whatever came first")
        << QByteArray("\x12\x1c\x05\x06") << QString::fromUtf8("ACK 1 \u00B7 Test ACK 1 \u00B7 Logo Incomplete 1 \u00B7 Power On 1");
    QTest::newRow("control bytes, high bytes and text are no statuses")
        << QByteArray("\x07\r\x11\x13\x1d\x80\xffTicket ACK") << "";
    QTest::newRow("a million and more") << QByteArray(1'234'567, '\x10') << "Out of Tickets 1,234,567";
    // clang-format on
}

void DecoderTest::tallyCountsStatusBytes() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, tally);
    kivo::StatusTally counts;
    for (const char b : bytes) counts.Add(static_cast<unsigned char>(b));
    QCOMPARE(counts.Text(), tally);
    counts.Clear();
    QCOMPARE(counts.Text(), QString());
}

void DecoderTest::statusTableRows_data() {
    // clang-format off
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shortName");
    QTest::addColumn<Severity>("severity");
    QTest::addColumn<bool>("answer");  // answers a print command
    const Severity none = Severity::None, fault = Severity::Fault;
    QTest::newRow("ACK") << 0x06 << "Ticket ACK" << "ACK" << none << true;
    QTest::newRow("Test ACK") << 0x05 << "Test Button Ticket ACK" << "Test ACK" << none << false;
    QTest::newRow("NAK") << 0x15 << "Ticket NAK" << "NAK" << fault << true;
    QTest::newRow("Out of Tickets") << 0x10 << "Out of Tickets" << "Out of Tickets" << fault << true;
    QTest::newRow("Ribbon Low") << 0x16 << "Ribbon Low" << "Ribbon Low" << Severity::Warning << false;
    QTest::newRow("Ribbon Out") << 0x17 << "Ribbon Out" << "Ribbon Out" << fault << true;
    QTest::newRow("Jam") << 0x18 << "Ticket Jam" << "Jam" << fault << true;
    QTest::newRow("Illegal Data") << 0x19 << "Illegal Data" << "Illegal Data" << fault << true;
    QTest::newRow("Power Up Problem") << 0x1A << "Power Up Problem" << "Power Up Problem" << fault << true;
    QTest::newRow("Logo") << 0x1C << "Incomplete Logo Stored in FLASH" << "Logo Incomplete" << fault << true;
    QTest::newRow("Power On") << 0x12 << "Power On" << "Power On" << none << false;
    // clang-format on
}

void DecoderTest::statusTableRows() {
    QFETCH(int, byte);
    QFETCH(QString, name);
    QFETCH(QString, shortName);
    QFETCH(Severity, severity);
    QFETCH(bool, answer);
    const auto b = static_cast<unsigned char>(byte);
    const kivo::StatusRow* row = kivo::FindStatus(b);
    QVERIFY(row);
    QCOMPARE(QString::fromLatin1(row->name), name);
    QCOMPARE(QString::fromLatin1(row->shortName), shortName);
    QCOMPARE(row->severity, severity);
    QCOMPARE(row->answer, answer);
    // The decoder names it, the tally counts it under its short name.
    QCOMPARE(DecodeReply(QByteArray(1, static_cast<char>(b))), QStringList{name});
    kivo::StatusTally tally;
    QVERIFY(tally.Add(b));
    QCOMPARE(tally.Text(), shortName + QStringLiteral(" 1"));
    // Every row of the table is one of these.
    QCOMPARE(kivo::StatusRows().size(), std::size_t(11));
}

void DecoderTest::groupsNumbersInThousands_data() {
    // clang-format off
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << qint64(0) << "0";
    QTest::newRow("999") << qint64(999) << "999";
    QTest::newRow("1000") << qint64(1000) << "1,000";
    QTest::newRow("2178") << qint64(2178) << "2,178";
    QTest::newRow("negative") << qint64(-1234567) << "-1,234,567";
    QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << "-9,223,372,036,854,775,808";
    // clang-format on
}

void DecoderTest::groupsNumbersInThousands() {
    QFETCH(qint64, value);
    QFETCH(QString, text);
    QCOMPARE(kivo::Grouped(value), text);
}

QTEST_APPLESS_MAIN(DecoderTest)
#include "decoder_test.moc"
