// Reading the numbers an operator types: a decimal number with blanks around it
// allowed, rounded to the nearest whole number with halves going to the even one;
// and a list of byte values, decimal or hexadecimal.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace kivo {

// The number in the text, or nothing when the text is no finite decimal number.
[[nodiscard]] std::optional<double> ReadNumber(const QString& text);
// The nearest whole number, halves to even, or nothing when the text is no number
// or the result lies outside [low, high].
[[nodiscard]] std::optional<long long> ReadWholeNumber(const QString& text, long long low, long long high);

// What a list of byte values reads as: every byte in order, or the first value
// that is no byte.
struct ByteList {
    QByteArray bytes;  // the values in order; empty unless ok
    QString badValue;  // the first value that is no byte; "" for an empty one
    bool ok = false;   // every value is a byte, and there is at least one
};

// Values separated by blanks or commas, each a decimal number (rounded as
// ReadWholeNumber, 0 to 255) or a hexadecimal one after "0x" or "&H" (0 to FF):
// "27 64", "0x1B,0x40", "&H0C". A text with no value at all is not ok, and
// neither is an empty value between commas.
[[nodiscard]] ByteList ReadByteList(const QString& text);

// A whole number with a comma between groups of three digits, the one way every
// count is shown: 2178 -> "2,178", -1234567 -> "-1,234,567".
[[nodiscard]] QString Grouped(qint64 n);

}  // namespace kivo
