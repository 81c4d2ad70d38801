// The selected rows of a log as sorted, separate ranges, so selecting a million
// lines costs one range, not a million flags.
#pragma once

#include <utility>
#include <vector>

namespace kivo {

class RowSelection {
public:
    // Inclusive ranges of rows, sorted, neither overlapping nor touching.
    using Range = std::pair<int, int>;

    void Clear() { ranges_.clear(); }
    // Selects the rows from a to b (either order) and nothing else.
    void SelectOnly(int a, int b);
    void SelectOnly(int row) { SelectOnly(row, row); }
    // Adds the rows from a to b to what is selected.
    void Add(int a, int b);
    // Selects the row if it was not, and the other way round.
    void Toggle(int row);

    [[nodiscard]] bool Contains(int row) const;
    [[nodiscard]] bool IsEmpty() const { return ranges_.empty(); }
    // Whether exactly this one row is selected.
    [[nodiscard]] bool IsOnly(int row) const { return ranges_.size() == 1 && ranges_[0] == Range{row, row}; }
    [[nodiscard]] long long Count() const;
    [[nodiscard]] const std::vector<Range>& Ranges() const { return ranges_; }

private:
    std::vector<Range> ranges_;
};

}  // namespace kivo
