// Printing a PCX image: the file's bytes framed in the printer's graphics
// download command, "<SP100,100><pcx><G" + length + ">", then the print command.
#pragma once

#include "link/console_port.h"
#include "link/send.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace kivo {

// The download header for an image of `length` bytes.
[[nodiscard]] QByteArray PcxDownloadHeader(qint64 length);

// Sends one image file framed for the printer, then the print command, and logs
// "Sending PCX file ..." first. A file that cannot be opened sends nothing and
// gets one line saying why. The length in the header is the length of the file
// that is then sent, from the same open file; a file that yields fewer bytes
// (it shrank, or a read failed) is padded with zero bytes to that length, with
// one line saying how many. True when the whole frame went out.
bool SendPcxImage(Sender& sender, ws::SOCKET s, const QString& path, const QByteArray& printCommand, Console& console);

// Sends an image held in memory framed exactly as a file is: the download header
// with its length, its bytes in pieces of 1024, then the print command (unless
// the job failed on the way). Writes no line; the caller says what it sends.
void SendPcxBytes(Sender& sender, ws::SOCKET s, QByteArrayView image, const QByteArray& printCommand);

}  // namespace kivo
