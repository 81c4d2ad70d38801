#include "link/printer_connection.h"

#include "link/code_page.h"
#include "link/numbers.h"
#include "link/printer_socket.h"
#include "platform/socket_errors.h"
#include "platform/tcp_stream.h"

#include <algorithm>
#include <utility>

namespace kivo {
namespace {

// What one turn of the loop hands to the system at the most, so reads and
// clicks get their turns during a long job.
constexpr qint64 kHandPerTurn = 1024 * 1024;

bool IsFull(int error) { return error == ws::WSAEWOULDBLOCK || error == ws::WSAENOBUFS || error == ws::WSAEINTR; }

}  // namespace

PrinterConnection::PrinterConnection(qint64 filePiece, QObject* parent)
    : QObject(parent), filePiece_(std::max<qint64>(filePiece, 1)) {
    nextTurn_.setSingleShot(true);
    nextTurn_.setInterval(0);
    connect(&nextTurn_, &QTimer::timeout, this, [this] { OnSocketEvent(SocketEvent::Write); });
    connectTimer_.setSingleShot(true);
    connect(&connectTimer_, &QTimer::timeout, this, [this] { OnSocketEvent(SocketEvent::Connect, ws::WSAETIMEDOUT); });
}

PrinterConnection::~PrinterConnection() {
    if (lookup_) lookup_->Drop();
    readable_.reset();
    writable_.reset();
    platform::CloseSocket(fd_);
}

// ---------------------------------------------------------------- connect

void PrinterConnection::Open(const QString& host, int port) {
    CloseAbortive();
    ++generation_;
    connecting_ = true;
    lost_ = streamEnded_ = false;
    sent_ = acked_ = 0;
    port_ = port;
    connectionText_.clear();
    connectTimer_.start(kConnectTimeoutMs);
    const quint64 generation = generation_;
    const std::uint32_t address = DottedAddress(host);
    if (address != kNoAddress) {
        // Never from within Open: its caller has not yet heard that it began.
        QTimer::singleShot(0, this, [this, generation, address] {
            if (generation == generation_ && connecting_) StartConnect(address);
        });
        return;
    }
    const QByteArray name = ToSingleByte(host);
    if (name.isEmpty() || name.contains('\0')) {
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == generation_ && connecting_) FailConnect(ws::WSAHOST_NOT_FOUND);
        });
        return;
    }
    lookup_ = platform::HostLookup::Start(name, [this](int error, std::uint32_t found) {
        lookup_.reset();
        if (error != 0) return FailConnect(error);
        // "255.255.255.255" as a name is no more an address than as dotted text.
        if (found == kNoAddress) return FailConnect(ws::WSAHOST_NOT_FOUND);
        StartConnect(found);
    });
}

void PrinterConnection::CancelConnect() {
    if (connecting_) FailConnect(ws::WSAEINTR);
}

void PrinterConnection::Adopt(int fd) {
    CloseAbortive();
    ++generation_;
    lost_ = streamEnded_ = false;
    sent_ = acked_ = 0;
    fd_ = fd;
    WatchSocket();
    readable_->setEnabled(true);
}

void PrinterConnection::StartConnect(std::uint32_t address) {
    connectionText_ = AddressToText(address) + QLatin1Char(':') + QString::number(port_);
    int error = 0;
    fd_ = OpenPrinterSocket(address, port_, error);
    if (fd_ < 0) return FailConnect(error);
    WatchSocket();
    if (error == 0) return ConnectDone();
    writable_->setEnabled(true);  // the connect's end makes the socket writable
}

void PrinterConnection::WatchSocket() {
    readable_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    writable_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
    readable_->setEnabled(false);
    writable_->setEnabled(false);
    connect(readable_.get(), &QSocketNotifier::activated, this, [this] { OnSocketEvent(SocketEvent::Read); });
    connect(writable_.get(), &QSocketNotifier::activated, this,
            [this] { OnSocketEvent(connecting_ ? SocketEvent::Connect : SocketEvent::Write); });
}

void PrinterConnection::ConnectDone() {
    connectTimer_.stop();
    connecting_ = false;
    readable_->setEnabled(true);
    writable_->setEnabled(job_.has_value());
    emit Connected();
}

void PrinterConnection::FailConnect(int error) {
    connectTimer_.stop();
    if (lookup_) std::exchange(lookup_, nullptr)->Drop();
    readable_.reset();
    writable_.reset();
    platform::CloseSocket(std::exchange(fd_, -1));
    ++generation_;
    connecting_ = false;
    emit ConnectFailed(error);
}

// ---------------------------------------------------------------- events

void PrinterConnection::OnSocketEvent(SocketEvent event, int error) {
    switch (event) {
    case SocketEvent::Connect:
        if (!connecting_) return;
        if (error == 0 && fd_ >= 0) error = platform::PendingError(fd_);
        if (error != 0) return FailConnect(error);
        return ConnectDone();
    case SocketEvent::Read:
        if (fd_ >= 0 && !connecting_ && !lost_) ReadEvent();
        return;
    case SocketEvent::Write:
        if (fd_ >= 0 && !connecting_ && !lost_) Pump();
        return;
    case SocketEvent::Close:
        if (fd_ < 0 || connecting_ || lost_) return;
        if (error != 0) return Fail(error);
        streamEnded_ = true;
        if (readable_) readable_->setEnabled(false);
        emit EndOfStream();
        return;
    }
}

void PrinterConnection::ReadEvent() {
    int error = 0;
    bool ended = false;
    if (!Drain(kMaxReadPerEvent, error, ended)) return;
    if (error != 0) return Fail(error);
    if (ended) OnSocketEvent(SocketEvent::Close, 0);
}

bool PrinterConnection::Drain(qint64 limit, int& error, bool& ended) {
    QByteArray received;
    char buffer[kRecvPiece];
    while (received.size() < limit) {
        const qint64 n = platform::ReceiveBytes(fd_, buffer, kRecvPiece, error);
        if (n > 0) {
            received.append(buffer, n);
            continue;
        }
        if (n == 0) ended = true;
        if (n < 0 && error == ws::WSAEWOULDBLOCK) error = 0;
        break;
    }
    receivedCount_ = received.size();
    if (received.isEmpty()) return true;
    const quint64 generation = generation_;
    emit Received(received);
    return generation == generation_;
}

void PrinterConnection::Fail(int error) {
    if (lost_) return;
    // What the printer sent before the end still waits to be read: a reset
    // that a send met first leaves it there, and then an end of stream.
    int readError = 0;
    bool ended = false;
    const quint64 generation = generation_;
    for (qint64 drained = 0; drained < kMaxDrain && !ended && readError == 0;) {
        if (!Drain(kMaxReadPerEvent, readError, ended)) return;
        if (receivedCount_ == 0) break;
        drained += receivedCount_;
    }
    if (generation != generation_) return;
    (void)Acknowledged();  // the count as the connection left it
    lost_ = true;
    if (readable_) readable_->setEnabled(false);
    if (writable_) writable_->setEnabled(false);
    nextTurn_.stop();
    job_.reset();
    file_.close();
    emit Lost(error);
}

// ---------------------------------------------------------------- sending

void PrinterConnection::Hand(PrinterJob job) {
    job_ = std::move(job);
    piece_ = 0;
    offset_ = 0;
    fileError_.clear();
    file_.close();
    padding_ = 0;
    // The first piece goes on the next turn of the loop, like every later one.
    if (writable_ && IsOpen() && !lost_) writable_->setEnabled(true);
}

void PrinterConnection::StopHanding() {
    nextTurn_.stop();
    job_.reset();
    file_.close();
    if (writable_) writable_->setEnabled(false);
}

void PrinterConnection::NextPiece() {
    ++piece_;
    offset_ = 0;
    file_.close();
    padding_ = 0;
    buffer_.clear();
    bufferStart_ = 0;
}

void PrinterConnection::FinishJob() {
    nextTurn_.stop();
    job_.reset();
    if (writable_) writable_->setEnabled(false);
    emit JobHanded(fileError_.isEmpty() ? JobEnd::Sent : JobEnd::Failed, fileError_);
}

void PrinterConnection::Pump() {
    if (!job_) {
        writable_->setEnabled(false);
        return;
    }
    const quint64 generation = generation_;
    qint64 handed = 0;
    int error = 0;
    bool full = false;
    while (handed < kHandPerTurn && job_ && !full) {
        if (piece_ >= job_->pieces.size()) {
            if (handed > 0) emit Written();
            if (generation == generation_ && job_) FinishJob();
            return;
        }
        const JobPiece& piece = job_->pieces[piece_];
        qint64 n = 0;
        switch (piece.kind) {
        case JobPiece::Kind::CopyEnd:
            NextPiece();
            if (!fileError_.isEmpty()) continue;  // a copy its file cut short is no copy handed
            emit CopyHanded();
            if (generation != generation_) return;
            continue;
        case JobPiece::Kind::Bytes:
            if (offset_ >= piece.bytes.size()) {
                NextPiece();
                continue;
            }
            n = platform::SendBytes(fd_, piece.bytes.constData() + offset_, piece.bytes.size() - offset_, error);
            if (n > 0) offset_ += n;
            break;
        case JobPiece::Kind::File:
            n = HandFile(piece, error);
            if (n == 0) {
                NextPiece();
                continue;
            }
            break;
        }
        if (n > 0) {
            sent_ += n;
            handed += n;
            continue;
        }
        if (!IsFull(error)) {
            if (handed > 0) emit Written();
            if (generation == generation_) Fail(error);
            return;
        }
        full = true;
    }
    if (handed > 0) emit Written();
    if (generation != generation_ || !writable_) return;
    // Full: the socket turns writable again once the system has room. Not
    // full: this turn's share is handed, and the next turn of the loop goes on
    // at once (the socket may take more before it counts as writable again).
    writable_->setEnabled(full && job_.has_value());
    if (!full && job_) nextTurn_.start();
}

qint64 PrinterConnection::HandFile(const JobPiece& piece, int& error) {
    if (!file_.isOpen() && padding_ == 0 && offset_ == 0 && bufferStart_ == 0 && buffer_.isEmpty()) {
        file_.setFileName(piece.path);
        if (!file_.open(QIODevice::ReadOnly)) {
            if (piece.length < 0) {
                if (fileError_.isEmpty())
                    fileError_ = QStringLiteral("Cannot send file %1: %2").arg(piece.path, file_.errorString());
                return 0;
            }
            padding_ = piece.length;
            fileLength_ = piece.length;
            emit Note(QStringLiteral("PCX file %1 read short (%2): padded the image with %3 zero bytes to the %4 "
                                     "bytes its header announced")
                          .arg(piece.path, file_.errorString(), Grouped(padding_), Grouped(piece.length)));
        } else {
            fileLength_ = piece.length >= 0 ? piece.length : file_.size();
            fileThroughProgram_ = filePiece_ <= kFilePiece;
        }
    }
    if (padding_ > 0) {
        static const char zeros[kFilePiece] = {};
        const qint64 n = platform::SendBytes(fd_, zeros, std::min(padding_, kFilePiece), error);
        if (n > 0) padding_ -= n;
        if (padding_ == 0 && n > 0) offset_ = -1;  // padded: the piece is done
        return n;
    }
    if (offset_ < 0 || (offset_ >= fileLength_ && bufferStart_ >= buffer_.size())) return 0;
    // Large pieces go from the file to the socket inside the system; where the
    // file cannot be sent so, the rest is read through the program.
    if (!fileThroughProgram_ && bufferStart_ >= buffer_.size()) {
        const qint64 n =
            platform::SendFromFile(fd_, file_.handle(), offset_, std::min(fileLength_ - offset_, filePiece_), error);
        if (n != platform::kFileNotSendable && n != 0) {
            if (n > 0) offset_ += n;
            return n;
        }
        fileThroughProgram_ = true;
        if (!file_.seek(offset_)) {
            if (fileError_.isEmpty())
                fileError_ = QStringLiteral("Cannot send file %1: %2").arg(piece.path, file_.errorString());
            offset_ = fileLength_;
            return 0;
        }
    }
    if (bufferStart_ >= buffer_.size()) {
        // The next piece of the file, read when the last one has gone whole.
        const qint64 want = std::min(fileLength_ - offset_, std::max(filePiece_, kFilePiece));
        buffer_.resize(static_cast<qsizetype>(want));
        const qint64 got = file_.read(buffer_.data(), want);
        if (got <= 0) {
            const qint64 missing = fileLength_ - offset_;
            const QString why =
                got < 0 ? file_.errorString() : QStringLiteral("the file ended %1 bytes early").arg(missing);
            buffer_.clear();
            bufferStart_ = 0;
            if (piece.length >= 0) {
                padding_ = missing;
                emit Note(QStringLiteral("PCX file %1 read short (%2): padded the image with %3 zero bytes to the "
                                         "%4 bytes its header announced")
                              .arg(piece.path, why, Grouped(missing), Grouped(fileLength_)));
                return HandFile(piece, error);
            }
            if (fileError_.isEmpty()) fileError_ = QStringLiteral("Cannot send file %1: %2").arg(piece.path, why);
            offset_ = fileLength_;
            return 0;
        }
        buffer_.resize(static_cast<qsizetype>(got));
        bufferStart_ = 0;
    }
    // One send of what is left of the piece read: the window's 1024 bytes a call.
    const qint64 n = platform::SendBytes(fd_, buffer_.constData() + bufferStart_, buffer_.size() - bufferStart_, error);
    if (n > 0) {
        bufferStart_ += n;
        offset_ += n;
    }
    return n;
}

// ---------------------------------------------------------------- figures

qint64 PrinterConnection::Acknowledged() const {
    platform::StreamDelivery delivery;
    int error = 0;
    // The count never goes back, and the end of the stream (which it includes
    // once acknowledged) is no byte sent.
    if (fd_ >= 0 && !connecting_ && platform::GetStreamDelivery(fd_, delivery, error) == 0)
        acked_ = std::max(acked_, std::min(delivery.acknowledged, sent_));
    return acked_;
}

qint64 PrinterConnection::NotSent() const {
    platform::StreamDelivery delivery;
    int error = 0;
    if (fd_ >= 0 && !connecting_ && platform::GetStreamDelivery(fd_, delivery, error) == 0) return delivery.notSent;
    return 0;
}

void PrinterConnection::SetUnsentLimit(int bytes) {
    if (fd_ >= 0) (void)platform::LimitUnsentBytes(fd_, bytes);
}

// ---------------------------------------------------------------- closing

void PrinterConnection::CloseInOrder() { Close(true); }

void PrinterConnection::CloseAbortive() { Close(false); }

void PrinterConnection::Close(bool inOrder) {
    if (connecting_) {
        connectTimer_.stop();
        if (lookup_) std::exchange(lookup_, nullptr)->Drop();
        connecting_ = false;
    }
    if (fd_ < 0) return;
    const quint64 generation = generation_;
    if (inOrder && !lost_) {
        int error = 0;
        bool ended = false;
        for (qint64 drained = 0; drained < kMaxDrain && !ended && error == 0;) {
            if (!Drain(kMaxReadPerEvent, error, ended)) return;
            if (receivedCount_ == 0) break;
            drained += receivedCount_;
        }
        if (generation != generation_) return;
        int lingerError = 0;
        (void)platform::SetLinger(fd_, false, 0, lingerError);
    }
    (void)Acknowledged();
    nextTurn_.stop();
    job_.reset();
    file_.close();
    readable_.reset();
    writable_.reset();
    platform::CloseSocket(std::exchange(fd_, -1));
    ++generation_;
}

}  // namespace kivo
