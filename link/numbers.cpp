#include "link/numbers.h"

#include <QLocale>
#include <cmath>

namespace kivo {
namespace {

// One hexadecimal byte after its prefix: one or more hexadecimal digits (leading
// zeros allowed), 0 to FF.
std::optional<unsigned char> ReadHexByte(QStringView digits) {
    if (digits.isEmpty()) return std::nullopt;
    unsigned value = 0;
    for (QChar c : digits) {
        const char16_t u = c.unicode();
        unsigned digit = 0;
        if (u >= u'0' && u <= u'9')
            digit = u - u'0';
        else if (u >= u'a' && u <= u'f')
            digit = u - u'a' + 10;
        else if (u >= u'A' && u <= u'F')
            digit = u - u'A' + 10;
        else
            return std::nullopt;
        value = value * 16 + digit;
        if (value > 0xFF) return std::nullopt;
    }
    return static_cast<unsigned char>(value);
}

std::optional<unsigned char> ReadByteValue(const QString& value) {
    if (value.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ||
        value.startsWith(QLatin1String("&H"), Qt::CaseInsensitive))
        return ReadHexByte(QStringView(value).mid(2));
    if (const std::optional<long long> decimal = ReadWholeNumber(value, 0, 255))
        return static_cast<unsigned char>(*decimal);
    return std::nullopt;
}

}  // namespace

std::optional<double> ReadNumber(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) return std::nullopt;
    // Only plain decimal notation: no "inf", "nan" or hexadecimal.
    for (QChar c : trimmed) {
        const bool allowed = c.isDigit() || c == u'.' || c == u'+' || c == u'-' || c == u'e' || c == u'E';
        if (!allowed || c.unicode() > 127) return std::nullopt;
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<long long> ReadWholeNumber(const QString& text, long long low, long long high) {
    const std::optional<double> value = ReadNumber(text);
    if (!value) return std::nullopt;
    const double rounded = std::nearbyint(*value);  // the default rounding mode: halves to even
    if (rounded < static_cast<double>(low) || rounded > static_cast<double>(high)) return std::nullopt;
    return static_cast<long long>(rounded);
}

QString Grouped(qint64 n) {
    // Digits of the magnitude, without overflow for the smallest value.
    const QString digits = QString::number(n < 0 ? 0 - static_cast<quint64>(n) : static_cast<quint64>(n));
    QString out;
    out.reserve(digits.size() + digits.size() / 3 + 1);
    if (n < 0) out += QLatin1Char('-');
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += QLatin1Char(',');
        out += digits[i];
    }
    return out;
}

ByteList ReadByteList(const QString& text) {
    ByteList list;
    // Commas separate values; so do blanks within each part. A part between two
    // commas that holds nothing is an empty value, not a separator.
    const QStringList parts = text.split(QLatin1Char(','));
    const bool commas = parts.size() > 1;
    for (const QString& part : parts) {
        const QStringList values = part.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (values.isEmpty() && commas) {
            list.badValue.clear();
            list.bytes.clear();
            return list;
        }
        for (const QString& value : values) {
            const std::optional<unsigned char> byte = ReadByteValue(value);
            if (!byte) {
                list.badValue = value;
                list.bytes.clear();
                return list;
            }
            list.bytes.append(static_cast<char>(*byte));
        }
    }
    list.ok = !list.bytes.isEmpty();
    return list;
}

}  // namespace kivo
