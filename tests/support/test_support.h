// Shared pieces of the tests: a printer on loopback and a console that keeps its
// lines in plain lists.
#pragma once

#include "link/console_port.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

namespace kivo::test {

// A printer on 127.0.0.1: accepts connections, keeps every byte it receives, and
// can answer, stop reading, or reset the connection. It stops with the test.
class LoopbackPrinter : public QObject {
    Q_OBJECT
public:
    // Listens on 127.0.0.1 on a free port.
    explicit LoopbackPrinter(QObject* parent = nullptr);
    // Listens on the given port of a loopback address of its own (127.x.y.z), so
    // tests can use the printer port 9100 without taking it from anyone.
    explicit LoopbackPrinter(quint16 port, QObject* parent = nullptr);
    ~LoopbackPrinter() override;

    [[nodiscard]] quint16 Port() const { return server_.serverPort(); }
    [[nodiscard]] QString Address() const { return server_.serverAddress().toString(); }
    [[nodiscard]] bool Listening() const { return server_.isListening(); }
    [[nodiscard]] const QByteArray& Received() const { return received_; }
    [[nodiscard]] bool HasClient() const { return client_ != nullptr; }
    [[nodiscard]] int Connections() const { return connections_; }

    // Sends bytes to the connected client.
    void Send(const QByteArray& bytes);
    // Reading on and off; while off, the kernel buffers fill and sends wait.
    void SetReading(bool reading);
    // Closes the connection with a reset (RST) or in order (FIN).
    void Reset();
    void Close();
    // Small kernel buffers for the next connections, so a send fills them fast.
    // Set on the listening socket, so the connection starts with them (a buffer
    // shrunk after the handshake makes TCP drop and retransmit).
    void UseSmallBuffers(int bytes);

signals:
    void bytesReceived();

private:
    void OnNewConnection();
    void ReadAvailable();

    QTcpServer server_;
    QPointer<QTcpSocket> client_;
    QByteArray received_;
    bool reading_ = true;
    int connections_ = 0;
    int smallBuffers_ = 0;
};

// A console that keeps lines in lists; Pause runs the event loop.
class ListConsole : public Console {
public:
    void LogMessage(const QString& kind, const QString& text) override;
    void Pause(double seconds) override;
    [[nodiscard]] QString AddressText() const override { return address; }

    QStringList outgoing;
    QStringList incoming;
    QString address = QStringLiteral("127.0.0.1");
    int pauses = 0;
};

// A loopback address nobody else is likely to use: 127.x.y.z, chosen at random.
[[nodiscard]] QString RandomLoopbackAddress();

// Hex text of bytes ("3C 70 3E"), for readable failure messages.
[[nodiscard]] QString Hex(const QByteArray& bytes);

}  // namespace kivo::test
