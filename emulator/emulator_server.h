// The emulated printer on a TCP port: one connection at a time, answers sent
// back as the printer would, optional copies of what arrived on disk, and one
// stdout line per ticket and image.
#pragma once

#include "emulator/printer_stream.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kivo::emu {

struct EmulatorOptions {
    QString host = QStringLiteral("127.0.0.1");
    std::uint16_t port = 9100;
    PrinterSettings printer;
    std::uint64_t readRate = 0;                // bytes per second; 0 reads as fast as it can
    bool stall = false;                        // accept, never read
    std::optional<std::uint64_t> resetAfter;   // abortive close after this many bytes
    std::chrono::milliseconds answerDelay{0};  // each answer goes this long after what caused it
    bool noAnswers = false;                    // prints, but sends no status byte
    std::vector<std::uint8_t> sendOnConnect;
    QString recordFile;
    QString ticketsDir;
    QString pcxDir;
};

enum class ParseOutcome { Run, Help, Version, Error };

// Reads the command line (program name first). On Help and Version, text holds
// what to print; on Error, the reason.
[[nodiscard]] ParseOutcome ParseEmulatorArguments(const QStringList& arguments, EmulatorOptions& options,
                                                  QString& text);

class EmulatorServer : private PrinterStream::Sink {
public:
    explicit EmulatorServer(EmulatorOptions options);
    ~EmulatorServer() override;
    EmulatorServer(const EmulatorServer&) = delete;
    EmulatorServer& operator=(const EmulatorServer&) = delete;

    // Opens the output files and the listening socket, and prints
    // "listening on ADDR:PORT" with the port actually bound.
    [[nodiscard]] bool Start(QString& error);
    // Serves until stopFd turns readable (a signalfd for SIGINT/SIGTERM), then
    // prints the summary. Returns the process exit code.
    [[nodiscard]] int Run(int stopFd);

private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        int fd = -1;
        std::uint64_t number = 0;
        std::string peer;
        std::uint64_t received = 0;
        std::vector<std::uint8_t> out;  // answers not yet sent
        std::size_t outSent = 0;
        bool draining = false;  // peer finished sending; flush answers, then close
        Clock::time_point drainDeadline;
        double tokens = 0;  // read-rate bucket
        Clock::time_point refilled;
        // With --answer-delay: answers not yet due, with the time each is due, in order.
        std::deque<std::pair<Clock::time_point, std::uint8_t>> delayed;
        [[nodiscard]] std::size_t Backlog() const { return out.size() - outSent + delayed.size(); }
    };

    void AcceptClient();
    void ServeClient(short revents);
    void ReadClient();
    void FlushAnswers();
    // Moves the delayed answers that are due to the answers to send, and sends them.
    void ReleaseDueAnswers();
    void CloseClient(const std::string& how, bool abortive = false);
    [[nodiscard]] bool WantsToRead();
    [[nodiscard]] int PollTimeoutMs();
    void RefillTokens();
    void PrintSummary();
    // The file name of this run's ticket or image N ("ticket", "image"): numbered
    // on from the highest number its folder held when the emulator started.
    [[nodiscard]] QString NumberedName(const char* stem, std::uint64_t number, const char* extension) const;

    // PrinterStream::Sink
    void Answer(std::uint8_t status) override;
    void TicketBytes(std::span<const std::uint8_t> bytes) override;
    void TicketEnded(const TicketEvent& ticket) override;
    void TicketDropped(std::uint64_t bytes) override;
    void ImageStarted(std::uint64_t number, std::uint64_t declared) override;
    void ImageBytes(std::span<const std::uint8_t> bytes) override;
    void ImageEnded(const ImageEvent& image) override;
    void IllegalData(std::span<const std::uint8_t> command) override;

    EmulatorOptions options_;
    PrinterStream stream_;
    int listenFd_ = -1;
    Client client_;
    std::vector<std::uint8_t> readBuffer_;

    QFile record_;
    std::uint64_t ticketsBefore_ = 0, imagesBefore_ = 0;  // highest numbers already saved
    QFile ticketFile_;                                    // the current ticket, while --tickets-dir is given
    QString ticketFailed_;
    QFile imageFile_;  // the current image, while --pcx-dir is given
    QString imageFailed_;
    bool keepImage_ = false;
    std::vector<std::uint8_t> imageBytes_;  // for the PNG, bounded
    std::vector<std::uint8_t> imageHead_;   // the first bytes of every image, to name its depth

    struct Totals {
        std::uint64_t connections = 0, bytes = 0, illegal = 0, imagesDone = 0, imagesCut = 0, writeErrors = 0;
        std::uint64_t byAnswer[256] = {};
    } totals_;
};

}  // namespace kivo::emu
