// Feeds arbitrary bytes to the PCX reader of "Print PCX File", which reads any
// depth the format knows. Whatever it accepts is dithered and encoded as the
// printer's PCX, and that must decode again in the emulator's reader, at the
// same size: a converted picture always reaches the printer whole.
#include "emulator/pcx_decode.h"
#include "pcx/pcx_image.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView file(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const kivo::PcxHeaderInfo info = kivo::ReadPcxHeader(file, static_cast<qint64>(size));
    (void)kivo::DescribePcxFile(QStringLiteral("f.pcx"), info);
    const kivo::DecodedPicture read = kivo::DecodePcx(file);
    if (!read.ok()) return 0;
    const kivo::GreyPicture& picture = read.picture;
    if (picture.width <= 0 || picture.height <= 0 || picture.grey.size() != qsizetype(picture.width) * picture.height)
        std::abort();
    const kivo::ConvertedPcx converted = kivo::ConvertGreyToPcx(QStringLiteral("f.pcx"), picture);
    if (!converted.ok()) std::abort();  // the reader's bounds are the converter's
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(converted.bytes.constData());
    const kivo::emu::PcxDecoded back =
        kivo::emu::DecodeMonochromePcx({bytes, static_cast<std::size_t>(converted.bytes.size())});
    if (back.image.isNull() || back.image.width() != picture.width || back.image.height() != picture.height)
        std::abort();
    if (!kivo::emu::DescribePcxDepth({bytes, static_cast<std::size_t>(converted.bytes.size())}).empty()) std::abort();
    return 0;
}
