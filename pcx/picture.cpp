#include "pcx/picture.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

namespace kivo {

namespace {

DecodedPicture Refused(const QString& why) {
    DecodedPicture decoded;
    decoded.error = why;
    return decoded;
}

}  // namespace

DecodedPicture ReadPicture(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Refused(QStringLiteral("Cannot open %1: %2").arg(name, file.errorString()));
    const PcxKind kind = ReadPcxHeader(file.read(kPcxHeaderSize), file.size()).kind;
    file.close();
    if (kind == PcxKind::Monochrome || kind == PcxKind::OtherPcx) return ReadPcxFile(path);

    QImageReader reader(path);
    reader.setAutoTransform(true);
    QSize size = reader.size();  // from the file's header, before any pixel is read
    if (reader.transformation() & QImageIOHandler::TransformationRotate90) size.transpose();
    if (size.isValid()) {
        const QString tooLarge = PictureSizeError(name, size.width(), size.height());
        if (!tooLarge.isEmpty()) return Refused(tooLarge);
    }
    QImage image;
    if (!reader.read(&image))
        return Refused(QStringLiteral("Cannot read %1 as a picture: %2").arg(name, reader.errorString()));
    const QString tooLarge = PictureSizeError(name, image.width(), image.height());
    if (!tooLarge.isEmpty()) return Refused(tooLarge);

    image = image.convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) return Refused(QStringLiteral("Cannot read %1 as a picture: out of memory").arg(name));
    DecodedPicture decoded;
    decoded.picture.width = image.width();
    decoded.picture.height = image.height();
    decoded.picture.grey = QByteArray(qsizetype(image.width()) * image.height(), Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(decoded.picture.grey.data());
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            *out++ = GreyOnWhite(qRed(row[x]), qGreen(row[x]), qBlue(row[x]), qAlpha(row[x]));
    }
    return decoded;
}

ConvertedPcx ConvertPictureToPcx(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const DecodedPicture decoded = ReadPicture(path);
    if (!decoded.ok()) {
        ConvertedPcx refused;
        refused.error = decoded.error;
        return refused;
    }
    return ConvertGreyToPcx(name, decoded.picture);
}

}  // namespace kivo
