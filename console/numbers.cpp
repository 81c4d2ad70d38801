#include "console/numbers.h"

#include <QLocale>
#include <cmath>

namespace kivo {

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

}  // namespace kivo
