// Pictures the printer can print. The printer takes only monochrome PCX (one
// plane of one bit per pixel); this room reads a PCX header and says what the
// file is, reads a PCX of any depth into grey pixels, makes grey pixels black
// and white by error diffusion, and writes the result as a monochrome PCX.
// Qt Core only: no image classes of Qt Gui, so a command-line tool can use it.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace kivo {

inline constexpr qsizetype kPcxHeaderSize = 128;

// The largest picture converted for the printer; a ticket printer is a few
// hundred dots wide, so anything larger is a mistake, not a logo.
inline constexpr int kMaxPictureWidth = 2048;
inline constexpr int kMaxPictureHeight = 8192;

enum class PcxKind {
    Monochrome,  // manufacturer 10, 1 bit per pixel, 1 plane: what the printer prints
    OtherPcx,    // manufacturer 10 with another depth or plane count
    NotPcx,      // bytes that do not start as a PCX header does
    TooShort,    // empty, or the start of a PCX header without the rest
};

// What the first 128 bytes of a file say. Width and height are 0 when the
// header's picture window is inverted or when the file is no PCX.
struct PcxHeaderInfo {
    PcxKind kind = PcxKind::TooShort;
    int bitsPerPixel = 0;
    int planes = 0;
    int width = 0;
    int height = 0;
    qint64 fileSize = 0;
};

// Reads the header from the first bytes of a file of `fileSize` bytes.
[[nodiscard]] PcxHeaderInfo ReadPcxHeader(QByteArrayView head, qint64 fileSize);

// One sentence for the operator, naming what the file is, e.g. "logo.pcx is a
// 24-bit colour PCX (3 planes of 8 bits), 200 x 80 pixels; the printer prints
// 1-bit monochrome PCX only."
[[nodiscard]] QString DescribePcxFile(const QString& fileName, const PcxHeaderInfo& info);


// The refusal of a picture too large for the printer, naming its size, or ""
// when the size is accepted.
[[nodiscard]] QString PictureSizeError(const QString& fileName, qint64 width, qint64 height);

// A picture as grey levels, one byte per pixel row by row, 0 black to 255 white.
// Transparent parts are already white.
struct GreyPicture {
    int width = 0;
    int height = 0;
    QByteArray grey;  // width * height bytes
};

struct DecodedPicture {
    GreyPicture picture;
    QString error;  // why the picture could not be read; empty on success
    [[nodiscard]] bool ok() const { return error.isEmpty(); }
};

// The grey level of a colour with its opacity laid over white paper.
[[nodiscard]] constexpr unsigned char GreyOnWhite(int r, int g, int b, int alpha = 255) {
    const int grey = (r * 299 + g * 587 + b * 114 + 500) / 1000;
    return static_cast<unsigned char>((grey * alpha + 255 * (255 - alpha) + 127) / 255);
}

// Reads a PCX file of any depth the format knows: 1, 2, 4 or 8 bits in one plane,
// 1 bit in 2 to 4 planes (header palette), 8 bits with the 256-colour palette at
// the end, and 24- and 32-bit colour in 3 or 4 planes of 8 bits (the fourth is
// opacity). The bytes are untrusted: every field is checked, the size is bounded
// by kMaxPictureWidth x kMaxPictureHeight, and nothing is read past the end.
[[nodiscard]] DecodedPicture DecodePcx(QByteArrayView file);

// How much picture data a PCX holds against what its header announces: the
// bytes its run-length data decode to (counted up to what is needed), and the
// bytes its rows need (bytes per line x planes x height). A file with an
// unusable header needs 0.
struct PcxDataExtent {
    qint64 decoded = 0;
    qint64 needed = 0;
    [[nodiscard]] bool EndsEarly() const { return decoded < needed; }
};
[[nodiscard]] PcxDataExtent MeasurePcxData(QByteArrayView file);

// Reads a PCX file with DecodePcx; a picture larger than the bounds is refused
// by its header before any pixel is read. Errors are operator lines naming the
// file without its folder.
[[nodiscard]] DecodedPicture ReadPcxFile(const QString& path);

// A black-and-white picture as the printer's PCX holds it: rows of
// bytesPerLine bytes (an even count), the leftmost pixel in the top bit,
// bit 1 white and bit 0 black; the padding after the last pixel is white.
struct MonoBitmap {
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;
    QByteArray bits;  // height * bytesPerLine bytes

    [[nodiscard]] bool White(int x, int y) const {
        return (static_cast<unsigned char>(bits[qsizetype(y) * bytesPerLine + x / 8]) >> (7 - x % 8)) & 1;
    }
};

// Black and white by Floyd-Steinberg error diffusion: each pixel becomes black
// below mid-grey, and what that choice got wrong is passed on to the pixels to
// the right and below (7/16, 3/16, 5/16, 1/16).
[[nodiscard]] MonoBitmap DitherToBitmap(const GreyPicture& picture);

// The printer's PCX of a bitmap: version 5, run-length encoded, one plane of one
// bit, the bitmap's width, height and even bytes per line, 300 dpi, and a palette
// of black (0) and white (1). Each line is encoded on its own; a run holds at
// most 63 bytes, and a byte of 0xC0 or more is always written as a run.
[[nodiscard]] QByteArray EncodeMonochromePcx(const MonoBitmap& bitmap);

// A picture turned into the printer's PCX, in memory.
struct ConvertedPcx {
    QByteArray bytes;  // the PCX file
    int width = 0;
    int height = 0;
    QString error;  // the operator's line saying why nothing was converted
    QString line;   // the operator's line naming the conversion
    [[nodiscard]] bool ok() const { return error.isEmpty(); }
};

// Dithers and encodes a grey picture read from the file `fileName` (a name
// without its folder, for the lines). Refuses a picture larger than the bounds.
[[nodiscard]] ConvertedPcx ConvertGreyToPcx(const QString& fileName, const GreyPicture& picture);

}  // namespace kivo
