// Naming what the printer sends back: status bytes by their meaning, other
// control bytes by their ASCII names, and runs of printable characters as text.
#pragma once

#include "link/console_port.h"
#include "link/status_table.h"

#include <QByteArrayView>
#include <QStringList>

#include <optional>
#include <vector>

namespace kivo {

// The name of a byte below 32 (and of 127 and above: none). Byte 13, which has
// no status meaning, is "Carriage Return"; a byte without a name gives "".
[[nodiscard]] QString ReplyName(unsigned char byte);

// The line a byte outside 32 to 126 becomes: its name, or its value, as in
// "Byte 0xFF (255)", when it has none. A printable byte is its own character.
[[nodiscard]] QString ReplyByteLine(unsigned char byte);
// Every line ReplyByteLine gives for a byte outside 32 to 126.
[[nodiscard]] QStringList ReplyByteLines();
// The byte behind such a line, or nothing for any other text.
[[nodiscard]] std::optional<unsigned char> ReplyLineByte(const QString& line);

// Turns one reply into log lines, in the order of the bytes: every run of bytes
// 32 to 126 is one text line, every other byte one line of its own
// (ReplyByteLine). Every byte of the reply is decoded.
[[nodiscard]] QStringList DecodeReply(QByteArrayView reply);
// The same lines, each with the byte it names (-1 for a text run).
[[nodiscard]] std::vector<ReplyLine> DecodeReplyLines(QByteArrayView reply);

// Where the run of printable bytes (32 to 126) that the reply ends with begins;
// the reply's size when it ends with another byte or is empty.
[[nodiscard]] qsizetype TrailingTextStart(QByteArrayView reply);

// Decodes a reply into the incoming log, as the printer's own lines.
void DecodePrinterReply(QByteArrayView reply, Console& console);

}  // namespace kivo
