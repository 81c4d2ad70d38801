// The printer's side of the command stream: bytes go in, status answers and
// ticket/image events come out. No sockets and no files here, so the whole
// behaviour of the emulated printer can be driven from a test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kivo::emu {

// Status bytes the printer sends back, by their meaning.
namespace status {
inline constexpr std::uint8_t kTicketAck = 0x06;
inline constexpr std::uint8_t kOutOfTickets = 0x10;
inline constexpr std::uint8_t kPowerOn = 0x12;
inline constexpr std::uint8_t kTicketNak = 0x15;
inline constexpr std::uint8_t kRibbonLow = 0x16;
inline constexpr std::uint8_t kTicketJam = 0x18;
inline constexpr std::uint8_t kIllegalData = 0x19;
}  // namespace status

// The name the technician's tool shows for a status byte ("Ticket ACK" ...).
[[nodiscard]] const char* StatusName(std::uint8_t status);

// How the emulated printer is stocked and which faults it shows.
struct PrinterSettings {
    static constexpr std::uint64_t kUnlimited = UINT64_MAX;
    std::uint64_t tickets = kUnlimited;         // stock; a print with none left answers Out of Tickets
    std::uint64_t jamAfter = kUnlimited;        // once this many tickets came out, prints answer Ticket Jam
    std::uint64_t ribbonLowAfter = kUnlimited;  // from this ticket on, each ACK is followed by Ribbon Low
    std::vector<std::uint8_t> nakOn;            // a ticket containing these bytes answers Ticket NAK
};

// One print command ("<p>" or form feed) and what the printer answered.
struct TicketEvent {
    std::uint64_t number = 0;  // counts every print command since start, 1-based
    std::uint64_t bytes = 0;   // bytes of this ticket, print command included
    std::uint8_t answer = status::kTicketAck;
    bool ribbonLow = false;  // Ribbon Low followed the answer
};

// One graphics download, finished or cut short by the end of the connection.
struct ImageEvent {
    std::uint64_t number = 0;  // 1-based, since start
    std::uint64_t declared = 0;
    std::uint64_t received = 0;
    [[nodiscard]] bool Complete() const { return received == declared; }
};

class PrinterStream {
public:
    // The largest graphics length accepted: the tool writes a file's 64-bit length,
    // so images past 2 GiB are framed with their true length too.
    static constexpr std::uint64_t kMaxImageLength = 999'999'999'999'999'999ULL;
    // A "<...>" longer than this is not taken as a command.
    static constexpr std::size_t kMaxCommandLength = 64;

    // Receives everything the stream produces, in stream order.
    class Sink {
    public:
        virtual ~Sink() = default;
        // A status byte to send to the client.
        virtual void Answer(std::uint8_t status) = 0;
        // Bytes that belong to the current ticket (commands and image data included).
        virtual void TicketBytes(std::span<const std::uint8_t>) {}
        virtual void TicketEnded(const TicketEvent&) {}
        // The current ticket was never printed: the connection ended first.
        virtual void TicketDropped(std::uint64_t /*bytes*/) {}
        virtual void ImageStarted(std::uint64_t /*number*/, std::uint64_t /*declared*/) {}
        virtual void ImageBytes(std::span<const std::uint8_t>) {}
        virtual void ImageEnded(const ImageEvent&) {}
        // A "<G...>" whose length is not a number the printer takes.
        virtual void IllegalData(std::span<const std::uint8_t> /*command*/) {}
    };

    explicit PrinterStream(PrinterSettings settings = {});

    // Consumes bytes received on the current connection; any split is fine.
    void Feed(std::span<const std::uint8_t> bytes, Sink& sink);
    // The connection ended: an unfinished image or ticket is given up. The printer's
    // stock, counters and faults carry over to the next connection.
    void EndConnection(Sink& sink);

    [[nodiscard]] std::uint64_t PrintCommands() const { return printCommands_; }
    [[nodiscard]] std::uint64_t TicketsOut() const { return ticketsOut_; }
    [[nodiscard]] std::uint64_t Images() const { return images_; }
    // Heap bytes the stream holds; fixed once constructed, whatever is fed.
    [[nodiscard]] std::size_t RetainedBytes() const;

private:
    enum class State { Text, Command, Image };

    void FeedText(std::span<const std::uint8_t>& in, Sink& sink);
    void FeedCommand(std::span<const std::uint8_t>& in, Sink& sink);
    void FeedImage(std::span<const std::uint8_t>& in, Sink& sink);
    void FinishCommand(Sink& sink);
    void AbandonCommand(Sink& sink);
    void AddTicketText(std::span<const std::uint8_t> bytes, Sink& sink);
    void Print(std::span<const std::uint8_t> command, Sink& sink);
    [[nodiscard]] bool ParseImageLength(std::uint64_t& length) const;
    [[nodiscard]] std::span<const std::uint8_t> CommandBytes() const;

    PrinterSettings settings_;
    std::vector<std::size_t> nakFailure_;  // KMP fallback table for nakOn

    // Printer state, kept over connections.
    std::uint64_t printCommands_ = 0;
    std::uint64_t ticketsOut_ = 0;
    std::uint64_t images_ = 0;

    // Connection state.
    State state_ = State::Text;
    std::array<std::uint8_t, kMaxCommandLength + 2> command_{};  // "<" ... ">"
    std::size_t commandLength_ = 0;
    std::uint64_t ticketBytes_ = 0;
    std::size_t nakMatched_ = 0;  // length of nakOn's prefix that ends the ticket so far
    bool nakSeen_ = false;
    ImageEvent image_;
};

}  // namespace kivo::emu
