#include "link/status_tally.h"

#include "link/numbers.h"
#include "link/status_table.h"

#include <QStringList>

namespace kivo {

bool StatusTally::Add(unsigned char byte) {
    const StatusRow* status = FindStatus(byte);
    if (!status || !status->tallied) return false;
    ++counts_[byte];
    return true;
}

QString StatusTally::Text() const {
    QStringList parts;
    for (const auto& [name, count] : Counts()) parts << name + QLatin1Char(' ') + Grouped(static_cast<qint64>(count));
    return parts.join(QStringLiteral(" \u00B7 "));
}

std::vector<std::pair<QString, quint64>> StatusTally::Counts() const {
    std::vector<std::pair<QString, quint64>> counts;
    for (const StatusRow& s : StatusRows())
        if (s.tallied && counts_[s.byte] > 0) counts.emplace_back(QLatin1String(s.shortName), counts_[s.byte]);
    return counts;
}

}  // namespace kivo
