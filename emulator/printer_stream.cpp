#include "emulator/printer_stream.h"

#include <algorithm>
#include <utility>

namespace kivo::emu {

namespace {
constexpr std::uint8_t FormFeed = 0x0C;
constexpr std::size_t kMaxLengthDigits = 18;
}  // namespace

const char* StatusName(std::uint8_t s) {
    switch (s) {
    case status::kTicketAck: return "Ticket ACK";
    case status::kOutOfTickets: return "Out of Tickets";
    case status::kPowerOn: return "Power On";
    case status::kTicketNak: return "Ticket NAK";
    case status::kRibbonLow: return "Ribbon Low";
    case status::kTicketJam: return "Ticket Jam";
    case status::kIllegalData: return "Illegal Data";
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

std::size_t PrinterStream::RetainedBytes() const {
    return settings_.nakOn.capacity() + nakFailure_.capacity() * sizeof(std::size_t);
}

void PrinterStream::Feed(std::span<const std::uint8_t> in, Sink& sink) {
    while (!in.empty()) {
        switch (state_) {
        case State::Text: FeedText(in, sink); break;
        case State::Command: FeedCommand(in, sink); break;
        case State::Image: FeedImage(in, sink); break;
        }
    }
}

void PrinterStream::EndConnection(Sink& sink) {
    if (state_ == State::Image) sink.ImageEnded(image_);
    if (state_ == State::Command) {
        // An unfinished command is plain received bytes of the ticket.
        sink.TicketBytes(CommandBytes());
        ticketBytes_ += commandLength_;
    }
    if (ticketBytes_ > 0) sink.TicketDropped(ticketBytes_);
    state_ = State::Text;
    commandLength_ = 0;
    ticketBytes_ = 0;
    nakMatched_ = 0;
    nakSeen_ = false;
    image_ = {};
}

void PrinterStream::FeedText(std::span<const std::uint8_t>& in, Sink& sink) {
    const auto special = std::find_if(in.begin(), in.end(), [](std::uint8_t b) { return b == '<' || b == FormFeed; });
    const auto plain = static_cast<std::size_t>(special - in.begin());
    if (plain > 0) AddTicketText(in.first(plain), sink);
    if (special == in.end()) {
        in = {};
        return;
    }
    if (*special == FormFeed) {
        Print(in.subspan(plain, 1), sink);
    } else {
        command_[0] = '<';
        commandLength_ = 1;
        state_ = State::Command;
    }
    in = in.subspan(plain + 1);
}

void PrinterStream::FeedCommand(std::span<const std::uint8_t>& in, Sink& sink) {
    while (!in.empty()) {
        const std::uint8_t b = in.front();
        // A new "<" or a form feed cannot be inside a command: what came before was
        // text, and the byte is handled afresh, so no print command is ever missed.
        if (b == '<' || b == FormFeed) {
            AbandonCommand(sink);
            return;
        }
        in = in.subspan(1);
        command_[commandLength_++] = b;
        if (b == '>') {
            FinishCommand(sink);
            return;
        }
        if (commandLength_ > kMaxCommandLength) {
            AbandonCommand(sink);
            return;
        }
    }
}

void PrinterStream::FeedImage(std::span<const std::uint8_t>& in, Sink& sink) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(image_.declared - image_.received, in.size()));
    const auto part = in.first(take);
    sink.TicketBytes(part);
    ticketBytes_ += take;
    sink.ImageBytes(part);
    image_.received += take;
    in = in.subspan(take);
    if (image_.Complete()) {
        sink.ImageEnded(image_);
        state_ = State::Text;
    }
}

std::span<const std::uint8_t> PrinterStream::CommandBytes() const {
    return std::span<const std::uint8_t>(command_.data(), commandLength_);
}

void PrinterStream::FinishCommand(Sink& sink) {
    const auto command = CommandBytes();
    const auto body = command.subspan(1, command.size() - 2);
    state_ = State::Text;
    if (body.size() == 1 && body[0] == 'p') {
        Print(command, sink);
    } else if (!body.empty() && body[0] == 'G') {
        std::uint64_t length = 0;
        if (!ParseImageLength(length)) {
            sink.IllegalData(command);
            sink.Answer(status::kIllegalData);
            AddTicketText(command, sink);
        } else {
            sink.TicketBytes(command);
            ticketBytes_ += command.size();
            image_ = {++images_, length, 0};
            sink.ImageStarted(image_.number, length);
            if (length == 0)
                sink.ImageEnded(image_);
            else
                state_ = State::Image;
        }
    } else {
        AddTicketText(command, sink);
    }
    commandLength_ = 0;
}

void PrinterStream::AbandonCommand(Sink& sink) {
    const auto command = CommandBytes();
    // "<G" opens a graphics download; without a closing ">" its length is malformed.
    if (command.size() > 1 && command[1] == 'G') {
        sink.IllegalData(command);
        sink.Answer(status::kIllegalData);
    }
    AddTicketText(command, sink);
    commandLength_ = 0;
    state_ = State::Text;
}

bool PrinterStream::ParseImageLength(std::uint64_t& length) const {
    // command_ holds "<G" digits ">".
    const auto digits = CommandBytes().subspan(2, commandLength_ - 3);
    if (digits.empty() || digits.size() > kMaxLengthDigits) return false;
    std::uint64_t value = 0;
    for (const std::uint8_t d : digits) {
        if (d < '0' || d > '9') return false;
        value = value * 10 + (d - '0');
    }
    if (value > kMaxImageLength) return false;
    length = value;
    return true;
}

void PrinterStream::AddTicketText(std::span<const std::uint8_t> bytes, Sink& sink) {
    sink.TicketBytes(bytes);
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

void PrinterStream::Print(std::span<const std::uint8_t> command, Sink& sink) {
    sink.TicketBytes(command);
    ticketBytes_ += command.size();
    TicketEvent ticket;
    ticket.number = ++printCommands_;
    ticket.bytes = ticketBytes_;
    if (ticketsOut_ >= settings_.jamAfter) {
        ticket.answer = status::kTicketJam;
    } else if (ticketsOut_ >= settings_.tickets) {
        ticket.answer = status::kOutOfTickets;
    } else if (nakSeen_) {
        ticket.answer = status::kTicketNak;
    } else {
        ticket.answer = status::kTicketAck;
        ++ticketsOut_;
        ticket.ribbonLow = ticketsOut_ >= settings_.ribbonLowAfter;
    }
    sink.Answer(ticket.answer);
    if (ticket.ribbonLow) sink.Answer(status::kRibbonLow);
    sink.TicketEnded(ticket);
    ticketBytes_ = 0;
    nakMatched_ = 0;
    nakSeen_ = false;
}

}  // namespace kivo::emu
