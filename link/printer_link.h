// The printer connection and its one owner. A PrinterLink opens the socket, has
// its events posted to the main window, puts its own procedure in front of that
// window's to take them, turns them into log lines (received bytes decoded, the
// connect and the close), and closes the socket, in order or abortively. Nothing
// else closes the printer socket, and its state belongs to the link alone.
#pragma once

#include "link/console_port.h"
#include "platform/window.h"
#include "platform/winsock.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

#include <cstdint>

namespace kivo {

// Bytes one read event drains at the most; the rest waits for the next event,
// so a printer that sends without pause cannot hold the window.
inline constexpr int kMaxReadPerEvent = 64 * 1024;
// Bytes asked of each recv call.
inline constexpr int kRecvPiece = 256;
// A run of printable text that a read ends with is held for the next read, which
// may continue the line; it is written when a control byte follows, after this
// long without bytes, when it has grown to kMaxHeldText, or when the connection ends.
inline constexpr int kTextQuietMs = 100;
inline constexpr int kMaxHeldText = kMaxReadPerEvent;
// What a close in order reads and decodes at the most before it closes.
inline constexpr int kMaxDrain = 16 * kMaxReadPerEvent;

class PrinterLink {
public:
    // Puts the link's procedure in front of the window's: socket messages posted
    // to the window come to this link, every other message goes on as before.
    PrinterLink(platform::HWND window, Console& console);
    // Closes a connection still open, abortively and without a line (the console
    // may be going too), and gives the window its procedure back.
    ~PrinterLink();
    PrinterLink(const PrinterLink&) = delete;
    PrinterLink& operator=(const PrinterLink&) = delete;

    // Opens the printer connection (OpenPrinterSocket), its events posted to the
    // window; a connection still open is closed abortively first. Returns the
    // socket or -1, WSAGetLastError() then saying why.
    ws::SOCKET Open(const QString& host, std::int32_t port, QString& connectionText, bool async = false);
    // Takes a connected socket that is not registered for events, whose events
    // the caller delivers with OnSocketEvent (a socket pair whose reads a test
    // or a fuzzer paces).
    void Adopt(ws::SOCKET s);

    [[nodiscard]] ws::SOCKET Handle() const { return socket_; }
    [[nodiscard]] bool IsOpen() const { return socket_ >= 0; }

    // Ends the stream in order: reads and decodes what the printer sent (a close
    // with unread bytes would reset the connection), then closes with linger off,
    // so the system still delivers what it holds and then the end of the stream.
    void CloseInOrder();
    // Ends the connection at once: with linger on at 0 s the system drops what it
    // holds and resets the connection. Text held from the last read is written.
    void CloseAbortive();

    // Acts on one socket message for the open socket: drains and decodes received
    // bytes, logs the connect and the close, passes room to send and the close on
    // to the console. Messages for another socket are dropped.
    void OnSocketEvent(ws::SOCKET s, platform::LPARAM lParam);

    // Bytes gathered by the last read.
    [[nodiscard]] double ReceivedCount() const { return receivedCount_; }

private:
    static platform::LRESULT SocketWindowProc(platform::HWND hwnd, unsigned int msg, platform::WPARAM wParam,
                                              platform::LPARAM lParam);
    // Reads up to `limit` bytes and decodes them as one reply; returns the count.
    qsizetype ReadReply(qsizetype limit);
    // Decodes what a read brought after the text held from the read before, and
    // holds back the text it ends with.
    void DecodeRead(const QByteArray& received);
    // Writes the held text as its line.
    void FlushHeldText();
    // Forgets the socket once it is closed.
    void Closed();

    platform::HWND window_;
    Console& console_;
    platform::WNDPROC previousProc_;
    void* previousData_;
    ws::SOCKET socket_ = -1;
    double receivedCount_ = 0;
    // The run of text a read ended with, held back until the next read shows
    // whether it goes on: socket reads end anywhere, the printer's lines do not.
    QByteArray heldText_;
    QTimer quiet_;
};

}  // namespace kivo
