#include "tests/support/test_support.h"


#include <QDeadlineTimer>
#include <QProcess>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <filesystem>

#include <QFile>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kivo::test {
namespace {

// Set before main, so before anything reads settings: Qt takes the folder once.
struct PrivateConfigFolder {
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/kivo-test-config-XXXXXX")};
    PrivateConfigFolder() {
        if (!dir.isValid()) qFatal("cannot make a temporary folder for the test's settings");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    }
};
const PrivateConfigFolder privateConfig;

}  // namespace

QString SettingsFile() {
    return QSettings(QStringLiteral("Kivo Systems"), QStringLiteral("kivo-socket-test")).fileName();
}

void ForgetSettings() {
    // The file goes, damaged or not; a store opened afterwards reads it afresh.
    const QString file = SettingsFile();
    if (QFile::exists(file) && !QFile::remove(file)) qFatal("cannot remove the test's settings file");
}

SilentPrinter::SilentPrinter(quint16 port) {
    server_.setListenBacklogSize(0);  // room for one connection: the filler's
    for (int attempt = 0; attempt < 20 && !server_.isListening(); ++attempt)
        server_.listen(QHostAddress(RandomLoopbackAddress()), port);
    server_.pauseAccepting();
    filler_.connectToHost(server_.serverAddress(), server_.serverPort());
    filler_.waitForConnected(5000);
}

LoopbackPrinter::LoopbackPrinter(QObject* parent) : QObject(parent) {
    connect(&slowTimer_, &QTimer::timeout, this, &LoopbackPrinter::ReadSomeSlowly);
    connect(&server_, &QTcpServer::newConnection, this, &LoopbackPrinter::OnNewConnection);
    server_.listen(QHostAddress::LocalHost, 0);
}

LoopbackPrinter::LoopbackPrinter(quint16 port, QObject* parent) : QObject(parent) {
    connect(&slowTimer_, &QTimer::timeout, this, &LoopbackPrinter::ReadSomeSlowly);
    connect(&server_, &QTcpServer::newConnection, this, &LoopbackPrinter::OnNewConnection);
    for (int attempt = 0; attempt < 20 && !server_.isListening(); ++attempt)
        server_.listen(QHostAddress(RandomLoopbackAddress()), port);
}

ChildRun RunChild(const QString& program, const QStringList& arguments, int timeoutMs) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    child.setProcessEnvironment(environment);
    child.start(program, arguments);
    QEventLoop loop;
    QObject::connect(&child, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (child.state() != QProcess::NotRunning) loop.exec();
    ChildRun run;
    if (child.state() != QProcess::NotRunning) {
        child.kill();
        child.waitForFinished();
        return run;
    }
    run.code = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    run.out = QString::fromUtf8(child.readAllStandardOutput());
    run.err = QString::fromUtf8(child.readAllStandardError());
    return run;
}

AnsweringPrinter::AnsweringPrinter(QByteArray answer, Group& group, const QString& address)
    : answer_(std::move(answer)), group_(group) {
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* client = server_.nextPendingConnection()) {
            group_.open.removeIf([](const QPointer<QTcpSocket>& other) {
                char byte;
                return !other ||
                       ::recv(static_cast<int>(other->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
            });
            group_.open << client;
            group_.most = std::max(group_.most, static_cast<int>(group_.open.size()));
            // "<p>" may be split over reads: the tail of the last read is kept.
            auto tail = std::make_shared<QByteArray>();
            connect(client, &QTcpSocket::readyRead, client, [this, client, tail] {
                const QByteArray bytes = *tail + client->readAll();
                const qsizetype commands = bytes.count("<p>");
                *tail = bytes.endsWith("<p") ? QByteArray("<p") : bytes.endsWith('<') ? QByteArray("<") : QByteArray();
                for (qsizetype i = 0; i < commands && !answer_.isEmpty(); ++i) client->write(answer_);
            });
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        }
    });
    for (int attempt = 0; attempt < 20 && !server_.isListening(); ++attempt)
        server_.listen(QHostAddress(address.isEmpty() ? RandomLoopbackAddress() : address), 9100);
}

QString RandomLoopbackAddress() {
    auto* random = QRandomGenerator::global();
    return QStringLiteral("127.%1.%2.%3")
        .arg(random->bounded(1, 255))
        .arg(random->bounded(0, 256))
        .arg(random->bounded(1, 255));
}

LoopbackPrinter::~LoopbackPrinter() {
    if (client_) client_->abort();
    server_.close();
}

void LoopbackPrinter::OnNewConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        ++connections_;
        if (client_) client_->abort();
        client_ = socket;
        if (smallBuffers_ > 0) socket->setReadBufferSize(smallBuffers_);
        connect(socket, &QTcpSocket::readyRead, this, &LoopbackPrinter::ReadAvailable);
        ReadAvailable();
    }
}

void LoopbackPrinter::UseSmallBuffers(int bytes) {
    smallBuffers_ = bytes;
    const int fd = static_cast<int>(server_.socketDescriptor());
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void LoopbackPrinter::ReadAvailable() {
    if (!client_ || !reading_) return;
    const QByteArray bytes = readLimit_ < 0 ? client_->readAll() : client_->read(readLimit_ - received_.size());
    Take(bytes);
}

void LoopbackPrinter::Take(const QByteArray& bytes) {
    if (bytes.isEmpty()) return;
    received_.append(bytes);
    Arrived();
}

void LoopbackPrinter::Send(const QByteArray& bytes) {
    if (!client_) return;
    client_->write(bytes);
    client_->flush();
}

void LoopbackPrinter::SetReading(bool reading) {
    slowTimer_.stop();
    reading_ = reading;
    if (client_) client_->setReadBufferSize(reading ? smallBuffers_ : 1);
    if (reading) QTimer::singleShot(0, this, &LoopbackPrinter::ReadAvailable);
}

void LoopbackPrinter::ReadSlowly(int bytes, int intervalMs) {
    reading_ = false;
    slowPiece_ = bytes;
    if (client_) client_->setReadBufferSize(bytes);
    slowTimer_.start(intervalMs);
}

void LoopbackPrinter::ReadSomeSlowly() {
    if (client_) Take(client_->read(slowPiece_));
}

void LoopbackPrinter::AnswerPrintCommands(int limit, bool reset, char answer) {
    answering_ = true;
    answerLimit_ = limit;
    answerReset_ = reset;
    endAtLimit_ = true;
    formFeedsToo_ = true;
    answer_ = answer;
    answerScript_.clear();
    answered_ = 0;
    scanned_ = received_.size();
}

void LoopbackPrinter::AnswerPrintCommands(QByteArray answers) {
    answering_ = !answers.isEmpty();
    answerLimit_ = static_cast<int>(answers.size());
    endAtLimit_ = false;
    formFeedsToo_ = false;
    answerScript_ = std::move(answers);
    answered_ = 0;
    scanned_ = received_.size();
}

bool LoopbackPrinter::ReadNow() { return client_ && client_->waitForReadyRead(5000); }

void LoopbackPrinter::Arrived() {
    while (answering_ && client_ && scanned_ < received_.size()) {
        const QByteArrayView rest = QByteArrayView(received_).sliced(scanned_);
        if (rest.front() == '<' && rest.size() < 3) break;  // "<p>" may go on in the next read
        const qsizetype command = rest.front() == '\f' && formFeedsToo_ ? 1 : rest.startsWith("<p>") ? 3 : 0;
        scanned_ += std::max<qsizetype>(command, 1);
        if (command == 0) continue;
        Send(QByteArray(1, answerScript_.isEmpty() ? answer_ : answerScript_[answered_]));
        if (++answered_ != answerLimit_) continue;
        answering_ = false;
        if (!endAtLimit_) break;
        if (answerReset_)
            Reset();
        else
            ::shutdown(static_cast<int>(client_->socketDescriptor()), SHUT_WR);
    }
    emit bytesReceived();
}

void LoopbackPrinter::Reset() {
    if (!client_) return;
    const ::linger hard{1, 0};
    ::setsockopt(static_cast<int>(client_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    client_->abort();
    client_ = nullptr;
}

void LoopbackPrinter::CloseMidJob() {
    if (!client_) return;
    ::shutdown(static_cast<int>(client_->socketDescriptor()), SHUT_WR);
    client_->abort();
    client_ = nullptr;
}

void LoopbackPrinter::Close() {
    if (!client_) return;
    client_->disconnectFromHost();
    client_ = nullptr;
}

StandardErrorCapture::StandardErrorCapture() {
    std::fflush(stderr);
    if (!file_.open()) qFatal("cannot make a file for standard error");
    saved_ = ::dup(STDERR_FILENO);
    if (saved_ < 0 || ::dup2(file_.handle(), STDERR_FILENO) < 0) qFatal("cannot capture standard error");
}

StandardErrorCapture::~StandardErrorCapture() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
}

QStringList StandardErrorCapture::Lines() {
    std::fflush(stderr);
    QStringList lines = QString::fromLocal8Bit(ReadFile(file_.fileName())).split(QLatin1Char('\n'));
    if (lines.constLast().isEmpty()) lines.removeLast();
    return lines;
}

void ListConsole::LogMessage(LogKind kind, const QString& text, Severity /*severity*/) {
    (kind == LogKind::Outgoing ? outgoing : incoming).append(text);
}

bool LoopTurned() {
    bool turned = false;
    QTimer::singleShot(0, [&turned] { turned = true; });
    return QTest::qWaitFor([&turned] { return turned; }, 10000);
}

void WhenTrue(QObject* context, std::function<bool()> condition, std::function<void()> action, int timeoutMs) {
    auto* poll = new QTimer(context);
    const QDeadlineTimer deadline(timeoutMs);
    QObject::connect(poll, &QTimer::timeout, poll,
                     [poll, deadline, condition = std::move(condition), action = std::move(action)] {
                         if (condition()) {
                             poll->stop();
                             poll->deleteLater();
                             action();
                         } else if (deadline.hasExpired()) {
                             poll->stop();
                             poll->deleteLater();
                         }
                     });
    poll->start(2);
}

QByteArray PatternBytes(qsizetype size) {
    QByteArray unit;
    for (int b = 0; b < 256; ++b) {
        unit.append(static_cast<char>(b));
        if (b % 64 == 63) unit.append("\r\n");
    }
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size) bytes.append(unit.left(size - bytes.size()));
    return bytes;
}

void OnceReceived(LoopbackPrinter& printer, qsizetype bytes, std::function<void()> act) {
    auto done = std::make_shared<bool>(false);
    QObject::connect(&printer, &LoopbackPrinter::bytesReceived, &printer,
                     [&printer, bytes, done, act = std::move(act)] {
                         if (*done || printer.Received().size() < bytes) return;
                         *done = true;
                         act();
                     });
}

QString WrittenFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    return WriteFile(path, bytes) ? path : QString();
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() && file.flush();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int OpenDescriptorCount() {
    // The directory's own descriptor, open while it is read, is one of them.
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<int>(std::distance(std::filesystem::begin(entries), std::filesystem::end(entries))) - 1;
}

PrivateNetwork::PrivateNetwork() : saved_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (saved_ < 0 || ::unshare(CLONE_NEWNET) != 0) {
        error_ = QStringLiteral("cannot create a network namespace (needs CAP_SYS_ADMIN): ") +
                 QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    entered_ = true;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    const bool up = ::ioctl(s, SIOCGIFFLAGS, &lo) == 0 && (lo.ifr_flags |= IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &lo) == 0);
    ::close(s);
    if (!up) error_ = QStringLiteral("cannot bring loopback up in the namespace");
}

PrivateNetwork::~PrivateNetwork() {
    if (entered_ && ::setns(saved_, CLONE_NEWNET) != 0) qFatal("cannot return to the test's network namespace");
    if (saved_ >= 0) ::close(saved_);
}

bool PrivateNetwork::SetIpv4(const char* name, const char* value) {
    const QString path = QStringLiteral("/proc/sys/net/ipv4/") + QLatin1String(name);
    if (!entered_) {
        writeError_ = QStringLiteral("no network namespace of the test's own");
        return false;
    }
    // Unbuffered, and read back: the kernel refuses a value in the write itself,
    // which a buffered file would only meet when it flushes, unchecked.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    const auto size = static_cast<ssize_t>(std::strlen(value));
    if (fd < 0 || ::write(fd, value, static_cast<size_t>(size)) != size) {
        writeError_ = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    const QByteArray now = ReadFile(path).simplified();
    if (now != QByteArray(value).simplified()) {
        writeError_ = QStringLiteral("%1 is \"%2\" after writing \"%3\"")
                          .arg(path, QString::fromLatin1(now), QLatin1String(value));
        return false;
    }
    return true;
}

bool PrivateNetwork::SetLoopbackMtu(int mtu) {
    if (!entered_) return false;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    lo.ifr_mtu = mtu;
    const bool set = s >= 0 && ::ioctl(s, SIOCSIFMTU, &lo) == 0;
    if (s >= 0) ::close(s);
    return set;
}

QString Hex(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex(' ').toUpper()); }

}  // namespace kivo::test
