#include "link/reply_decoder.h"

#include <QCoreApplication>
#include <QHash>

#include <array>

namespace kivo {
namespace {

// The ASCII names of bytes 0 to 28; a status byte (see the status table) is
// named by its status instead. Bytes 29 to 31 have no name.
constexpr std::array<const char*, 32> kControlNames = {{
    "Null",                 // 0x00 NUL
    "Start of Heading",     // 0x01 SOH
    "Start of Text",        // 0x02 STX
    "End of Text",          // 0x03 ETX
    "End of Transmission",  // 0x04 EOT
    nullptr,                // 0x05 ENQ: a status
    nullptr,                // 0x06 ACK: a status
    "Bell",                 // 0x07 BEL
    "Backspace",            // 0x08 BS
    "Horizontal Tab",       // 0x09 HT
    "Line Feed",            // 0x0A LF
    "Vertical Tab",         // 0x0B VT
    "Form Feed",            // 0x0C FF
    "Carriage Return",      // 0x0D CR
    "Shift Out",            // 0x0E SO
    "Shift In",             // 0x0F SI
    nullptr,                // 0x10 DLE: a status
    "X-On",                 // 0x11 DC1
    nullptr,                // 0x12 DC2: a status
    "X-Off",                // 0x13 DC3
    "DC4",                  // 0x14 DC4
    nullptr,                // 0x15 NAK: a status
    nullptr,                // 0x16 SYN: a status
    nullptr,                // 0x17 ETB: a status
    nullptr,                // 0x18 CAN: a status
    nullptr,                // 0x19 EM: a status
    nullptr,                // 0x1A SUB: a status
    "Escape",               // 0x1B ESC
    nullptr,                // 0x1C FS: a status
    "",                     // 0x1D
    "",                     // 0x1E
    "",                     // 0x1F
}};

// The name of a byte below 32: its status, else its ASCII name ("" for none).
const char* ControlName(unsigned char byte) {
    if (const StatusRow* status = FindStatus(byte)) return status->name;
    return byte < 32 && kControlNames[byte] ? kControlNames[byte] : "";
}

bool IsPrintable(unsigned char c) { return c >= 32 && c <= 126; }

// The line of every byte as a ready-made string, so a flood of status bytes
// allocates nothing.
const std::array<QString, 256>& ByteLineStrings() {
    static const std::array<QString, 256> lines = [] {
        std::array<QString, 256> out;
        for (int b = 0; b < 256; ++b) {
            const char* name = ControlName(static_cast<unsigned char>(b));
            if (IsPrintable(static_cast<unsigned char>(b)))
                out[static_cast<std::size_t>(b)] = QString(QChar(b));
            else if (*name)
                out[static_cast<std::size_t>(b)] = QString::fromLatin1(name);
            else
                out[static_cast<std::size_t>(b)] = QStringLiteral("Byte 0x%1 (%2)")
                                                       .arg(QString::number(b, 16).toUpper().rightJustified(2, u'0'))
                                                       .arg(b);
        }
        return out;
    }();
    return lines;
}

// Calls addLine(text, byte) for each line of the reply, in order; byte is -1 for a
// run of printable text.
template <typename AddLine>
void WalkReply(QByteArrayView reply, AddLine addLine) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(reply.data());
    const qsizetype n = reply.size();
    qsizetype i = 0;
    while (i < n) {
        if (IsPrintable(bytes[i])) {
            const qsizetype start = i;
            while (i < n && IsPrintable(bytes[i])) ++i;
            addLine(QString::fromLatin1(reply.data() + start, i - start), -1);
        } else {
            addLine(ByteLineStrings()[bytes[i]], bytes[i]);
            ++i;
        }
    }
}

}  // namespace

QString ReplyName(unsigned char byte) { return byte < 32 && *ControlName(byte) ? ByteLineStrings()[byte] : QString(); }

QString ReplyByteLine(unsigned char byte) { return ByteLineStrings()[byte]; }

QStringList ReplyByteLines() {
    QStringList lines;
    for (int b = 0; b < 256; ++b)
        if (!IsPrintable(static_cast<unsigned char>(b))) lines << ByteLineStrings()[static_cast<std::size_t>(b)];
    return lines;
}

std::optional<unsigned char> ReplyLineByte(const QString& line) {
    static const QHash<QString, unsigned char> bytes = [] {
        QHash<QString, unsigned char> out;
        for (int b = 0; b < 256; ++b)
            if (!IsPrintable(static_cast<unsigned char>(b)))
                out.insert(ByteLineStrings()[static_cast<std::size_t>(b)], static_cast<unsigned char>(b));
        return out;
    }();
    const auto it = bytes.constFind(line);
    if (it == bytes.constEnd()) return std::nullopt;
    return it.value();
}

std::vector<ReplyLine> DecodeReplyLines(QByteArrayView reply) {
    std::vector<ReplyLine> lines;
    WalkReply(reply, [&lines](const QString& text, int byte) { lines.push_back({text, byte}); });
    return lines;
}

QStringList DecodeReply(QByteArrayView reply) {
    QStringList lines;
    WalkReply(reply, [&lines](const QString& text, int) { lines.append(text); });
    return lines;
}

qsizetype TrailingTextStart(QByteArrayView reply) {
    qsizetype start = reply.size();
    while (start > 0 && IsPrintable(static_cast<unsigned char>(reply[start - 1]))) --start;
    return start;
}

void DecodePrinterReply(QByteArrayView reply, Console& console) { console.LogReply(DecodeReplyLines(reply)); }

ReplyReader::ReplyReader(Sink sink, QObject* parent) : QObject(parent), sink_(std::move(sink)) {
    quiet_.setSingleShot(true);
    connect(&quiet_, &QTimer::timeout, this, &ReplyReader::Flush);
}

void ReplyReader::Feed(QByteArrayView bytes) {
    QByteArray reply = std::exchange(held_, {});
    reply += bytes;
    const qsizetype textStart = TrailingTextStart(reply);
    if (textStart < reply.size() && reply.size() - textStart < kMaxHeldText) {
        held_ = reply.sliced(textStart);
        reply.truncate(textStart);
        // Without an event loop (a fuzzer) nothing could fire: the next read or Flush writes it.
        if (QCoreApplication::instance()) quiet_.start(kTextQuietMs);
    }
    if (!reply.isEmpty()) sink_(DecodeReplyLines(reply));
}

void ReplyReader::Flush() {
    quiet_.stop();
    if (held_.isEmpty()) return;
    sink_(DecodeReplyLines(std::exchange(held_, {})));
}

}  // namespace kivo
