// Arbitrary operator text through the number reading of the copy count and the
// byte value, and through the conversion of typed text to printer bytes.
#include "console/numbers.h"
#include "link/code_page.h"

#include <QList>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {
void Check(bool ok) {
    if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    if (const std::optional<double> number = kivo::ReadNumber(text)) Check(std::isfinite(*number));
    if (const auto byte = kivo::ReadWholeNumber(text, 0, 255)) Check(*byte >= 0 && *byte <= 255);
    if (const auto copies = kivo::ReadWholeNumber(text, -32768, 32767)) {
        Check(*copies >= -32768 && *copies <= 32767);
        // The whole number is the nearest one to the number read.
        Check(std::fabs(static_cast<double>(*copies) - *kivo::ReadNumber(text)) <= 0.5);
    }

    // Typed text goes out one byte per character.
    Check(kivo::ToSingleByte(text).size() == text.toUcs4().size());
    return 0;
}
