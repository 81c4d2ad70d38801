// Any picture a technician has at hand, turned into a PCX the printer prints.
// Needs Qt Gui for the picture formats Qt reads (PNG, BMP, JPEG, GIF, ...);
// PCX, which Qt does not read, is read by our own reader.
#pragma once

#include "pcx/pcx_image.h"

#include <QString>

namespace kivo {

// Reads a picture file as grey pixels, transparent parts white. A PCX (told by
// its header, whatever the name) is read by ReadPcxFile, anything else by Qt. A
// picture larger than kMaxPictureWidth x kMaxPictureHeight is refused before
// its pixels are read. Errors are operator lines naming the file.
[[nodiscard]] DecodedPicture ReadPicture(const QString& path);

// Reads the picture and turns it into a monochrome PCX in memory; nothing is
// written to disk. The line reads "Converted logo.png (200 x 80) to a
// monochrome PCX of 2,178 bytes"; lines name the file without its folder.
[[nodiscard]] ConvertedPcx ConvertPictureToPcx(const QString& path);

}  // namespace kivo
