#include "pcx/pcx_image.h"

#include "link/numbers.h"

#include <algorithm>
#include <vector>

namespace kivo {

namespace {

unsigned U16(QByteArrayView bytes, qsizetype at) {
    return unsigned(static_cast<unsigned char>(bytes[at])) | unsigned(static_cast<unsigned char>(bytes[at + 1])) << 8;
}

void Put16(QByteArray& bytes, qsizetype at, unsigned value) {
    bytes[at] = char(value & 0xFF);
    bytes[at + 1] = char((value >> 8) & 0xFF);
}

QString Counted(int count, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

// "a 24-bit colour PCX (3 planes of 8 bits)" and the like.
QString PcxKindText(const PcxHeaderInfo& info) {
    const int bits = info.bitsPerPixel, planes = info.planes;
    const QString layout =
        QStringLiteral("(%1 of %2)").arg(Counted(planes, "plane", "planes"), Counted(bits, "bit", "bits"));
    if (info.kind == PcxKind::Monochrome) return QStringLiteral("a 1-bit monochrome PCX");
    const bool known = (bits == 1 || bits == 2 || bits == 4 || bits == 8) && planes >= 1 && planes <= 4;
    if (!known) return QStringLiteral("a PCX of an unknown depth ") + layout;
    const int depth = bits * planes;
    const QString article = depth == 8 ? QStringLiteral("an") : QStringLiteral("a");
    const QString kind = depth > 8 ? QStringLiteral("colour") : QStringLiteral("palette");
    return QStringLiteral("%1 %2-bit %3 PCX %4").arg(article).arg(depth).arg(kind, layout);
}

}  // namespace

PcxHeaderInfo ReadPcxHeader(QByteArrayView head, qint64 fileSize) {
    PcxHeaderInfo info;
    info.fileSize = fileSize;
    const qsizetype have = std::min<qint64>(head.size(), fileSize);
    const auto byte = [&](qsizetype at) { return static_cast<unsigned char>(head[at]); };
    // Manufacturer 10, a version PCX knows, and run-length encoding; a file
    // that is cut short is judged by the bytes it has.
    const bool pcx = have > 0 && byte(0) == 10 && (have < 2 || byte(1) == 0 || (byte(1) >= 2 && byte(1) <= 5)) &&
                     (have < 3 || byte(2) == 1);
    if (have > 0 && !pcx) info.kind = PcxKind::NotPcx;
    if (have < kPcxHeaderSize || !pcx) return info;  // TooShort or NotPcx
    info.bitsPerPixel = byte(3);
    info.planes = byte(65);
    info.kind = info.bitsPerPixel == 1 && info.planes == 1 ? PcxKind::Monochrome : PcxKind::OtherPcx;
    const unsigned xMin = U16(head, 4), yMin = U16(head, 6), xMax = U16(head, 8), yMax = U16(head, 10);
    if (xMax >= xMin && yMax >= yMin) {
        info.width = int(xMax - xMin + 1);
        info.height = int(yMax - yMin + 1);
    }
    return info;
}

QString DescribePcxFile(const QString& fileName, const PcxHeaderInfo& info) {
    QString what;
    switch (info.kind) {
    case PcxKind::TooShort:
        what = QStringLiteral("is shorter than a PCX header (%1 of %2 bytes)").arg(info.fileSize).arg(kPcxHeaderSize);
        break;
    case PcxKind::NotPcx: what = QStringLiteral("is not a PCX file"); break;
    case PcxKind::Monochrome:
    case PcxKind::OtherPcx:
        what = QStringLiteral("is ") + PcxKindText(info) +
               (info.width > 0 ? QStringLiteral(", %1 x %2 pixels").arg(Grouped(info.width), Grouped(info.height))
                               : QStringLiteral(" with an inverted picture window"));
        if (info.kind == PcxKind::Monochrome) return fileName + QLatin1Char(' ') + what + QLatin1Char('.');
        break;
    }
    return fileName + QLatin1Char(' ') + what + QStringLiteral("; the printer prints 1-bit monochrome PCX only.");
}

QString PictureSizeError(const QString& fileName, qint64 width, qint64 height) {
    if (width <= kMaxPictureWidth && height <= kMaxPictureHeight) return {};
    return QStringLiteral("%1 is %2 x %3 pixels, too large for a ticket printer (at most %4 wide and %5 tall)")
        .arg(fileName, Grouped(width), Grouped(height), Grouped(kMaxPictureWidth), Grouped(kMaxPictureHeight));
}

MonoBitmap DitherToBitmap(const GreyPicture& picture) {
    MonoBitmap bitmap;
    const int width = picture.width, height = picture.height;
    if (width <= 0 || height <= 0 || picture.grey.size() != qsizetype(width) * height) return bitmap;
    bitmap.width = width;
    bitmap.height = height;
    bitmap.bytesPerLine = ((width + 7) / 8 + 1) & ~1;
    bitmap.bits = QByteArray(qsizetype(bitmap.bytesPerLine) * height, char(0xFF));  // white, padding included

    // Errors waiting for this line and the next, one slot of margin on each side.
    std::vector<float> here(std::size_t(width) + 2), below(std::size_t(width) + 2);
    const auto* grey = reinterpret_cast<const unsigned char*>(picture.grey.constData());
    for (int y = 0; y < height; ++y) {
        char* line = bitmap.bits.data() + qsizetype(y) * bitmap.bytesPerLine;
        for (int x = 0; x < width; ++x) {
            const std::size_t at = std::size_t(x) + 1;
            const float value = float(grey[qsizetype(y) * width + x]) + here[at];
            const bool black = value < 128.0f;
            if (black) line[x / 8] = char(static_cast<unsigned char>(line[x / 8]) & ~(0x80 >> (x % 8)));
            const float error = (value - (black ? 0.0f : 255.0f)) / 16.0f;
            here[at + 1] += error * 7;
            below[at - 1] += error * 3;
            below[at] += error * 5;
            below[at + 1] += error;
        }
        here.swap(below);
        std::fill(below.begin(), below.end(), 0.0f);
    }
    return bitmap;
}

QByteArray EncodeMonochromePcx(const MonoBitmap& bitmap) {
    const int needed = (bitmap.width + 7) / 8;
    if (bitmap.width <= 0 || bitmap.height <= 0 || bitmap.width > 0xFFFF || bitmap.height > 0xFFFF ||
        bitmap.bytesPerLine < needed || bitmap.bytesPerLine % 2 != 0 || bitmap.bytesPerLine > 0xFFFF ||
        bitmap.bits.size() != qsizetype(bitmap.bytesPerLine) * bitmap.height)
        return {};

    QByteArray file(kPcxHeaderSize, '\0');
    file[0] = 10;  // manufacturer
    file[1] = 5;   // version 5
    file[2] = 1;   // run-length encoding
    file[3] = 1;   // bits per pixel
    Put16(file, 8, unsigned(bitmap.width - 1));
    Put16(file, 10, unsigned(bitmap.height - 1));
    Put16(file, 12, 300);
    Put16(file, 14, 300);
    for (int i = 0; i < 3; ++i) file[16 + 3 + i] = char(0xFF);  // palette: 0 black, 1 white
    file[65] = 1;                                               // planes
    Put16(file, 66, unsigned(bitmap.bytesPerLine));
    Put16(file, 68, 1);  // palette information: colour or black and white

    file.reserve(file.size() + qsizetype(bitmap.bytesPerLine) * bitmap.height);
    for (int y = 0; y < bitmap.height; ++y) {
        const char* line = bitmap.bits.constData() + qsizetype(y) * bitmap.bytesPerLine;
        for (int at = 0; at < bitmap.bytesPerLine;) {
            const char value = line[at];
            int run = 1;
            while (at + run < bitmap.bytesPerLine && line[at + run] == value && run < 63) ++run;
            // A lone byte below 0xC0 stands for itself; anything else needs a count.
            if (run > 1 || static_cast<unsigned char>(value) >= 0xC0) file += char(0xC0 | run);
            file += value;
            at += run;
        }
    }
    return file;
}

ConvertedPcx ConvertGreyToPcx(const QString& fileName, const GreyPicture& picture) {
    ConvertedPcx converted;
    converted.error = PictureSizeError(fileName, picture.width, picture.height);
    if (!converted.ok()) return converted;
    if (picture.width <= 0 || picture.height <= 0 || picture.grey.size() != qsizetype(picture.width) * picture.height) {
        converted.error = QStringLiteral("Cannot convert %1: the picture has no pixels").arg(fileName);
        return converted;
    }
    converted.bytes = EncodeMonochromePcx(DitherToBitmap(picture));
    converted.width = picture.width;
    converted.height = picture.height;
    converted.line =
        QStringLiteral("Converted %1 (%2 x %3) to a monochrome PCX of %4 bytes")
            .arg(fileName, Grouped(picture.width), Grouped(picture.height), Grouped(converted.bytes.size()));
    return converted;
}

}  // namespace kivo
