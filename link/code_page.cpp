#include "link/code_page.h"

#include <QList>
#include <QStringList>

namespace kivo {
namespace {

// Windows-1252 bytes 0x80 to 0x9F and the characters they stand for. The five
// bytes the code page leaves undefined map to the C1 controls of the same value.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char ToWindows1252(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (int i = 0; i < 32; ++i)
        if (kHighControls[i] == c) return static_cast<char>(0x80 + i);
    return '?';
}

}  // namespace

QString UnmappedCharactersLine(const QString& text) {
    qsizetype count = 0;
    QList<char32_t> named;
    for (char32_t c : text.toUcs4()) {
        if (c == U'?' || ToWindows1252(c) != '?') continue;
        ++count;
        if (!named.contains(c)) named.append(c);
    }
    if (count == 0) return {};
    QStringList characters;
    for (char32_t c : named) characters << QString::fromUcs4(&c, 1);
    return QStringLiteral("%1 of the text %2 no byte in the printer's code page and went out as \"?\": %3")
        .arg(count == 1 ? QStringLiteral("1 character") : QStringLiteral("%1 characters").arg(count),
             count == 1 ? QStringLiteral("has") : QStringLiteral("have"), characters.join(QLatin1Char(' ')));
}

QByteArray ToSingleByte(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (char32_t c : text.toUcs4()) out.append(ToWindows1252(c));
    return out;
}

}  // namespace kivo
