// Feeds arbitrary printer bytes through the read path and the reply decoder:
// every byte must come out as its line, in order, whatever the bytes and however
// the read path splits them into events.
#include "link/reply_decoder.h"
#include "link/printer_link.h"
#include "link/winsock_module.h"
#include "platform/window.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

struct ListConsole : kivo::Console {
    QStringList incoming;
    int outgoing = 0;
    void LogMessage(kivo::LogKind kind, const QString& text, kivo::Severity) override {
        if (kind == kivo::LogKind::Outgoing)
            ++outgoing;
        else
            incoming.append(text);
    }
    void Pause(double) override {}
    QString AddressText() const override { return QStringLiteral("127.0.0.1"); }
};

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool started = kivo::StartNetwork();
    static platform::Window window;
    static ListConsole console;
    static kivo::PrinterLink link(&window, console);
    Check(started);
    // Below the longest text run held for the next read: every line is then whole.
    if (size >= static_cast<std::size_t>(kivo::kMaxHeldText)) return 0;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) != 0) return 0;
    link.Adopt(pair[1]);
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

    // One read event after another, as the window would get them, until the
    // printer's bytes are used up; a text run cut by the end of a read goes on
    // in the next, so the lines are those of all the bytes at once.
    std::size_t done = 0;
    console.incoming.clear();
    for (;;) {
        link.OnSocketEvent(pair[1], ws::FD_READ);
        const auto got = static_cast<std::size_t>(link.ReceivedCount());
        if (got == 0) break;
        Check(got <= static_cast<std::size_t>(kivo::kMaxReadPerEvent));
        Check(done + got <= written);
        done += got;
    }
    link.CloseInOrder();  // the end: the held text is written
    const QStringList expected = Expected(data, written);
    Check(done == written);
    Check(console.incoming == expected);
    Check(console.outgoing == 0);
    return 0;
}
