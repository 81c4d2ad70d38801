#include "link/reply_decoder.h"

#include <QHash>

#include <array>

namespace kivo {
namespace {

struct ReplyEntry {
    const char* name;
    Severity severity;
};

constexpr Severity kNone = Severity::None;
constexpr Severity kFault = Severity::Fault;

// Bytes 0 to 28: the printer's own status meanings where it has one, else the
// ASCII name, with what the status means for the printer's work. Bytes 29 to 31
// have no name.
constexpr std::array<ReplyEntry, 32> kReplyTable = {{
    {"Null", kNone},                              // 0x00 NUL
    {"Start of Heading", kNone},                  // 0x01 SOH
    {"Start of Text", kNone},                     // 0x02 STX
    {"End of Text", kNone},                       // 0x03 ETX
    {"End of Transmission", kNone},               // 0x04 EOT
    {"Test Button Ticket ACK", kNone},            // 0x05 ENQ
    {"Ticket ACK", kNone},                        // 0x06 ACK
    {"Bell", kNone},                              // 0x07 BEL
    {"Backspace", kNone},                         // 0x08 BS
    {"Horizontal Tab", kNone},                    // 0x09 HT
    {"Line Feed", kNone},                         // 0x0A LF
    {"Vertical Tab", kNone},                      // 0x0B VT
    {"Form Feed", kNone},                         // 0x0C FF
    {"Carriage Return", kNone},                   // 0x0D CR
    {"Shift Out", kNone},                         // 0x0E SO
    {"Shift In", kNone},                          // 0x0F SI
    {"Out of Tickets", kFault},                   // 0x10 DLE
    {"X-On", kNone},                              // 0x11 DC1
    {"Power On", kNone},                          // 0x12 DC2
    {"X-Off", kNone},                             // 0x13 DC3
    {"DC4", kNone},                               // 0x14 DC4
    {"Ticket NAK", kFault},                       // 0x15 NAK
    {"Ribbon Low", Severity::Warning},            // 0x16 SYN
    {"Ribbon Out", kFault},                       // 0x17 ETB
    {"Ticket Jam", kFault},                       // 0x18 CAN
    {"Illegal Data", kFault},                     // 0x19 EM
    {"Power Up Problem", kFault},                 // 0x1A SUB
    {"Escape", kNone},                            // 0x1B ESC
    {"Incomplete Logo Stored in FLASH", kFault},  // 0x1C FS
    {"", kNone},                                  // 0x1D
    {"", kNone},                                  // 0x1E
    {"", kNone},                                  // 0x1F
}};

bool IsPrintable(unsigned char c) { return c >= 32 && c <= 126; }

// The line of every byte as a ready-made string, so a flood of status bytes
// allocates nothing.
const std::array<QString, 256>& ByteLineStrings() {
    static const std::array<QString, 256> lines = [] {
        std::array<QString, 256> out;
        for (int b = 0; b < 256; ++b) {
            const char* name = b < 32 ? kReplyTable[static_cast<std::size_t>(b)].name : "";
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

QString ReplyName(unsigned char byte) {
    return byte < 32 && *kReplyTable[byte].name ? ByteLineStrings()[byte] : QString();
}

Severity StatusSeverity(unsigned char byte) { return byte < 32 ? kReplyTable[byte].severity : Severity::None; }

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

}  // namespace kivo
