// Figures between processes, verdicts against the limits, and table rows.
#include "bench/bench.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kivo::bench {

void PrintResult(const Figures& figures) {
    QByteArray line = "RESULT";
    for (auto it = figures.cbegin(); it != figures.cend(); ++it)
        line += ' ' + it.key().toLatin1() + '=' + QByteArray::number(it.value(), 'g', 12);
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

Figures ParseResult(const QByteArray& output) {
    Figures figures;
    for (const QByteArray& line : output.split('\n')) {
        if (!line.startsWith("RESULT")) continue;
        for (const QByteArray& pair : line.mid(6).simplified().split(' ')) {
            const qsizetype eq = pair.indexOf('=');
            if (eq <= 0) continue;
            bool ok = false;
            const double value = pair.mid(eq + 1).toDouble(&ok);
            if (ok) figures.insert(QString::fromLatin1(pair.left(eq)), value);
        }
    }
    return figures;
}

double Figure(const Figures& figures, const QString& key) { return figures.value(key, std::nan("")); }

QString Verdict(double value, Limit kind, double limit) {
    if (std::isnan(value)) return QStringLiteral("no figure");
    bool pass = false;
    switch (kind) {
    case Limit::Below: pass = value < limit; break;
    case Limit::AtLeast: pass = value >= limit; break;
    case Limit::AtMost: pass = value <= limit; break;
    }
    return pass ? QStringLiteral("PASS") : QStringLiteral("FAIL");
}

double ProjectLinearCost(const std::vector<double>& sizes, const std::vector<double>& costs, double count) {
    const std::size_t points = std::min(sizes.size(), costs.size());
    if (points == 0) return std::nan("");
    const double n = static_cast<double>(points);
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < points; ++i) {
        sx += sizes[i];
        sy += costs[i];
        sxx += sizes[i] * sizes[i];
        sxy += sizes[i] * costs[i];
    }
    // Least squares; with one size only, the cost is taken as flat. A cost
    // that falls with the log is noise: it is taken as flat too.
    const double spread = n * sxx - sx * sx;
    const double b = spread > 0 ? std::max(0.0, (n * sxy - sx * sy) / spread) : 0.0;
    const double a = std::max(0.0, (sy - b * sx) / n);
    // The k-th call finds k lines in the log: the sum of a + b * k for k below count.
    return count * a + b * count * (count - 1) / 2;
}

QString MarkdownRow(const QStringList& cells) {
    QStringList escaped;
    for (QString cell : cells) escaped << cell.replace(QLatin1Char('|'), QLatin1String("\\|"));
    return QStringLiteral("| ") + escaped.join(QStringLiteral(" | ")) + QStringLiteral(" |");
}

}  // namespace kivo::bench
