// A job: what one command puts on the wire, as data. Its pieces are bytes, files
// (read afresh when their turn comes, so each copy is the file as it is then)
// and the ends of its copies; the printer connection hands them to the system
// as it has room, and the ledger follows them until the printer has taken them
// and answered every print command among them.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace kivo {

// The window hands a file to the system in pieces of 1024 bytes; a front end
// may hand larger ones (straight from the file, with no copy in memory).
inline constexpr qint64 kFilePiece = 1024;

struct JobPiece {
    enum class Kind { Bytes, File, CopyEnd };
    Kind kind = Kind::Bytes;
    QByteArray bytes;  // Bytes
    QString path;      // File
    // File: the bytes to send; -1 for the whole file as it is when opened. A file
    // that yields fewer than a length given here is padded with zero bytes (a PCX
    // image, whose download header has announced its length).
    qint64 length = -1;
};

struct PrinterJob {
    QString caption;          // the button or option that made it: "VEK Test Ticket"
    QString what;             // how its lines name it: "20 copies of vek_test.txt"
    qint64 planned = 0;       // bytes it means to put on the wire
    qint64 copies = 1;        // copies it sends
    int printCommands = 0;    // print commands it makes itself: each wants an answer
    bool reportDone = false;  // its end gets a Done line
    std::vector<JobPiece> pieces;

    void AddBytes(QByteArray bytes) { pieces.push_back({JobPiece::Kind::Bytes, std::move(bytes), {}, -1}); }
    void AddFile(const QString& path, qint64 length = -1) {
        pieces.push_back({JobPiece::Kind::File, {}, path, length});
    }
    void EndCopy() { pieces.push_back({JobPiece::Kind::CopyEnd, {}, {}, -1}); }
};

// How a job's handing ended: every byte handed to the system, stopped by the
// operator, or ended by an error (of a file or of the connection).
enum class JobEnd { Sent, Stopped, Failed };

}  // namespace kivo
