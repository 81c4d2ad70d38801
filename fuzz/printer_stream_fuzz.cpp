// Feeds an arbitrary command stream to the emulated printer twice: whole, and
// in two pieces split where the first two bytes say. The printer must answer
// the same and report the same tickets and images either way, and hold no more
// memory for it.
#include "emulator/printer_stream.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Everything the stream reports, written down in order.
class Record : public kivo::emu::PrinterStream::Sink {
public:
    void Answer(std::uint8_t status) override { text_ += "A" + std::to_string(status) + ";"; }
    void TicketBytes(std::span<const std::uint8_t> bytes) override { ticketBytes_ += bytes.size(); }
    void TicketEnded(const kivo::emu::TicketEvent& t) override {
        text_ += "T" + std::to_string(t.number) + "," + std::to_string(t.bytes) + "," + std::to_string(t.answer) +
                 (t.ribbonLow ? ",low;" : ";");
    }
    void TicketDropped(std::uint64_t bytes) override { text_ += "D" + std::to_string(bytes) + ";"; }
    void ImageStarted(std::uint64_t number, std::uint64_t declared) override {
        text_ += "I" + std::to_string(number) + "," + std::to_string(declared) + ";";
    }
    void ImageBytes(std::span<const std::uint8_t> bytes) override { imageBytes_ += bytes.size(); }
    void ImageEnded(const kivo::emu::ImageEvent& i) override {
        text_ += "E" + std::to_string(i.number) + "," + std::to_string(i.received) + ";";
    }
    void IllegalData(std::span<const std::uint8_t> command) override {
        text_ += "X" + std::string(command.begin(), command.end()) + ";";
    }
    [[nodiscard]] bool operator==(const Record& other) const {
        return text_ == other.text_ && ticketBytes_ == other.ticketBytes_ && imageBytes_ == other.imageBytes_;
    }

private:
    std::string text_;
    std::uint64_t ticketBytes_ = 0;
    std::uint64_t imageBytes_ = 0;
};

kivo::emu::PrinterSettings Stocked() {
    kivo::emu::PrinterSettings settings;
    settings.tickets = 50;
    settings.jamAfter = 40;
    settings.ribbonLowAfter = 5;
    settings.nakOn = {'N', 'A', 'K'};
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::span<const std::uint8_t> stream(data + 2, size - 2);
    const std::size_t split = (std::size_t{data[0]} << 8 | data[1]) % (stream.size() + 1);

    kivo::emu::PrinterStream whole(Stocked()), pieces(Stocked());
    const std::size_t retained = pieces.RetainedBytes();
    Record once, twice;
    whole.Feed(stream, once);
    whole.EndConnection(once);
    pieces.Feed(stream.first(split), twice);
    pieces.Feed(stream.subspan(split), twice);
    pieces.EndConnection(twice);
    if (!(once == twice)) std::abort();
    if (whole.PrintCommands() != pieces.PrintCommands() || whole.Images() != pieces.Images()) std::abort();
    if (pieces.RetainedBytes() != retained) std::abort();
    return 0;
}
