// Printing a PCX image: the file's bytes framed in the printer's graphics
// download command, "<SP100,100><pcx><G" + length + ">", then the print command.
#pragma once

#include "link/console_port.h"
#include "link/printer_job.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace kivo {

// The download header for an image of `length` bytes.
[[nodiscard]] QByteArray PcxDownloadHeader(qint64 length);

// Puts one image file framed for the printer, then the print command, into the
// job, and logs "Sending PCX file ..." first. A file that cannot be opened puts
// nothing in and gets one line saying why (false). The header gives the file's
// length as it is now; a file that yields fewer bytes when its turn comes (it
// shrank, or a read failed) is padded with zero bytes to that length, with one
// line saying how many, so the print command after it is read as a command.
bool AddPcxImage(PrinterJob& job, const QString& path, const QByteArray& printCommand, Console& console);

// Puts an image held in memory into the job framed exactly as a file is: the
// download header with its length, its bytes, then the print command. Writes
// no line; the caller says what it sends.
void AddPcxBytes(PrinterJob& job, QByteArrayView image, const QByteArray& printCommand);

}  // namespace kivo
