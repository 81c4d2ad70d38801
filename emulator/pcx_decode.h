// Decoding of monochrome PCX pictures (1 bit per pixel, 1 plane, RLE), the
// kind the printer takes for ticket graphics. The input comes from a client and
// is untrusted: every header field is checked and every size is bounded.
#pragma once

#include <QImage>

#include <cstdint>
#include <span>
#include <string>

namespace kivo::emu {

struct PcxDecoded {
    QImage image;       // Format_Mono, 0 black and 1 white; null on failure
    std::string error;  // why it was refused, when image is null
};

// Largest picture side, and largest decoded scan-line data, accepted.
inline constexpr int kMaxPcxSide = 16384;
inline constexpr std::uint64_t kMaxPcxDecodedBytes = 64ull << 20;

[[nodiscard]] PcxDecoded DecodeMonochromePcx(std::span<const std::uint8_t> file);

// The bytes of a PCX header, which is all describePcxDepth needs.
inline constexpr std::size_t PcxHeaderSize = 128;

// What kind of PCX the printer got when it cannot draw it, e.g. "24-bit colour
// PCX (3 planes of 8 bits)"; empty for a monochrome PCX (1 bit, 1 plane) and
// for bytes that are no PCX header at all.
[[nodiscard]] std::string DescribePcxDepth(std::span<const std::uint8_t> file);

}  // namespace kivo::emu
