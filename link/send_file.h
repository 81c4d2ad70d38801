// Sending a file to the printer in pieces of 1024 bytes (the window's size; a
// command-line front end may hand the system larger ones), byte for byte.
#pragma once

#include "link/send.h"

#include <QFile>
#include <QString>

namespace kivo {

inline constexpr qint64 kFilePiece = 1024;

struct SendFileResult {
    qint64 sent = 0;          // bytes handed to SendToPrinter and taken
    QString fileError;        // why the file could not be opened or read whole; empty if it could
    bool sendFailed = false;  // the send gave up (error or cancel)
    [[nodiscard]] bool ok() const { return fileError.isEmpty() && !sendFailed; }
};

// Sends `length` bytes of an open file from its current position, one piece of
// at most `piece` bytes per SendToPrinter call; holds one piece in memory. Pieces
// larger than the window's go from the file to the socket inside the system
// (SendFromFile), with no copy in memory. Stops when the send gives up, or when
// the file ends early.
SendFileResult SendOpenFile(Sender& sender, ws::SOCKET s, QFile& file, qint64 length, qint64 piece = kFilePiece);

// Opens the file, sends the whole of it as it is when opened, and closes it.
SendFileResult SendFile(Sender& sender, ws::SOCKET s, const QString& path, qint64 piece = kFilePiece);

}  // namespace kivo
