#include "emulator/printer_stream.h"

#include <algorithm>
#include <utility>

namespace kivo::emu {

namespace {
constexpr std::uint8_t FormFeed = 0x0C;
constexpr std::size_t MaxLengthDigits = 18;
}  // namespace

const char* statusName(std::uint8_t s) {
    switch (s) {
    case status::TicketAck: return "Ticket ACK";
    case status::OutOfTickets: return "Out of Tickets";
    case status::PowerOn: return "Power On";
    case status::TicketNak: return "Ticket NAK";
    case status::RibbonLow: return "Ribbon Low";
    case status::TicketJam: return "Ticket Jam";
    case status::IllegalData: return "Illegal Data";
    default: return "Unnamed status";
    }
}

PrinterStream::PrinterStream(PrinterSettings settings) : settings_(std::move(settings)) {
    // Knuth-Morris-Pratt fallback table, so the NAK text is found in a stream of
    // any length while remembering only how much of it has matched so far.
    const auto& pattern = settings_.nakOn;
    nakFailure_.assign(pattern.size(), 0);
    std::size_t k = 0;
    for (std::size_t i = 1; i < pattern.size(); ++i) {
        while (k > 0 && pattern[i] != pattern[k]) k = nakFailure_[k - 1];
        if (pattern[i] == pattern[k]) ++k;
        nakFailure_[i] = k;
    }
}

std::size_t PrinterStream::retainedBytes() const {
    return settings_.nakOn.capacity() + nakFailure_.capacity() * sizeof(std::size_t);
}

void PrinterStream::feed(std::span<const std::uint8_t> in, Sink& sink) {
    while (!in.empty()) {
        switch (state_) {
        case State::Text: feedText(in, sink); break;
        case State::Command: feedCommand(in, sink); break;
        case State::Image: feedImage(in, sink); break;
        }
    }
}

void PrinterStream::endConnection(Sink& sink) {
    if (state_ == State::Image) sink.imageEnded(image_);
    if (state_ == State::Command) {
        // An unfinished command is plain received bytes of the ticket.
        sink.ticketBytes(commandBytes());
        ticketBytes_ += commandLength_;
    }
    if (ticketBytes_ > 0) sink.ticketDropped(ticketBytes_);
    state_ = State::Text;
    commandLength_ = 0;
    ticketBytes_ = 0;
    nakMatched_ = 0;
    nakSeen_ = false;
    image_ = {};
}

void PrinterStream::feedText(std::span<const std::uint8_t>& in, Sink& sink) {
    const auto special = std::find_if(in.begin(), in.end(),
                                      [](std::uint8_t b) { return b == '<' || b == FormFeed; });
    const auto plain = static_cast<std::size_t>(special - in.begin());
    if (plain > 0) addTicketText(in.first(plain), sink);
    if (special == in.end()) {
        in = {};
        return;
    }
    if (*special == FormFeed) {
        print(in.subspan(plain, 1), sink);
    } else {
        command_[0] = '<';
        commandLength_ = 1;
        state_ = State::Command;
    }
    in = in.subspan(plain + 1);
}

void PrinterStream::feedCommand(std::span<const std::uint8_t>& in, Sink& sink) {
    while (!in.empty()) {
        const std::uint8_t b = in.front();
        // A new "<" or a form feed cannot be inside a command: what came before was
        // text, and the byte is handled afresh, so no print command is ever missed.
        if (b == '<' || b == FormFeed) {
            abandonCommand(sink);
            return;
        }
        in = in.subspan(1);
        command_[commandLength_++] = b;
        if (b == '>') {
            finishCommand(sink);
            return;
        }
        if (commandLength_ > MaxCommandLength) {
            abandonCommand(sink);
            return;
        }
    }
}

void PrinterStream::feedImage(std::span<const std::uint8_t>& in, Sink& sink) {
    const auto take = static_cast<std::size_t>(
        std::min<std::uint64_t>(image_.declared - image_.received, in.size()));
    const auto part = in.first(take);
    sink.ticketBytes(part);
    ticketBytes_ += take;
    sink.imageBytes(part);
    image_.received += take;
    in = in.subspan(take);
    if (image_.complete()) {
        sink.imageEnded(image_);
        state_ = State::Text;
    }
}

std::span<const std::uint8_t> PrinterStream::commandBytes() const {
    return std::span<const std::uint8_t>(command_.data(), commandLength_);
}

void PrinterStream::finishCommand(Sink& sink) {
    const auto command = commandBytes();
    const auto body = command.subspan(1, command.size() - 2);
    state_ = State::Text;
    if (body.size() == 1 && body[0] == 'p') {
        print(command, sink);
    } else if (!body.empty() && body[0] == 'G') {
        std::uint64_t length = 0;
        if (!parseImageLength(length)) {
            sink.illegalData(command);
            sink.answer(status::IllegalData);
            addTicketText(command, sink);
        } else {
            sink.ticketBytes(command);
            ticketBytes_ += command.size();
            image_ = {++images_, length, 0};
            sink.imageStarted(image_.number, length);
            if (length == 0)
                sink.imageEnded(image_);
            else
                state_ = State::Image;
        }
    } else {
        addTicketText(command, sink);
    }
    commandLength_ = 0;
}

void PrinterStream::abandonCommand(Sink& sink) {
    const auto command = commandBytes();
    // "<G" opens a graphics download; without a closing ">" its length is malformed.
    if (command.size() > 1 && command[1] == 'G') {
        sink.illegalData(command);
        sink.answer(status::IllegalData);
    }
    addTicketText(command, sink);
    commandLength_ = 0;
    state_ = State::Text;
}

bool PrinterStream::parseImageLength(std::uint64_t& length) const {
    // command_ holds "<G" digits ">".
    const auto digits = commandBytes().subspan(2, commandLength_ - 3);
    if (digits.empty() || digits.size() > MaxLengthDigits) return false;
    std::uint64_t value = 0;
    for (const std::uint8_t d : digits) {
        if (d < '0' || d > '9') return false;
        value = value * 10 + (d - '0');
    }
    if (value > MaxImageLength) return false;
    length = value;
    return true;
}

void PrinterStream::addTicketText(std::span<const std::uint8_t> bytes, Sink& sink) {
    sink.ticketBytes(bytes);
    ticketBytes_ += bytes.size();
    const auto& pattern = settings_.nakOn;
    if (pattern.empty() || nakSeen_) return;
    for (const std::uint8_t b : bytes) {
        while (nakMatched_ > 0 && pattern[nakMatched_] != b) nakMatched_ = nakFailure_[nakMatched_ - 1];
        if (pattern[nakMatched_] == b) ++nakMatched_;
        if (nakMatched_ == pattern.size()) {
            nakSeen_ = true;
            return;
        }
    }
}

void PrinterStream::print(std::span<const std::uint8_t> command, Sink& sink) {
    sink.ticketBytes(command);
    ticketBytes_ += command.size();
    TicketEvent ticket;
    ticket.number = ++printCommands_;
    ticket.bytes = ticketBytes_;
    if (ticketsOut_ >= settings_.jamAfter) {
        ticket.answer = status::TicketJam;
    } else if (ticketsOut_ >= settings_.tickets) {
        ticket.answer = status::OutOfTickets;
    } else if (nakSeen_) {
        ticket.answer = status::TicketNak;
    } else {
        ticket.answer = status::TicketAck;
        ++ticketsOut_;
        ticket.ribbonLow = ticketsOut_ >= settings_.ribbonLowAfter;
    }
    sink.answer(ticket.answer);
    if (ticket.ribbonLow) sink.answer(status::RibbonLow);
    sink.ticketEnded(ticket);
    ticketBytes_ = 0;
    nakMatched_ = 0;
    nakSeen_ = false;
}

}  // namespace kivo::emu
