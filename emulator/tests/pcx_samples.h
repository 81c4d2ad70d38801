// Small monochrome PCX files made on the spot, so the tests need no sample files.
#pragma once

#include <QByteArray>
#include <QImage>

#include <cstdint>

namespace pcx_samples {

struct Layout {
    int bytesPerLine = 0;  // 0: the smallest even count that holds a line
    int xMin = 0, yMin = 0;
    bool runsAcrossLines = false;  // encode the whole picture as one stream
    bool zeroRuns = false;         // put empty runs (0xC0 x) between the data
    QByteArray trailer;            // bytes after the picture data
};

// The 128-byte header; every field can be set wrong on purpose.
inline QByteArray Header(int width, int height, int bytesPerLine, int xMin = 0, int yMin = 0) {
    QByteArray h(128, '\0');
    const auto put16 = [&](int at, int v) { h[at] = char(v & 0xFF), h[at + 1] = char((v >> 8) & 0xFF); };
    h[0] = 0x0A;  // manufacturer
    h[1] = 5;     // version
    h[2] = 1;     // RLE
    h[3] = 1;     // bits per pixel
    put16(4, xMin);
    put16(6, yMin);
    put16(8, xMin + width - 1);
    put16(10, yMin + height - 1);
    put16(12, 200);
    put16(14, 200);
    h[65] = 1;  // planes
    put16(66, bytesPerLine);
    put16(68, 1);
    return h;
}

inline QByteArray Rle(const QByteArray& raw, bool zeroRuns) {
    QByteArray out;
    for (qsizetype i = 0; i < raw.size();) {
        const char value = raw[i];
        qsizetype run = 1;
        while (i + run < raw.size() && raw[i + run] == value && run < 63) ++run;
        if (zeroRuns) out += QByteArray("\xC0\x55", 2);
        if (run > 1 || (std::uint8_t(value) & 0xC0) == 0xC0) out += char(0xC0 | run);
        out += value;
        i += run;
    }
    return out;
}

// A PCX file of a Format_Mono picture (0 black, 1 white).
inline QByteArray Encode(const QImage& picture, const Layout& layout = {}) {
    const QImage mono = picture.convertToFormat(QImage::Format_Mono);
    const int needed = (mono.width() + 7) / 8;
    const int bpl = layout.bytesPerLine ? layout.bytesPerLine : needed + (needed % 2);
    QByteArray file = Header(mono.width(), mono.height(), bpl, layout.xMin, layout.yMin);
    QByteArray all;
    for (int y = 0; y < mono.height(); ++y) {
        QByteArray line(bpl, '\0');
        for (int x = 0; x < mono.width(); ++x)
            if (mono.pixelIndex(x, y) == 1) line[x / 8] = char(std::uint8_t(line[x / 8]) | (0x80 >> (x % 8)));
        if (layout.runsAcrossLines)
            all += line;
        else
            file += Rle(line, layout.zeroRuns);
    }
    if (layout.runsAcrossLines) file += Rle(all, layout.zeroRuns);
    return file + layout.trailer;
}

// A recognisable test picture: a frame, a diagonal and stripes.
inline QImage Picture(int width, int height) {
    QImage image(width, height, QImage::Format_Mono);
    image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool black = x == 0 || y == 0 || x == width - 1 || y == height - 1 || x == y || (x / 3) % 4 == 0;
            image.setPixel(x, y, black ? 0 : 1);
        }
    return image;
}

// True when both pictures have the same size and the same pixels.
inline bool SamePixels(const QImage& a, const QImage& b) {
    return a.convertToFormat(QImage::Format_RGB32) == b.convertToFormat(QImage::Format_RGB32);
}

}  // namespace pcx_samples
