// The one TCP connection to a printer, on the event loop of the thread that
// owns it: a non-blocking socket watched by two socket notifiers. It connects
// (a host name looked up on a thread, the attempt bounded by 20 s), reads
// whenever the printer has sent something, hands the running job's pieces to
// the system whenever it has room, and never waits in place. What happens comes
// out as signals. A loss is told once, whichever call meets it first, and only
// after everything the printer sent before it has been read.
#pragma once

#include "link/printer_job.h"
#include "platform/host_lookup.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

namespace kivo {

class PrinterConnection : public QObject {
    Q_OBJECT
public:
    // What the socket tells: the connect has ended, bytes wait to be read, there
    // is room to write, the stream has ended (with an error, or 0 when the
    // printer ended its sending side in order).
    enum class SocketEvent { Connect, Read, Write, Close };

    static constexpr int kConnectTimeoutMs = 20000;
    // Bytes one read event takes at the most; the rest waits for the next turn
    // of the loop, so a printer that sends without pause cannot hold it.
    static constexpr int kMaxReadPerEvent = 64 * 1024;
    // Bytes asked of each receive.
    static constexpr int kRecvPiece = 256;
    // What a close in order, or a loss, reads at the most before it closes.
    static constexpr qint64 kMaxDrain = 16 * kMaxReadPerEvent;

    // Files go out in pieces of `filePiece` bytes: the window's 1024 through the
    // program, larger ones straight from the file.
    explicit PrinterConnection(qint64 filePiece = kFilePiece, QObject* parent = nullptr);
    // Closes a connection still open, abortively; nothing is emitted.
    ~PrinterConnection() override;
    PrinterConnection(const PrinterConnection&) = delete;
    PrinterConnection& operator=(const PrinterConnection&) = delete;

    // Starts a connect to a dotted IPv4 address or a host name. The outcome
    // comes later, never from within this call: Connected, or ConnectFailed
    // with the error (WSAHOST_NOT_FOUND, WSAECONNREFUSED, WSAETIMEDOUT after
    // kConnectTimeoutMs, WSAEINTR after CancelConnect ...). A connection still
    // open is closed abortively first.
    void Open(const QString& host, int port);
    // Ends a connect that is going on: ConnectFailed(WSAEINTR) at once.
    void CancelConnect();
    // Takes a connected socket made elsewhere (a socket pair whose bytes a test
    // or a fuzzer writes).
    void Adopt(int fd);

    [[nodiscard]] bool Connecting() const { return connecting_; }
    [[nodiscard]] bool IsOpen() const { return fd_ >= 0 && !connecting_; }
    [[nodiscard]] int Handle() const { return fd_; }
    // "address:port" once the address is known.
    [[nodiscard]] const QString& ConnectionText() const { return connectionText_; }

    // Hands the job's pieces to the system, in order, as room frees; CopyHanded
    // after each copy's end, then JobHanded. One job at a time.
    void Hand(PrinterJob job);
    [[nodiscard]] bool Handing() const { return job_.has_value(); }
    // The running job hands nothing more; what the system holds goes on.
    void StopHanding();

    // Bytes handed to the system since the connect.
    [[nodiscard]] qint64 Sent() const { return sent_; }
    // Of those, the bytes the printer's TCP stack has acknowledged; the last
    // count read once the connection is closed.
    [[nodiscard]] qint64 Acknowledged() const;
    // Bytes the system holds and has not put on the wire.
    [[nodiscard]] qint64 NotSent() const;
    // Lets the system hold about this many bytes not yet on the wire.
    void SetUnsentLimit(int bytes);
    // Bytes the last read event took.
    [[nodiscard]] qint64 ReceivedCount() const { return receivedCount_; }
    // The printer has ended its sending side; it may still be reading.
    [[nodiscard]] bool StreamEnded() const { return streamEnded_; }
    [[nodiscard]] bool LostConnection() const { return lost_; }

    // Ends the stream in order: reads what the printer sent (a close with
    // unread bytes would reset the connection), turns the linger off, so the
    // system still delivers what it holds and then the end of the stream, and
    // closes. Nothing is emitted but Received.
    void CloseInOrder();
    // Ends the connection at once: the system drops what it holds and resets it.
    void CloseAbortive();

    // Acts on what the socket told; the notifiers and the connect timer call it.
    void OnSocketEvent(SocketEvent event, int error = 0);

signals:
    void Connected();
    void ConnectFailed(int error);
    // Bytes the printer sent, in order.
    void Received(const QByteArray& bytes);
    // The printer has ended its sending side in order (it may read on).
    void EndOfStream();
    // The connection is gone (reset, timed out, or closed under a send), with
    // the error; everything the printer sent before it has been received.
    void Lost(int error);
    // Bytes were handed to the system.
    void Written();
    void CopyHanded();
    // The running job has handed its last piece; a file that could not be sent
    // whole is named in `fileError` ("Cannot send file ...").
    void JobHanded(JobEnd how, const QString& fileError);
    // A line the connection has to say about the running job (an image padded).
    void Note(const QString& line);

private:
    void StartConnect(std::uint32_t address);
    void ConnectDone();
    void FailConnect(int error);
    void WatchSocket();
    void ReadEvent();
    // Reads everything that waits, up to `limit`; false when the connection went meanwhile.
    bool Drain(qint64 limit, int& error, bool& ended);
    void Pump();
    // Hands some of the file piece; 0 once it is done or skipped.
    qint64 HandFile(const JobPiece& piece, int& error);
    void NextPiece();
    void FinishJob();
    // The connection failed under a send or a read: reads what is left, then tells.
    void Fail(int error);
    void Close(bool inOrder);

    qint64 filePiece_;
    int fd_ = -1;
    bool connecting_ = false;
    bool lost_ = false;
    bool streamEnded_ = false;
    int port_ = 0;
    QString connectionText_;
    quint64 generation_ = 0;  // changes with each open and close
    std::shared_ptr<platform::HostLookup> lookup_;
    QTimer connectTimer_;
    QTimer nextTurn_;  // the running job's next turn when the last one was not stopped by a full socket
    std::unique_ptr<QSocketNotifier> readable_;
    std::unique_ptr<QSocketNotifier> writable_;

    qint64 sent_ = 0;
    mutable qint64 acked_ = 0;
    qint64 receivedCount_ = 0;

    // The job being handed: which piece, how far into it, and for a file piece
    // the open file, its length, the bytes handed and a piece read ahead.
    std::optional<PrinterJob> job_;
    std::size_t piece_ = 0;
    qint64 offset_ = 0;
    QFile file_;
    qint64 fileLength_ = 0;
    bool fileThroughProgram_ = false;
    qint64 padding_ = 0;  // zero bytes still to hand for an image that read short
    QByteArray buffer_;
    qint64 bufferStart_ = 0;  // the part of buffer_ not yet handed
    QString fileError_;
};

}  // namespace kivo
