#include "console/row_selection.h"

#include <algorithm>

namespace kivo {

void RowSelection::SelectOnly(int a, int b) { ranges_.assign(1, {std::min(a, b), std::max(a, b)}); }

void RowSelection::Add(int a, int b) {
    Range added{std::min(a, b), std::max(a, b)};
    // Ranges that overlap or touch the new one merge into it.
    auto first = std::lower_bound(ranges_.begin(), ranges_.end(), added.first,
                                  [](const Range& r, int row) { return r.second + 1 < row; });
    auto last = first;
    while (last != ranges_.end() && last->first <= added.second + 1) {
        added.first = std::min(added.first, last->first);
        added.second = std::max(added.second, last->second);
        ++last;
    }
    ranges_.insert(ranges_.erase(first, last), added);
}

void RowSelection::Toggle(int row) {
    auto it = std::lower_bound(ranges_.begin(), ranges_.end(), row,
                               [](const Range& r, int value) { return r.second < value; });
    if (it == ranges_.end() || it->first > row) {
        Add(row, row);
        return;
    }
    const Range was = *it;
    it = ranges_.erase(it);
    if (row < was.second) it = ranges_.insert(it, {row + 1, was.second});
    if (was.first < row) ranges_.insert(it, {was.first, row - 1});
}

bool RowSelection::Contains(int row) const {
    const auto it = std::lower_bound(ranges_.begin(), ranges_.end(), row,
                                     [](const Range& r, int value) { return r.second < value; });
    return it != ranges_.end() && it->first <= row;
}

long long RowSelection::Count() const {
    long long count = 0;
    for (const Range& r : ranges_) count += static_cast<long long>(r.second) - r.first + 1;
    return count;
}

}  // namespace kivo
