// Sending bytes to the printer: the one way bytes go out on the connection.
#pragma once

#include "link/code_page.h"
#include "link/console_port.h"
#include "platform/winsock.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace kivo {

// Sends on the non-blocking printer socket until every byte has been taken.
// A full send buffer is waited out in pauses of at most 10 ms during which the
// window goes on handling its events; a pause ends as soon as the system has
// room again. Any other error ends the send at once: one line in the outgoing
// log, and -1.
//
// Sends are grouped in jobs (one button click's worth). Once a send of a job has
// failed, or the job was cancelled, every further send of that job returns -1 at
// once without another line, so a job of many pieces stops cleanly.
class Sender {
public:
    explicit Sender(Console& console) : console_(console) {}

    // Returns the count the last successful send call took, 0 for no bytes, or -1.
    int SendToPrinter(ws::SOCKET s, QByteArrayView bytes);
    int SendToPrinter(ws::SOCKET s, const QByteArray& bytes) { return SendToPrinter(s, QByteArrayView(bytes)); }
    int SendToPrinter(ws::SOCKET s, const QString& text) { return SendToPrinter(s, ToSingleByte(text)); }
    // Hands up to `length` bytes of the file open on descriptor `fd`, from
    // `offset`, to the system straight from the file, with SendToPrinter's
    // waits, cancelling and error line. Returns the bytes handed, fewer without
    // a line where the file ends or cannot be sent so (the caller reads the rest
    // itself), or -1 when the send failed.
    qint64 SendFromFile(ws::SOCKET s, int fd, qint64 offset, qint64 length);

    // Starts a new job: forgets the previous job's failure or cancellation.
    void BeginJob() { failed_ = false; }
    [[nodiscard]] bool JobFailed() const { return failed_; }
    // Ends the job now: a send waiting for room gives up after its current pause.
    void CancelJob() { failed_ = true; }
    // Whether a send is waiting for room in the socket's send buffer.
    [[nodiscard]] bool Waiting() const { return waiting_ > 0; }

    // Number of pauses taken since the sender was made (for tests and benchmarks).
    [[nodiscard]] long long Pauses() const { return pauses_; }
    // Bytes the system has taken from all sends since the sender was made: the
    // difference between two readings is what went out between them.
    [[nodiscard]] qint64 BytesSent() const { return sent_; }

private:
    // Offers the bytes at [done, size) through `offer(done, count)`, which
    // answers as send does, or 0 when its source has no more; waits for room
    // and logs a send error. Returns the bytes taken, or -1.
    template <typename Offer>
    qint64 Hand(qint64 size, Offer&& offer);

    Console& console_;
    bool failed_ = false;
    int waiting_ = 0;
    long long pauses_ = 0;
    qint64 sent_ = 0;
};

}  // namespace kivo
