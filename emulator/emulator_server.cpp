#include "emulator/emulator_server.h"

#include "emulator/pcx_decode.h"
#include "version.h"

#include <QCommandLineParser>
#include <QDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kivo::emu {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// Answers waiting for a client that does not read them: past this, reading stops
// until they are taken, as a printer with a full output buffer would.
constexpr std::size_t kAnswerBacklog = 64 * 1024;
// Largest image kept in memory to turn into a PNG; longer ones are only streamed.
constexpr std::uint64_t kMaxImageInMemory = 64ull << 20;
// A small receive buffer makes a slow or stalled printer push back on the sender soon.
constexpr int kSlowPrinterReceiveBuffer = 16 * 1024;
constexpr auto kDrainTime = std::chrono::seconds(2);
constexpr int kMaxNakTextLength = 1024;
// The longest --answer-delay: ten minutes is later than any client waits.
constexpr std::uint64_t kMaxAnswerDelayMs = 600'000;

void Say(const QString& line) {
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Warn(const QString& line) {
    const QByteArray bytes = line.toUtf8();
    std::fprintf(stderr, "kivo-printer-emulator: %s\n", bytes.constData());
}

// Client bytes shown in a log line: printable ASCII as is, the rest as \xNN.
QString Escaped(std::span<const std::uint8_t> bytes) {
    QString text;
    for (const std::uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '\\')
            text += QChar(b);
        else
            text += QString::asprintf("\\x%02X", b);
    }
    return text;
}

// Moves a finished ".part" file to its final name, replacing an older file.
[[nodiscard]] bool Publish(QFile& file, const QString& finalPath) {
    file.close();
    QFile::remove(finalPath);
    return file.rename(finalPath);
}

void Discard(QFile& file) {
    if (!file.fileName().isEmpty()) {
        file.close();
        file.remove();
    }
    file.setFileName(QString());
}

[[nodiscard]] bool ParseCount(const QString& text, std::uint64_t& value) {
    bool ok = false;
    const qulonglong v = text.trimmed().toULongLong(&ok);
    if (!ok || text.trimmed().startsWith(u'+') || text.trimmed().startsWith(u'-')) return false;
    value = v;
    return true;
}

[[nodiscard]] bool ParseHex(const QString& text, std::vector<std::uint8_t>& bytes) {
    QString digits = text;
    digits.remove(u' ');
    if (digits.isEmpty() || digits.size() % 2 != 0) return false;
    bytes.clear();
    for (qsizetype i = 0; i < digits.size(); i += 2) {
        bool ok = false;
        const uint v = digits.mid(i, 2).toUInt(&ok, 16);
        if (!ok) return false;
        bytes.push_back(std::uint8_t(v));
    }
    return true;
}

// The highest N of the files named stem-N.* in a folder (unfinished ".part" ones
// included), or 0 when there is none.
std::uint64_t HighestNumber(const QString& folder, const char* stem) {
    std::uint64_t highest = 0;
    const QString prefix = QString::fromLatin1(stem) + u'-';
    for (const QString& name : QDir(folder).entryList({prefix + u'*'}, QDir::Files)) {
        const qsizetype dot = name.indexOf(u'.', prefix.size());
        std::uint64_t number = 0;
        if (dot > prefix.size() && ParseCount(name.mid(prefix.size(), dot - prefix.size()), number))
            highest = std::max(highest, number);
    }
    return highest;
}

}  // namespace

ParseOutcome ParseEmulatorArguments(const QStringList& arguments, EmulatorOptions& options, QString& text) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Emulates a Kivo Systems thermal ticket printer on a TCP port: prints on \"<p>\" and form feed,\n"
        "takes \"<G length>\" graphics downloads, and answers with the printer's status bytes.");
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption version({"v", "version"}, "Show the version.");
    const QCommandLineOption listen("listen",
                                    "Address and port to listen on (default 127.0.0.1:9100; port 0 picks one).",
                                    "ADDR:PORT", "127.0.0.1:9100");
    const QCommandLineOption tickets("tickets", "Ticket stock; once used up, prints answer Out of Tickets.", "N");
    const QCommandLineOption jam("jam-after", "After N tickets, prints answer Ticket Jam.", "N");
    const QCommandLineOption ribbon("ribbon-low-after", "From the Nth ticket on, send Ribbon Low after the ACK.", "N");
    const QCommandLineOption nak("nak-on", "Answer Ticket NAK for a ticket containing TEXT.", "TEXT");
    const QCommandLineOption rate("read-rate", "Read at most this many bytes per second.", "BYTES_PER_S");
    const QCommandLineOption stall("stall", "Accept connections but never read from them.");
    const QCommandLineOption reset("reset-after", "Reset the connection after receiving this many bytes.", "BYTES");
    const QCommandLineOption hello("send-on-connect", "Bytes to send when a client connects, in hex (12 is Power On).",
                                   "HEX");
    const QCommandLineOption delay("answer-delay",
                                   "Send each answer this many milliseconds after what caused it (0 to 600000).", "MS");
    const QCommandLineOption silent("no-answers", "Print, but send no status byte (--send-on-connect bytes still go).");
    const QCommandLineOption record("record", "Write every received byte to FILE.", "FILE");
    const QCommandLineOption ticketsDir(
        "tickets-dir", "Save each ticket as DIR/ticket-NNNN.txt, numbered on from those already there.", "DIR");
    const QCommandLineOption pcxDir("pcx-dir", "Save each image as DIR/image-NNNN.pcx, and .png when it decodes.",
                                    "DIR");
    parser.addOptions({help, version, listen, tickets, jam, ribbon, nak, rate, stall, reset, hello, delay, silent,
                       record, ticketsDir, pcxDir});

    if (!parser.parse(arguments)) {
        text = parser.errorText();
        return ParseOutcome::Error;
    }
    if (parser.isSet(help)) {
        text = parser.helpText();
        return ParseOutcome::Help;
    }
    if (parser.isSet(version)) {
        text = QStringLiteral("kivo-printer-emulator %1\n").arg(QLatin1String(kVersion));
        return ParseOutcome::Version;
    }
    if (!parser.positionalArguments().isEmpty()) {
        text = "unexpected argument: " + parser.positionalArguments().constFirst();
        return ParseOutcome::Error;
    }

    const QString where = parser.value(listen);
    const qsizetype colon = where.lastIndexOf(u':');
    std::uint64_t port = 0;
    if (colon < 0 || !ParseCount(where.mid(colon + 1), port) || port > 65535) {
        text = "--listen wants ADDR:PORT, got " + where;
        return ParseOutcome::Error;
    }
    options.host = where.left(colon);
    if (options.host == u"localhost") options.host = QStringLiteral("127.0.0.1");
    in_addr address{};
    if (inet_pton(AF_INET, options.host.toLatin1().constData(), &address) != 1) {
        text = "--listen wants an IPv4 address, got " + options.host;
        return ParseOutcome::Error;
    }
    options.port = std::uint16_t(port);

    const auto count = [&](const QCommandLineOption& option, std::uint64_t& value) {
        if (!parser.isSet(option)) return true;
        if (ParseCount(parser.value(option), value)) return true;
        text = "--" + option.names().constLast() + " wants a whole number, got " + parser.value(option);
        return false;
    };
    std::uint64_t readRate = 0, resetAfter = 0, answerDelay = 0;
    if (!count(tickets, options.printer.tickets) || !count(jam, options.printer.jamAfter) ||
        !count(ribbon, options.printer.ribbonLowAfter) || !count(rate, readRate) || !count(reset, resetAfter) ||
        !count(delay, answerDelay))
        return ParseOutcome::Error;
    if (answerDelay > kMaxAnswerDelayMs) {
        text = QString("--answer-delay wants 0 to %1 milliseconds, got %2").arg(kMaxAnswerDelayMs).arg(answerDelay);
        return ParseOutcome::Error;
    }
    options.answerDelay = std::chrono::milliseconds(answerDelay);
    options.noAnswers = parser.isSet(silent);
    if (options.noAnswers && parser.isSet(delay)) {
        text = "--answer-delay and --no-answers contradict each other";
        return ParseOutcome::Error;
    }
    if (parser.isSet(rate) && readRate == 0) {
        text = "--read-rate must be at least 1";
        return ParseOutcome::Error;
    }
    options.readRate = readRate;
    if (parser.isSet(reset)) options.resetAfter = resetAfter;

    if (parser.isSet(nak)) {
        const QByteArray bytes = parser.value(nak).toLocal8Bit();  // the bytes as typed
        if (bytes.isEmpty() || bytes.size() > kMaxNakTextLength) {
            text = QString("--nak-on wants 1 to %1 characters").arg(kMaxNakTextLength);
            return ParseOutcome::Error;
        }
        options.printer.nakOn.assign(bytes.begin(), bytes.end());
    }
    if (parser.isSet(hello) && !ParseHex(parser.value(hello), options.sendOnConnect)) {
        text = "--send-on-connect wants hex byte pairs such as 12 or 1206, got " + parser.value(hello);
        return ParseOutcome::Error;
    }
    options.stall = parser.isSet(stall);
    options.recordFile = parser.value(record);
    options.ticketsDir = parser.value(ticketsDir);
    options.pcxDir = parser.value(pcxDir);
    return ParseOutcome::Run;
}

EmulatorServer::EmulatorServer(EmulatorOptions options)
    : options_(std::move(options)), stream_(options_.printer), readBuffer_(kReadChunk) {}

EmulatorServer::~EmulatorServer() {
    if (client_.fd >= 0) ::close(client_.fd);
    if (listenFd_ >= 0) ::close(listenFd_);
}

QString EmulatorServer::NumberedName(const char* stem, std::uint64_t number, const char* extension) const {
    number += std::strcmp(stem, "ticket") == 0 ? ticketsBefore_ : imagesBefore_;
    return QString::asprintf("%s-%04llu.%s", stem, static_cast<unsigned long long>(number), extension);
}

bool EmulatorServer::Start(QString& error) {
    if (!options_.recordFile.isEmpty()) {
        record_.setFileName(options_.recordFile);
        if (!record_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            error = "cannot write " + options_.recordFile + ": " + record_.errorString();
            return false;
        }
    }
    for (const QString& dir : {options_.ticketsDir, options_.pcxDir}) {
        if (!dir.isEmpty() && !QDir().mkpath(dir)) {
            error = "cannot create folder " + dir;
            return false;
        }
    }
    // A new run numbers on from the last one instead of overwriting what it saved.
    if (!options_.ticketsDir.isEmpty()) ticketsBefore_ = HighestNumber(options_.ticketsDir, "ticket");
    if (!options_.pcxDir.isEmpty()) imagesBefore_ = HighestNumber(options_.pcxDir, "image");

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = QString("socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (options_.stall || options_.readRate > 0) {
        // Accepted sockets inherit it, and it must be set before listen() to hold.
        const int size = kSlowPrinterReceiveBuffer;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    inet_pton(AF_INET, options_.host.toLatin1().constData(), &address.sin_addr);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(listenFd_, 16) < 0) {
        error = QString("cannot listen on %1:%2: %3").arg(options_.host).arg(options_.port).arg(std::strerror(errno));
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    Say(QString("listening on %1:%2").arg(options_.host).arg(ntohs(address.sin_port)));
    return true;
}

int EmulatorServer::Run(int stopFd) {
    int exitCode = 0;
    for (;;) {
        if (client_.fd >= 0) ReleaseDueAnswers();
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {-1, 0, 0}};
        int timeout = -1;
        if (client_.fd < 0) {
            fds[1] = {listenFd_, POLLIN, 0};
        } else {
            short events = 0;
            if (WantsToRead()) events |= POLLIN;
            if (client_.outSent < client_.out.size()) events |= POLLOUT;
            // A stalled printer still notices that its client went away.
            if (options_.stall) events |= POLLRDHUP;
            fds[1] = {client_.fd, events, 0};
            timeout = PollTimeoutMs();
        }
        if (::poll(fds, 2, timeout) < 0) {
            if (errno == EINTR) continue;
            Warn(QString("poll: ") + std::strerror(errno));
            exitCode = 1;
            break;
        }
        if (fds[0].revents != 0) break;
        if (client_.fd < 0) {
            if (fds[1].revents & POLLIN) AcceptClient();
        } else {
            ServeClient(fds[1].revents);
        }
    }
    if (client_.fd >= 0) CloseClient("ended by stop");
    PrintSummary();
    return exitCode;
}

void EmulatorServer::AcceptClient() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // the client gave up while waiting, or nothing there after all
    client_ = Client{};
    client_.fd = fd;
    // Each answer leaves at once, as a printer's status byte does: small writes
    // held back for an acknowledgement (Nagle) would be lost to a reset after them.
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    client_.number = ++totals_.connections;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    client_.peer = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    client_.tokens = 0;
    client_.refilled = Clock::now();
    Say(QString("connection %1 from %2").arg(client_.number).arg(QString::fromStdString(client_.peer)));

    if (!options_.sendOnConnect.empty()) {
        client_.out = options_.sendOnConnect;
        FlushAnswers();
    }
    if (client_.fd >= 0 && options_.resetAfter && *options_.resetAfter == 0)
        CloseClient("reset by the emulator after 0 bytes", true);
}

bool EmulatorServer::WantsToRead() {
    if (options_.stall || client_.draining) return false;
    if (client_.Backlog() >= kAnswerBacklog) return false;
    if (options_.resetAfter && client_.received >= *options_.resetAfter) return false;
    if (options_.readRate > 0) {
        RefillTokens();
        // Read only with a full bucket, so a slow printer makes few, sizeable reads.
        const double bucket = std::clamp(double(options_.readRate) / 20.0, 1.0, double(kReadChunk));
        return client_.tokens >= bucket;
    }
    return true;
}

void EmulatorServer::RefillTokens() {
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - client_.refilled).count();
    const double bucket = std::clamp(double(options_.readRate) / 20.0, 1.0, double(kReadChunk));
    client_.tokens = std::min(bucket, client_.tokens + seconds * double(options_.readRate));
    client_.refilled = now;
}

int EmulatorServer::PollTimeoutMs() {
    // Until a time point, in whole milliseconds rounded up: a wake-up before
    // it would find nothing to do and poll again at once.
    const auto until = [](Clock::time_point when) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
        return int(std::clamp<std::int64_t>(left.count(), 0, 60000));
    };
    int timeout = -1;
    if (client_.draining) {
        timeout = until(client_.drainDeadline);
    } else if (options_.readRate > 0 && !options_.stall && !WantsToRead() && client_.Backlog() < kAnswerBacklog &&
               !(options_.resetAfter && client_.received >= *options_.resetAfter)) {
        const double bucket = std::clamp(double(options_.readRate) / 20.0, 1.0, double(kReadChunk));
        const double ms = (bucket - client_.tokens) * 1000.0 / double(options_.readRate);
        timeout = int(std::clamp(std::ceil(ms), 1.0, 60000.0));
    }
    if (!client_.delayed.empty()) {
        const int due = until(client_.delayed.front().first);
        timeout = timeout < 0 ? due : std::min(timeout, due);
    }
    return timeout;
}

void EmulatorServer::ServeClient(short revents) {
    if (revents & POLLOUT) FlushAnswers();
    if (client_.fd < 0) return;
    if (client_.draining) {
        if (client_.Backlog() == 0 || Clock::now() >= client_.drainDeadline) CloseClient("closed by client");
        return;
    }
    if (options_.stall) {
        if (revents & (POLLRDHUP | POLLHUP | POLLERR)) CloseClient("closed by client");
        return;
    }
    if (revents & (POLLIN | POLLHUP | POLLERR)) {
        if (WantsToRead())
            ReadClient();
        else if (revents & (POLLHUP | POLLERR))
            CloseClient("reset by client");
    }
}

void EmulatorServer::ReadClient() {
    std::size_t allowed = readBuffer_.size();
    if (options_.readRate > 0) allowed = std::min(allowed, std::size_t(client_.tokens));
    if (options_.resetAfter)
        allowed = std::size_t(std::min<std::uint64_t>(allowed, *options_.resetAfter - client_.received));
    const ssize_t n = ::recv(client_.fd, readBuffer_.data(), allowed, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        CloseClient(std::string("reset by client (") + std::strerror(errno) + ")");
        return;
    }
    if (n == 0) {
        // The client has sent everything; it may still be reading our answers.
        // Answers still delayed go out at their time, and the client gets as long after the last one.
        stream_.EndConnection(*this);
        client_.draining = true;
        const Clock::time_point lastDue = client_.delayed.empty() ? Clock::now() : client_.delayed.back().first;
        client_.drainDeadline = std::max(Clock::now(), lastDue) + kDrainTime;
        if (client_.Backlog() == 0) CloseClient("closed by client");
        return;
    }
    const auto bytes = std::span<const std::uint8_t>(readBuffer_.data(), std::size_t(n));
    client_.received += std::uint64_t(n);
    totals_.bytes += std::uint64_t(n);
    client_.tokens -= double(n);
    if (record_.isOpen() && record_.write(reinterpret_cast<const char*>(bytes.data()), n) != n) {
        Warn("stopped recording, cannot write " + record_.fileName() + ": " + record_.errorString());
        ++totals_.writeErrors;
        record_.close();
    }
    stream_.Feed(bytes, *this);
    FlushAnswers();
    if (client_.fd >= 0 && options_.resetAfter && client_.received >= *options_.resetAfter)
        CloseClient("reset by the emulator after " + std::to_string(client_.received) + " bytes", true);
}

void EmulatorServer::FlushAnswers() {
    auto& c = client_;
    while (c.outSent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.outSent, c.out.size() - c.outSent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            CloseClient(std::string("reset by client (") + std::strerror(errno) + ")");
            return;
        }
        c.outSent += std::size_t(n);
    }
    c.out.clear();
    c.outSent = 0;
}

void EmulatorServer::ReleaseDueAnswers() {
    auto& c = client_;
    if (c.delayed.empty()) return;
    const auto now = Clock::now();
    bool released = false;
    for (; !c.delayed.empty() && c.delayed.front().first <= now; c.delayed.pop_front()) {
        c.out.push_back(c.delayed.front().second);
        released = true;
    }
    if (released) FlushAnswers();
    // A draining client that has had its last answer is done.
    if (c.fd >= 0 && c.draining && c.Backlog() == 0) CloseClient("closed by client");
}

void EmulatorServer::CloseClient(const std::string& how, bool abortive) {
    stream_.EndConnection(*this);
    if (abortive) {
        const linger hard{1, 0};
        ::setsockopt(client_.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(client_.fd);
    Say(QString("connection %1 %2: %3 bytes received")
            .arg(client_.number)
            .arg(QString::fromStdString(how))
            .arg(client_.received));
    client_ = Client{};
}

void EmulatorServer::Answer(std::uint8_t status) {
    if (options_.noAnswers) return;
    if (options_.answerDelay.count() > 0)
        client_.delayed.emplace_back(Clock::now() + options_.answerDelay, status);
    else
        client_.out.push_back(status);
}

void EmulatorServer::TicketBytes(std::span<const std::uint8_t> bytes) {
    if (options_.ticketsDir.isEmpty() || bytes.empty()) return;
    if (ticketFile_.fileName().isEmpty()) {
        const QString name = NumberedName("ticket", stream_.PrintCommands() + 1, "txt");
        ticketFile_.setFileName(QDir(options_.ticketsDir).filePath(name + ".part"));
        if (!ticketFile_.open(QIODevice::WriteOnly | QIODevice::Truncate)) ticketFailed_ = ticketFile_.errorString();
    }
    if (ticketFailed_.isEmpty() &&
        ticketFile_.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size()))
        ticketFailed_ = ticketFile_.errorString();
}

void EmulatorServer::TicketEnded(const TicketEvent& ticket) {
    ++totals_.byAnswer[ticket.answer];
    QString line =
        QString("ticket %1: %2 bytes, %3").arg(ticket.number).arg(ticket.bytes).arg(StatusName(ticket.answer));
    if (ticket.ribbonLow) line += QString(", ") + StatusName(status::kRibbonLow);
    if (options_.noAnswers) line += ", not answered";
    if (!options_.ticketsDir.isEmpty()) {
        const QString name = NumberedName("ticket", ticket.number, "txt");
        if (ticketFailed_.isEmpty() && ticketFile_.flush() &&
            Publish(ticketFile_, QDir(options_.ticketsDir).filePath(name))) {
            line += ", saved " + name;
        } else {
            if (ticketFailed_.isEmpty()) ticketFailed_ = ticketFile_.errorString();
            line += ", not saved: " + ticketFailed_;
            ++totals_.writeErrors;
            Discard(ticketFile_);
        }
    }
    ticketFile_.setFileName(QString());
    ticketFailed_.clear();
    Say(line);
}

void EmulatorServer::TicketDropped(std::uint64_t bytes) {
    Discard(ticketFile_);
    ticketFailed_.clear();
    Say(QString("unprinted ticket dropped: %1 bytes").arg(bytes));
}

void EmulatorServer::ImageStarted(std::uint64_t number, std::uint64_t declared) {
    imageBytes_.clear();
    imageHead_.clear();
    keepImage_ = !options_.pcxDir.isEmpty() && declared <= kMaxImageInMemory;
    imageFailed_.clear();
    if (options_.pcxDir.isEmpty()) return;
    imageFile_.setFileName(QDir(options_.pcxDir).filePath(NumberedName("image", number, "pcx") + ".part"));
    if (!imageFile_.open(QIODevice::WriteOnly | QIODevice::Truncate)) imageFailed_ = imageFile_.errorString();
}

void EmulatorServer::ImageBytes(std::span<const std::uint8_t> bytes) {
    const std::size_t head = std::min(bytes.size(), PcxHeaderSize - std::min(imageHead_.size(), PcxHeaderSize));
    imageHead_.insert(imageHead_.end(), bytes.begin(), bytes.begin() + std::ptrdiff_t(head));
    if (keepImage_) imageBytes_.insert(imageBytes_.end(), bytes.begin(), bytes.end());
    if (!options_.pcxDir.isEmpty() && imageFailed_.isEmpty() &&
        imageFile_.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size()))
        imageFailed_ = imageFile_.errorString();
}

void EmulatorServer::ImageEnded(const ImageEvent& image) {
    QString line;
    if (!image.Complete()) {
        ++totals_.imagesCut;
        Discard(imageFile_);
        line = QString("image %1: cut short after %2 of %3 bytes, discarded")
                   .arg(image.number)
                   .arg(image.received)
                   .arg(image.declared);
    } else {
        ++totals_.imagesDone;
        line = QString("image %1: %2 bytes").arg(image.number).arg(image.declared);
        // A printer prints monochrome PCX only; say what else it got, so a demo shows why nothing came out.
        const QString depth = QString::fromStdString(DescribePcxDepth(imageHead_));
        const QString cannotDraw = depth.isEmpty() ? QString() : depth + ": cannot draw";
        if (!cannotDraw.isEmpty() && options_.pcxDir.isEmpty()) line += ", " + cannotDraw;
        if (!options_.pcxDir.isEmpty()) {
            const QDir dir(options_.pcxDir);
            const QString pcxName = NumberedName("image", image.number, "pcx");
            if (imageFailed_.isEmpty() && imageFile_.flush() && Publish(imageFile_, dir.filePath(pcxName))) {
                line += ", saved " + pcxName;
            } else {
                if (imageFailed_.isEmpty()) imageFailed_ = imageFile_.errorString();
                line += ", not saved: " + imageFailed_;
                ++totals_.writeErrors;
                Discard(imageFile_);
            }
            if (!keepImage_) {
                line += ", no PNG: " + (cannotDraw.isEmpty() ? QString("larger than 64 MiB") : cannotDraw);
            } else {
                const PcxDecoded decoded = DecodeMonochromePcx(imageBytes_);
                const QString pngName = NumberedName("image", image.number, "png");
                if (decoded.image.isNull())
                    line += ", no PNG: " + (cannotDraw.isEmpty() ? QString::fromStdString(decoded.error) : cannotDraw);
                else if (decoded.image.save(dir.filePath(pngName), "PNG"))
                    line += QString(", %1 (%2x%3)").arg(pngName).arg(decoded.image.width()).arg(decoded.image.height());
                else
                    line += ", no PNG: cannot write " + pngName;
            }
        }
    }
    imageFile_.setFileName(QString());
    std::vector<std::uint8_t>().swap(imageBytes_);  // give the memory back now
    keepImage_ = false;
    Say(line);
}

void EmulatorServer::IllegalData(std::span<const std::uint8_t> command) {
    ++totals_.illegal;
    Say("illegal data: graphics length in " + Escaped(command));
}

void EmulatorServer::PrintSummary() {
    const auto& by = totals_.byAnswer;
    const std::uint64_t tickets =
        by[status::kTicketAck] + by[status::kTicketNak] + by[status::kOutOfTickets] + by[status::kTicketJam];
    Say(QString("summary: %1 connections, %2 bytes received, %3 tickets (%4 Ticket ACK, %5 Ticket NAK, "
                "%6 Out of Tickets, %7 Ticket Jam), %8 images (%9 cut short), %10 illegal data, %11 write errors")
            .arg(totals_.connections)
            .arg(totals_.bytes)
            .arg(tickets)
            .arg(by[status::kTicketAck])
            .arg(by[status::kTicketNak])
            .arg(by[status::kOutOfTickets])
            .arg(by[status::kTicketJam])
            .arg(totals_.imagesDone)
            .arg(totals_.imagesCut)
            .arg(totals_.illegal)
            .arg(totals_.writeErrors));
}

}  // namespace kivo::emu
