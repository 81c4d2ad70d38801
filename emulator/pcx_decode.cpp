#include "emulator/pcx_decode.h"

#include <cstring>
#include <vector>

namespace kivo::emu {

namespace {
constexpr std::size_t kHeaderSize = PcxHeaderSize;

std::string Counted(unsigned count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

PcxDecoded Refused(std::string why) { return {QImage(), std::move(why)}; }
}  // namespace

PcxDecoded DecodeMonochromePcx(std::span<const std::uint8_t> file) {
    if (file.size() < kHeaderSize) return Refused("shorter than a PCX header");
    const auto u16 = [&](std::size_t at) { return unsigned(file[at]) | unsigned(file[at + 1]) << 8; };

    if (file[0] != 0x0A) return Refused("not a PCX file");
    const unsigned version = file[1];
    if (version != 0 && version != 2 && version != 3 && version != 4 && version != 5)
        return Refused("unknown PCX version " + std::to_string(version));
    if (file[2] != 1) return Refused("not RLE encoded");
    if (file[3] != 1) return Refused(std::to_string(file[3]) + " bits per pixel, not 1");
    if (file[65] != 1) return Refused(std::to_string(file[65]) + " colour planes, not 1");

    const unsigned xMin = u16(4), yMin = u16(6), xMax = u16(8), yMax = u16(10);
    if (xMax < xMin || yMax < yMin) return Refused("picture window is inverted");
    const unsigned width = xMax - xMin + 1, height = yMax - yMin + 1;
    if (width > kMaxPcxSide || height > kMaxPcxSide)
        return Refused("picture is " + std::to_string(width) + "x" + std::to_string(height) + ", larger than allowed");
    const unsigned bytesPerLine = u16(66);
    const unsigned needed = (width + 7) / 8;
    if (bytesPerLine < needed) return Refused("bytes per line too small for the width");
    if (std::uint64_t(bytesPerLine) * height > kMaxPcxDecodedBytes) return Refused("decoded picture data too large");

    QImage image(int(width), int(height), QImage::Format_Mono);
    if (image.isNull()) return Refused("no memory for the picture");
    image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});

    // RLE: a byte with both top bits set repeats the next byte (its low six bits)
    // times; any other byte stands for itself. Runs may go on into the next line.
    std::vector<std::uint8_t> line(bytesPerLine);
    std::size_t pos = kHeaderSize;
    std::uint8_t runValue = 0;
    unsigned runLeft = 0;
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < bytesPerLine;) {
            if (runLeft == 0) {
                if (pos >= file.size()) return Refused("picture data ends early");
                const std::uint8_t b = file[pos++];
                if ((b & 0xC0) == 0xC0) {
                    if (pos >= file.size()) return Refused("picture data ends early");
                    runLeft = b & 0x3F;
                    runValue = file[pos++];
                    continue;
                }
                runValue = b;
                runLeft = 1;
            }
            line[x++] = runValue;
            --runLeft;
        }
        std::memcpy(image.scanLine(int(y)), line.data(), needed);
    }
    return {std::move(image), {}};
}

std::string DescribePcxDepth(std::span<const std::uint8_t> file) {
    if (file.size() < kHeaderSize || file[0] != 0x0A) return {};
    const unsigned bits = file[3], planes = file[65];
    if (bits == 1 && planes == 1) return {};
    const std::string layout = "(" + Counted(planes, "plane", "planes") + " of " + Counted(bits, "bit", "bits") + ")";
    const bool known = (bits == 1 || bits == 2 || bits == 4 || bits == 8) && planes >= 1 && planes <= 4;
    if (!known) return "PCX of an unknown depth " + layout;
    const unsigned depth = bits * planes;
    return std::to_string(depth) + "-bit " + (depth > 8 ? "colour" : "palette") + " PCX " + layout;
}

}  // namespace kivo::emu
