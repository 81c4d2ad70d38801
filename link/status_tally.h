// A count of the printer's status bytes, and the one short line that shows it,
// e.g. "ACK 2,998 · NAK 1 · Jam 1": the figure a burn-in test wants. What is
// counted, and under which name, is the status table's.
#pragma once

#include <QString>

#include <array>
#include <utility>
#include <vector>

namespace kivo {

class StatusTally {
public:
    // Counts one byte the printer sent; bytes the status table does not tally
    // are passed over. Whether it counted.
    bool Add(unsigned char byte);
    void Clear() { counts_.fill(0); }
    [[nodiscard]] quint64 Count(unsigned char byte) const { return counts_[byte]; }
    // The statuses that came, by their short names, in the table's order: "" for none.
    [[nodiscard]] QString Text() const;
    // The same statuses as short name and count, in the same order.
    [[nodiscard]] std::vector<std::pair<QString, quint64>> Counts() const;

private:
    std::array<quint64, 256> counts_{};
};

}  // namespace kivo
