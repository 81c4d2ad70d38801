// Reading the numbers an operator types: a decimal number with blanks around it
// allowed, rounded to the nearest whole number with halves going to the even one.
#pragma once

#include <QString>
#include <optional>

namespace kivo {

// The number in the text, or nothing when the text is no finite decimal number.
[[nodiscard]] std::optional<double> ReadNumber(const QString& text);
// The nearest whole number, halves to even, or nothing when the text is no number
// or the result lies outside [low, high].
[[nodiscard]] std::optional<long long> ReadWholeNumber(const QString& text, long long low, long long high);

}  // namespace kivo
