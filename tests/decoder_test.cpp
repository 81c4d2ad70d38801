// The reply decoder: which lines a printer's bytes become, in which order.
#include "link/reply_decoder.h"

#include <QTest>

using kivo::DecodeReply;

class DecoderTest : public QObject {
    Q_OBJECT
private slots:
    void decodesReplies_data();
    void decodesReplies();
    void namesEveryControlByte_data();
    void namesEveryControlByte();
    void decodesLongRepliesWhole();
};

void DecoderTest::decodesReplies_data() {
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
                                               << QStringList{"a", "", "b", "", "c"};
    QTest::newRow("bytes 128 and 255 are nameless")
        << QByteArray("\x80\xff") << QStringList{"", ""};
    QTest::newRow("CR LF") << QByteArray("READY\r\n") << QStringList{"READY", "Carriage Return", "Line Feed"};
    QTest::newRow("empty reply") << QByteArray() << QStringList{};
}

void DecoderTest::decodesReplies() {
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, lines);
    QCOMPARE(DecodeReply(reply), lines);
}

void DecoderTest::namesEveryControlByte_data() {
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("name");
    const char* names[] = {"Null", "Start of Heading", "Start of Text", "End of Text", "End of Transmission",
                           "Test Button Ticket ACK", "Ticket ACK", "Bell", "Backspace", "Horizontal Tab",
                           "Line Feed", "Vertical Tab", "Form Feed", "Carriage Return", "Shift Out", "Shift In",
                           "Out of Tickets", "X-On", "Power On", "X-Off", "DC4", "Ticket NAK", "Ribbon Low",
                           "Ribbon Out", "Ticket Jam", "Illegal Data", "Power Up Problem", "Escape",
                           "Incomplete Logo Stored in FLASH", "", "", ""};
    for (int b = 0; b < 32; ++b) QTest::newRow(qPrintable(QString::number(b))) << b << QString::fromLatin1(names[b]);
}

void DecoderTest::namesEveryControlByte() {
    QFETCH(int, byte);
    QFETCH(QString, name);
    QCOMPARE(DecodeReply(QByteArray(1, static_cast<char>(byte))), QStringList{name});
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

QTEST_APPLESS_MAIN(DecoderTest)
#include "decoder_test.moc"
