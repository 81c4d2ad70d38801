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
inline constexpr std::uint8_t TicketAck = 0x06;
inline constexpr std::uint8_t OutOfTickets = 0x10;
inline constexpr std::uint8_t PowerOn = 0x12;
inline constexpr std::uint8_t TicketNak = 0x15;
inline constexpr std::uint8_t RibbonLow = 0x16;
inline constexpr std::uint8_t TicketJam = 0x18;
inline constexpr std::uint8_t IllegalData = 0x19;
}  // namespace status

// The name the technician's tool shows for a status byte ("Ticket ACK" ...).
[[nodiscard]] const char* statusName(std::uint8_t status);

// How the emulated printer is stocked and which faults it shows.
struct PrinterSettings {
    static constexpr std::uint64_t Unlimited = UINT64_MAX;
    std::uint64_t tickets = Unlimited;         // stock; a print with none left answers Out of Tickets
    std::uint64_t jamAfter = Unlimited;        // once this many tickets came out, prints answer Ticket Jam
    std::uint64_t ribbonLowAfter = Unlimited;  // from this ticket on, each ACK is followed by Ribbon Low
    std::vector<std::uint8_t> nakOn;           // a ticket containing these bytes answers Ticket NAK
};

// One print command ("<p>" or form feed) and what the printer answered.
struct TicketEvent {
    std::uint64_t number = 0;  // counts every print command since start, 1-based
    std::uint64_t bytes = 0;   // bytes of this ticket, print command included
    std::uint8_t answer = status::TicketAck;
    bool ribbonLow = false;    // Ribbon Low followed the answer
};

// One graphics download, finished or cut short by the end of the connection.
struct ImageEvent {
    std::uint64_t number = 0;  // 1-based, since start
    std::uint64_t declared = 0;
    std::uint64_t received = 0;
    [[nodiscard]] bool complete() const { return received == declared; }
};

class PrinterStream {
public:
    // The largest graphics length accepted: the tool writes a file's 64-bit length,
    // so images past 2 GiB are framed with their true length too.
    static constexpr std::uint64_t MaxImageLength = 999'999'999'999'999'999ULL;
    // A "<...>" longer than this is not taken as a command.
    static constexpr std::size_t MaxCommandLength = 64;

    // Receives everything the stream produces, in stream order.
    class Sink {
    public:
        virtual ~Sink() = default;
        // A status byte to send to the client.
        virtual void answer(std::uint8_t status) = 0;
        // Bytes that belong to the current ticket (commands and image data included).
        virtual void ticketBytes(std::span<const std::uint8_t>) {}
        virtual void ticketEnded(const TicketEvent&) {}
        // The current ticket was never printed: the connection ended first.
        virtual void ticketDropped(std::uint64_t /*bytes*/) {}
        virtual void imageStarted(std::uint64_t /*number*/, std::uint64_t /*declared*/) {}
        virtual void imageBytes(std::span<const std::uint8_t>) {}
        virtual void imageEnded(const ImageEvent&) {}
        // A "<G...>" whose length is not a number the printer takes.
        virtual void illegalData(std::span<const std::uint8_t> /*command*/) {}
    };

    explicit PrinterStream(PrinterSettings settings = {});

    // Consumes bytes received on the current connection; any split is fine.
    void feed(std::span<const std::uint8_t> bytes, Sink& sink);
    // The connection ended: an unfinished image or ticket is given up. The printer's
    // stock, counters and faults carry over to the next connection.
    void endConnection(Sink& sink);

    [[nodiscard]] std::uint64_t printCommands() const { return printCommands_; }
    [[nodiscard]] std::uint64_t ticketsOut() const { return ticketsOut_; }
    [[nodiscard]] std::uint64_t images() const { return images_; }
    // Heap bytes the stream holds; fixed once constructed, whatever is fed.
    [[nodiscard]] std::size_t retainedBytes() const;

private:
    enum class State { Text, Command, Image };

    void feedText(std::span<const std::uint8_t>& in, Sink& sink);
    void feedCommand(std::span<const std::uint8_t>& in, Sink& sink);
    void feedImage(std::span<const std::uint8_t>& in, Sink& sink);
    void finishCommand(Sink& sink);
    void abandonCommand(Sink& sink);
    void addTicketText(std::span<const std::uint8_t> bytes, Sink& sink);
    void print(std::span<const std::uint8_t> command, Sink& sink);
    [[nodiscard]] bool parseImageLength(std::uint64_t& length) const;
    [[nodiscard]] std::span<const std::uint8_t> commandBytes() const;

    PrinterSettings settings_;
    std::vector<std::size_t> nakFailure_;  // KMP fallback table for nakOn

    // Printer state, kept over connections.
    std::uint64_t printCommands_ = 0;
    std::uint64_t ticketsOut_ = 0;
    std::uint64_t images_ = 0;

    // Connection state.
    State state_ = State::Text;
    std::array<std::uint8_t, MaxCommandLength + 2> command_{};  // "<" ... ">"
    std::size_t commandLength_ = 0;
    std::uint64_t ticketBytes_ = 0;
    std::size_t nakMatched_ = 0;  // length of nakOn's prefix that ends the ticket so far
    bool nakSeen_ = false;
    ImageEvent image_;
};

}  // namespace kivo::emu
