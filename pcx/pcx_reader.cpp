// Reading a PCX of any depth into grey pixels.
#include "link/numbers.h"
#include "pcx/pcx_image.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace kivo {

namespace {

// Decoded scan-line data accepted at most: twice what the largest picture of
// the deepest kind needs, so that padded lines pass and hostile headers do not.
constexpr qint64 kMaxDecodedBytes = 2ll * kMaxPictureWidth * 4 * kMaxPictureHeight;

// The sixteen colours of the EGA, for files that carry no palette of their own.
constexpr std::array<unsigned char, 48> kEgaPalette = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0x00, 0xAA, 0x00, 0x00, 0xAA, 0xAA, 0xAA, 0x00, 0x00, 0xAA,
    0x00, 0xAA, 0xAA, 0x55, 0x00, 0xAA, 0xAA, 0xAA, 0x55, 0x55, 0x55, 0x55, 0x55, 0xFF, 0x55, 0xFF,
    0x55, 0x55, 0xFF, 0xFF, 0xFF, 0x55, 0x55, 0xFF, 0x55, 0xFF, 0xFF, 0xFF, 0x55, 0xFF, 0xFF, 0xFF};

constexpr qsizetype kVgaPaletteSize = 1 + 768;  // the marker byte 12, then 256 RGB entries

DecodedPicture Refused(const QString& why) {
    DecodedPicture decoded;
    decoded.error = why;
    return decoded;
}

unsigned char At(QByteArrayView bytes, qsizetype at) { return static_cast<unsigned char>(bytes[at]); }

// Grey levels of a palette of `count` RGB entries.
std::array<unsigned char, 256> GreyPalette(const unsigned char* rgb, int count) {
    std::array<unsigned char, 256> grey{};
    for (int i = 0; i < count; ++i) grey[std::size_t(i)] = GreyOnWhite(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    return grey;
}

// The palette an indexed picture's pixels refer to.
std::array<unsigned char, 256> PaletteOf(QByteArrayView file, int bitsPerPixel, int planes) {
    if (bitsPerPixel == 1 && planes == 1) {
        // The printer's own kind: 0 is black and 1 white, whatever the header holds.
        std::array<unsigned char, 256> grey{};
        grey[1] = 255;
        return grey;
    }
    if (bitsPerPixel == 8) {
        const qsizetype at = file.size() - kVgaPaletteSize;
        if (at >= kPcxHeaderSize && At(file, at) == 12)
            return GreyPalette(reinterpret_cast<const unsigned char*>(file.data() + at + 1), 256);
        std::array<unsigned char, 256> ramp{};  // no palette: the index is the grey level
        for (int i = 0; i < 256; ++i) ramp[std::size_t(i)] = static_cast<unsigned char>(i);
        return ramp;
    }
    // Up to 16 colours from the header; version 3 and an all-black table mean "none".
    const auto* header = reinterpret_cast<const unsigned char*>(file.data() + 16);
    const bool none = At(file, 1) == 3 || std::all_of(header, header + 48, [](unsigned char b) { return b == 0; });
    return GreyPalette(none ? kEgaPalette.data() : header, 16);
}

}  // namespace

PcxDataExtent MeasurePcxData(QByteArrayView file) {
    PcxDataExtent extent;
    const PcxHeaderInfo info = ReadPcxHeader(file.first(std::min(file.size(), kPcxHeaderSize)), file.size());
    if (info.kind != PcxKind::Monochrome && info.kind != PcxKind::OtherPcx) return extent;
    const qint64 bytesPerLine = qint64(At(file, 66)) | qint64(At(file, 67)) << 8;
    extent.needed = bytesPerLine * info.planes * info.height;
    const auto* data = reinterpret_cast<const unsigned char*>(file.data());
    for (qsizetype pos = kPcxHeaderSize; pos < file.size() && extent.decoded < extent.needed;) {
        const unsigned char b = data[pos++];
        if ((b & 0xC0) != 0xC0) {
            ++extent.decoded;
        } else if (pos < file.size()) {
            ++pos;  // the run's value
            extent.decoded += b & 0x3F;
        }
    }
    extent.decoded = std::min(extent.decoded, extent.needed);
    return extent;
}

DecodedPicture DecodePcx(QByteArrayView file) {
    const PcxHeaderInfo info = ReadPcxHeader(file.first(std::min(file.size(), kPcxHeaderSize)), file.size());
    if (info.kind == PcxKind::TooShort) return Refused(QStringLiteral("the file is shorter than a PCX header"));
    if (info.kind == PcxKind::NotPcx) return Refused(QStringLiteral("the file is not a PCX file"));

    const int bits = info.bitsPerPixel, planes = info.planes;
    const bool indexed = (planes == 1 && (bits == 1 || bits == 2 || bits == 4 || bits == 8)) ||
                         (bits == 1 && planes >= 2 && planes <= 4);
    const bool direct = bits == 8 && (planes == 3 || planes == 4);
    if (!indexed && !direct)
        return Refused(QStringLiteral("PCX of %1 planes of %2 bits per pixel cannot be read").arg(planes).arg(bits));
    if (info.width == 0) return Refused(QStringLiteral("the PCX header's picture window is inverted"));
    const int width = info.width, height = info.height;
    if (width > kMaxPictureWidth || height > kMaxPictureHeight)
        return Refused(
            QStringLiteral("the picture is %1 x %2 pixels, larger than %3 x %4")
                .arg(Grouped(width), Grouped(height), Grouped(kMaxPictureWidth), Grouped(kMaxPictureHeight)));

    const qsizetype bytesPerLine = qsizetype(At(file, 66)) | qsizetype(At(file, 67)) << 8;
    if (bytesPerLine < (qsizetype(width) * bits + 7) / 8)
        return Refused(
            QStringLiteral("the PCX header's %1 bytes per line cannot hold %2 pixels").arg(bytesPerLine).arg(width));
    const qsizetype lineBytes = bytesPerLine * planes;
    if (qint64(lineBytes) * height > kMaxDecodedBytes)
        return Refused(QStringLiteral("the PCX header's %1 bytes per line are far more than %2 pixels need")
                           .arg(bytesPerLine)
                           .arg(width));

    const std::array<unsigned char, 256> palette = PaletteOf(file, bits, planes);
    DecodedPicture decoded;
    decoded.picture.width = width;
    decoded.picture.height = height;
    decoded.picture.grey = QByteArray(qsizetype(width) * height, Qt::Uninitialized);

    // Run-length data: a byte with both top bits set repeats the next byte (its
    // low six bits) times; any other byte stands for itself. Some writers let a
    // run go on into the next line, so the run carries over.
    std::vector<unsigned char> line(std::size_t(lineBytes), 0);
    const auto* data = reinterpret_cast<const unsigned char*>(file.data());
    qsizetype pos = kPcxHeaderSize;
    unsigned char runValue = 0;
    qsizetype runLeft = 0;
    for (int y = 0; y < height; ++y) {
        for (qsizetype x = 0; x < lineBytes;) {
            if (runLeft == 0) {
                if (pos >= file.size()) return Refused(QStringLiteral("the picture data ends early"));
                const unsigned char b = data[pos++];
                if ((b & 0xC0) == 0xC0) {
                    if (pos >= file.size()) return Refused(QStringLiteral("the picture data ends early"));
                    runLeft = b & 0x3F;
                    runValue = data[pos++];
                    continue;
                }
                runValue = b;
                runLeft = 1;
            }
            const qsizetype n = std::min(runLeft, lineBytes - x);
            std::memset(line.data() + x, runValue, std::size_t(n));
            x += n;
            runLeft -= n;
        }

        auto* out = reinterpret_cast<unsigned char*>(decoded.picture.grey.data()) + qsizetype(y) * width;
        const unsigned char* plane = line.data();
        for (int x = 0; x < width; ++x) {
            if (direct) {
                const int alpha = planes == 4 ? plane[3 * bytesPerLine + x] : 255;
                out[x] = GreyOnWhite(plane[x], plane[bytesPerLine + x], plane[2 * bytesPerLine + x], alpha);
                continue;
            }
            int index = 0;
            if (planes == 1) {
                const int bit = x * bits;
                index = (plane[bit / 8] >> (8 - bits - bit % 8)) & ((1 << bits) - 1);
            } else {
                for (int p = 0; p < planes; ++p) index |= ((plane[p * bytesPerLine + x / 8] >> (7 - x % 8)) & 1) << p;
            }
            out[x] = palette[std::size_t(index)];
        }
    }
    return decoded;
}

DecodedPicture ReadPcxFile(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Refused(QStringLiteral("Cannot open %1: %2").arg(name, file.errorString()));
    const PcxHeaderInfo info = ReadPcxHeader(file.read(kPcxHeaderSize), file.size());
    const QString tooLarge = PictureSizeError(name, info.width, info.height);
    if (!tooLarge.isEmpty()) return Refused(tooLarge);
    // Mapped rather than read: only the bytes the picture needs are touched.
    QByteArray copy;
    QByteArrayView bytes;
    if (const uchar* mapped = file.map(0, file.size())) {
        bytes = QByteArrayView(mapped, file.size());
    } else {
        file.seek(0);
        copy = file.readAll();
        bytes = copy;
    }
    DecodedPicture decoded = DecodePcx(bytes);
    if (!decoded.ok()) decoded.error = QStringLiteral("Cannot read %1: %2").arg(name, decoded.error);
    return decoded;
}

}  // namespace kivo
