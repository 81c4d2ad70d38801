// Naming what the printer sends back: status bytes by their meaning, other
// control bytes by their ASCII names, and runs of printable characters as text.
#pragma once

#include "link/console_port.h"

#include <QByteArrayView>
#include <QStringList>

namespace kivo {

// The name of a byte below 32 (and of 127 and above: none). Byte 13, which has
// no status meaning, is "Carriage Return"; a byte without a name gives "".
[[nodiscard]] QString ReplyName(unsigned char byte);

// Turns one reply into log lines, in the order of the bytes: every run of bytes
// 32 to 126 is one text line, every other byte one line with its name (an empty
// line for a byte without a name). Every byte of the reply is decoded.
[[nodiscard]] QStringList DecodeReply(QByteArrayView reply);

// Decodes a reply into the incoming log.
void DecodePrinterReply(QByteArrayView reply, Console& console);

}  // namespace kivo
