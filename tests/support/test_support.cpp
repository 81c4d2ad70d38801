#include "tests/support/test_support.h"

#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>

#include <sys/socket.h>

namespace kivo::test {

LoopbackPrinter::LoopbackPrinter(QObject* parent) : QObject(parent) {
    connect(&server_, &QTcpServer::newConnection, this, &LoopbackPrinter::OnNewConnection);
    server_.listen(QHostAddress::LocalHost, 0);
}

LoopbackPrinter::LoopbackPrinter(quint16 port, QObject* parent) : QObject(parent) {
    connect(&server_, &QTcpServer::newConnection, this, &LoopbackPrinter::OnNewConnection);
    for (int attempt = 0; attempt < 20 && !server_.isListening(); ++attempt)
        server_.listen(QHostAddress(RandomLoopbackAddress()), port);
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
    const QByteArray bytes = client_->readAll();
    if (bytes.isEmpty()) return;
    received_.append(bytes);
    emit bytesReceived();
}

void LoopbackPrinter::Send(const QByteArray& bytes) {
    if (!client_) return;
    client_->write(bytes);
    client_->flush();
}

void LoopbackPrinter::SetReading(bool reading) {
    reading_ = reading;
    if (client_) client_->setReadBufferSize(reading ? smallBuffers_ : 1);
    if (reading) QTimer::singleShot(0, this, &LoopbackPrinter::ReadAvailable);
}

void LoopbackPrinter::Reset() {
    if (!client_) return;
    const ::linger hard{1, 0};
    ::setsockopt(static_cast<int>(client_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    client_->abort();
    client_ = nullptr;
}

void LoopbackPrinter::Close() {
    if (!client_) return;
    client_->disconnectFromHost();
    client_ = nullptr;
}

void ListConsole::LogMessage(const QString& kind, const QString& text) {
    (kind == QLatin1String("O") ? outgoing : incoming).append(text);
}

void ListConsole::Pause(double seconds) {
    ++pauses;
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

QString Hex(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex(' ').toUpper()); }

}  // namespace kivo::test
