// The bytes each printer command sends, and the rules for its input: one
// implementation for every front end (the window's buttons, kivo-send), so the
// same command always puts the same bytes on the wire.
#pragma once

#include "link/numbers.h"
#include "link/printer_job.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace kivo {

// The VEK print command: the form feed of a VEK printer, and the end of a PCX frame.
inline constexpr char kVekFormFeed[] = "<p>";
// The PCL form feed: one byte 12.
inline constexpr char kPclFormFeed[] = "\f";

// The text sent before copy `copy` (counted from 1) of the VEK test ticket.
[[nodiscard]] QByteArray VekCopyHeader(long long copy);

// The line that refuses a byte list ("Send Ascii ") that is no list of bytes.
[[nodiscard]] QString ByteListRefusal(const QString& text, const ByteList& list);

// Copies of a file: a whole number from -32768 to 32767 (halves to even); none
// and fewer send nothing.
inline constexpr long long kMinFileCopies = -32768;
inline constexpr long long kMaxFileCopies = 32767;
[[nodiscard]] std::optional<long long> FileCopies(const QString& text);

// Copies of a test ticket: a number outside 1 to 100 counts as "1"; the text
// that then stands for the count (what the copies field shows), and the count.
inline constexpr long long kMaxTicketCopies = 100;
[[nodiscard]] QString TicketCopiesText(const QString& text);
[[nodiscard]] std::optional<long long> TicketCopies(const QString& text);

// Bytes a job of `copies` copies of the file puts on the wire, with the VEK
// copy header before each copy when `vekHeader`.
[[nodiscard]] qint64 CopiesBytes(const QString& path, long long copies, bool vekHeader);

// Adds `copies` copies of the file to the job, each read whole as it is when
// its turn comes, with the VEK copy header before each when `vekHeader`.
void AddCopies(PrinterJob& job, const QString& path, long long copies, bool vekHeader);

}  // namespace kivo
