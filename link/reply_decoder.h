// Naming what the printer sends back: status bytes by their meaning, other
// control bytes by their ASCII names, and runs of printable characters as text.
#pragma once

#include "link/console_port.h"
#include "link/status_table.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>
#include <vector>

namespace kivo {

// The name of a byte below 32 (and of 127 and above: none). Byte 13, which has
// no status meaning, is "Carriage Return"; a byte without a name gives "".
[[nodiscard]] QString ReplyName(unsigned char byte);

// The line a byte outside 32 to 126 becomes: its name, or its value, as in
// "Byte 0xFF (255)", when it has none. A printable byte is its own character.
[[nodiscard]] QString ReplyByteLine(unsigned char byte);
// Every line ReplyByteLine gives for a byte outside 32 to 126.
[[nodiscard]] QStringList ReplyByteLines();
// The byte behind such a line, or nothing for any other text.
[[nodiscard]] std::optional<unsigned char> ReplyLineByte(const QString& line);

// Turns one reply into log lines, in the order of the bytes: every run of bytes
// 32 to 126 is one text line, every other byte one line of its own
// (ReplyByteLine). Every byte of the reply is decoded.
[[nodiscard]] QStringList DecodeReply(QByteArrayView reply);
// The same lines, each with the byte it names (-1 for a text run).
[[nodiscard]] std::vector<ReplyLine> DecodeReplyLines(QByteArrayView reply);

// Where the run of printable bytes (32 to 126) that the reply ends with begins;
// the reply's size when it ends with another byte or is empty.
[[nodiscard]] qsizetype TrailingTextStart(QByteArrayView reply);

// Decodes a reply into the incoming log, as the printer's own lines.
void DecodePrinterReply(QByteArrayView reply, Console& console);

// Decodes a printer's bytes as they arrive, in reads that end anywhere while the
// printer's lines do not: a run of printable text that a read ends with is held
// until the next read shows whether it goes on. It is written when a control
// byte follows, after kTextQuietMs without bytes, when it has grown to
// kMaxHeldText, or at Flush (the stream's end).
class ReplyReader : public QObject {
public:
    static constexpr int kTextQuietMs = 100;
    static constexpr qsizetype kMaxHeldText = 64 * 1024;
    using Sink = std::function<void(const std::vector<ReplyLine>& lines)>;

    explicit ReplyReader(Sink sink, QObject* parent = nullptr);
    // Decodes what a read brought after the text held from the read before.
    void Feed(QByteArrayView bytes);
    // Writes the held text: nothing more can continue it.
    void Flush();
    // Forgets the held text without writing it.
    void Drop() {
        quiet_.stop();
        held_.clear();
    }

private:
    Sink sink_;
    QByteArray held_;
    QTimer quiet_;
};

}  // namespace kivo
