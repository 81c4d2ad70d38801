// The single-byte code page in which text goes to the printer and in which
// addresses are looked up: Windows-1252.
#pragma once

#include <QByteArray>
#include <QString>

namespace kivo {

// Text as the printer gets it: one Windows-1252 byte per character, "?" for a
// character that code page cannot hold. Nothing is added.
[[nodiscard]] QByteArray ToSingleByte(const QString& text);

// The line that names the characters of `text` that went out as "?" because the
// code page has no byte for them: "2 characters of the text have no byte in the
// printer's code page and went out as "?": → 漢". Empty when every character
// has its byte.
[[nodiscard]] QString UnmappedCharactersLine(const QString& text);

}  // namespace kivo
