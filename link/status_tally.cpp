#include "link/status_tally.h"

#include <QStringList>

namespace kivo {
namespace {

struct Status {
    unsigned char byte;
    const char* shortName;
};

// The printer's status bytes, in the order the tally lists them.
constexpr std::array<Status, 11> kStatuses = {{
    {0x06, "ACK"},
    {0x05, "Test ACK"},
    {0x15, "NAK"},
    {0x10, "Out of Tickets"},
    {0x16, "Ribbon Low"},
    {0x17, "Ribbon Out"},
    {0x18, "Jam"},
    {0x19, "Illegal Data"},
    {0x1A, "Power Up Problem"},
    {0x1C, "Logo Incomplete"},
    {0x12, "Power On"},
}};

constexpr bool IsStatus(unsigned char byte) {
    for (const Status& s : kStatuses)
        if (s.byte == byte) return true;
    return false;
}

}  // namespace

bool StatusTally::Add(unsigned char byte) {
    if (!IsStatus(byte)) return false;
    ++counts_[byte];
    return true;
}

QString StatusTally::Text() const {
    QStringList parts;
    for (const auto& [name, count] : Counts()) parts << name + QLatin1Char(' ') + WithThousands(count);
    return parts.join(QStringLiteral(" \u00B7 "));
}

std::vector<std::pair<QString, quint64>> StatusTally::Counts() const {
    std::vector<std::pair<QString, quint64>> counts;
    for (const Status& s : kStatuses)
        if (counts_[s.byte] > 0) counts.emplace_back(QLatin1String(s.shortName), counts_[s.byte]);
    return counts;
}

QString WithThousands(quint64 value) {
    const QString digits = QString::number(value);
    QString out;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += QLatin1Char(',');
        out += digits[i];
    }
    return out;
}

}  // namespace kivo
