#include "link/reply_decoder.h"

#include <array>

namespace kivo {
namespace {

// Bytes 0 to 28: the printer's own status meanings where it has one, else the
// ASCII name. Bytes 29 to 31 have no name.
constexpr std::array<const char*, 32> kReplyNames = {
    "Null",                             // 0x00 NUL
    "Start of Heading",                 // 0x01 SOH
    "Start of Text",                    // 0x02 STX
    "End of Text",                      // 0x03 ETX
    "End of Transmission",              // 0x04 EOT
    "Test Button Ticket ACK",           // 0x05 ENQ
    "Ticket ACK",                       // 0x06 ACK
    "Bell",                             // 0x07 BEL
    "Backspace",                        // 0x08 BS
    "Horizontal Tab",                   // 0x09 HT
    "Line Feed",                        // 0x0A LF
    "Vertical Tab",                     // 0x0B VT
    "Form Feed",                        // 0x0C FF
    "Carriage Return",                  // 0x0D CR
    "Shift Out",                        // 0x0E SO
    "Shift In",                         // 0x0F SI
    "Out of Tickets",                   // 0x10 DLE
    "X-On",                             // 0x11 DC1
    "Power On",                         // 0x12 DC2
    "X-Off",                            // 0x13 DC3
    "DC4",                              // 0x14 DC4
    "Ticket NAK",                       // 0x15 NAK
    "Ribbon Low",                       // 0x16 SYN
    "Ribbon Out",                       // 0x17 ETB
    "Ticket Jam",                       // 0x18 CAN
    "Illegal Data",                     // 0x19 EM
    "Power Up Problem",                 // 0x1A SUB
    "Escape",                           // 0x1B ESC
    "Incomplete Logo Stored in FLASH",  // 0x1C FS
    "",                                 // 0x1D
    "",                                 // 0x1E
    "",                                 // 0x1F
};

// The names as ready-made strings, so a flood of status bytes allocates nothing.
const std::array<QString, 32>& NameStrings() {
    static const std::array<QString, 32> names = [] {
        std::array<QString, 32> out;
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = QString::fromLatin1(kReplyNames[i]);
        return out;
    }();
    return names;
}

bool IsPrintable(unsigned char c) { return c >= 32 && c <= 126; }

}  // namespace

QString ReplyName(unsigned char byte) {
    if (byte < 32) return NameStrings()[byte];
    return {};
}

QStringList DecodeReply(QByteArrayView reply) {
    QStringList lines;
    const auto* bytes = reinterpret_cast<const unsigned char*>(reply.data());
    const qsizetype n = reply.size();
    qsizetype i = 0;
    while (i < n) {
        if (IsPrintable(bytes[i])) {
            const qsizetype start = i;
            while (i < n && IsPrintable(bytes[i])) ++i;
            lines.append(QString::fromLatin1(reply.data() + start, i - start));
        } else {
            lines.append(ReplyName(bytes[i]));
            ++i;
        }
    }
    return lines;
}

void DecodePrinterReply(QByteArrayView reply, Console& console) {
    console.LogLines(QStringLiteral("I"), DecodeReply(reply));
}

}  // namespace kivo
