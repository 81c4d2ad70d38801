// Feeds arbitrary printer bytes through the read path and the reply decoder:
// every byte must come out as its line, in order, whatever the bytes and however
// the read path splits them into events.
#include "link/printer_connection.h"
#include "link/reply_decoder.h"

#include <QCoreApplication>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

bool Printable(unsigned char c) { return c >= 32 && c <= 126; }

// The lines a chunk must give, walked byte by byte.
QStringList Expected(const std::uint8_t* data, std::size_t size) {
    QStringList lines;
    QString run;
    for (std::size_t i = 0; i < size; ++i) {
        if (Printable(data[i])) {
            run.append(QChar(data[i]));
            continue;
        }
        if (!run.isEmpty()) lines.append(run), run.clear();
        lines.append(kivo::ReplyByteLine(data[i]));
    }
    if (!run.isEmpty()) lines.append(run);
    return lines;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

// The read path as a session wires it: what a read brings goes to the reader,
// and the end of the printer's stream writes the text it holds.
struct ReadPath {
    QStringList lines;
    kivo::PrinterConnection connection;
    kivo::ReplyReader reader{[this](const std::vector<kivo::ReplyLine>& read) {
        for (const kivo::ReplyLine& line : read) lines.append(line.text);
    }};
    ReadPath() {
        QObject::connect(&connection, &kivo::PrinterConnection::Received, &reader,
                         [this](const QByteArray& bytes) { reader.Feed(bytes); });
        QObject::connect(&connection, &kivo::PrinterConnection::EndOfStream, &reader, [this] { reader.Flush(); });
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Sockets are watched by notifiers, which want an application object.
    static int argc = 1;
    static char name[] = "fuzz_reply_read";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static ReadPath path;
    // Below the longest text run held for the next read: every line is then whole.
    if (size >= static_cast<std::size_t>(kivo::ReplyReader::kMaxHeldText)) return 0;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) != 0) return 0;
    path.connection.Adopt(pair[1]);
    const int big = 1 << 20;
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::send(pair[0], data + written, size - written, MSG_NOSIGNAL);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    ::close(pair[0]);

    // One read event after another, as the event loop would give them, until the
    // printer's bytes are used up; a text run cut by the end of a read goes on
    // in the next, so the lines are those of all the bytes at once.
    std::size_t done = 0;
    path.lines.clear();
    for (;;) {
        path.connection.OnSocketEvent(kivo::PrinterConnection::SocketEvent::Read);
        const auto got = static_cast<std::size_t>(path.connection.ReceivedCount());
        if (got == 0) break;
        Check(got <= static_cast<std::size_t>(kivo::PrinterConnection::kMaxReadPerEvent));
        Check(done + got <= written);
        done += got;
    }
    Check(path.connection.StreamEnded());  // the end: the held text is written
    Check(done == written);
    Check(path.lines == Expected(data, written));
    return 0;
}
