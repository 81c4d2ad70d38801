// Arbitrary operator text through the number reading of the copy count, the
// byte value and the list of byte values, and through the conversion of typed
// text to printer bytes.
#include "link/numbers.h"
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

    // A list of byte values: all of them or none, and a refusal names a value
    // that stands in the text.
    const kivo::ByteList list = kivo::ReadByteList(text);
    Check(list.ok == !list.bytes.isEmpty());
    Check(list.bytes.size() <= text.size());
    if (!list.ok) Check(text.contains(list.badValue));
    // A single decimal value reads as it always has.
    if (const auto byte = kivo::ReadWholeNumber(text, 0, 255); byte && !text.contains(u','))
        Check(list.ok && list.bytes.size() == 1 && static_cast<unsigned char>(list.bytes[0]) == *byte);

    // Typed text goes out one byte per character.
    Check(kivo::ToSingleByte(text).size() == text.toUcs4().size());
    return 0;
}
