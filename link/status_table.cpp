#include "link/status_table.h"

#include <array>
#include <cstdint>

namespace kivo {
namespace {

constexpr Severity kNone = Severity::None;
constexpr Severity kWarning = Severity::Warning;
constexpr Severity kFault = Severity::Fault;

// A status byte is one row here; the tally lists them in this order.
constexpr StatusRow kStatusRows[] = {
    // byte  name                              short name          severity  tallied answer
    {0x06, "Ticket ACK", "ACK", kNone, true, true},
    {0x05, "Test Button Ticket ACK", "Test ACK", kNone, true, false},
    {0x15, "Ticket NAK", "NAK", kFault, true, true},
    {0x10, "Out of Tickets", "Out of Tickets", kFault, true, true},
    {0x16, "Ribbon Low", "Ribbon Low", kWarning, true, false},
    {0x17, "Ribbon Out", "Ribbon Out", kFault, true, true},
    {0x18, "Ticket Jam", "Jam", kFault, true, true},
    {0x19, "Illegal Data", "Illegal Data", kFault, true, true},
    {0x1A, "Power Up Problem", "Power Up Problem", kFault, true, true},
    {0x1C, "Incomplete Logo Stored in FLASH", "Logo Incomplete", kFault, true, true},
    {0x12, "Power On", "Power On", kNone, true, false},
};

// Row index by byte, -1 for no status; made once from the rows.
constexpr std::array<std::int16_t, 256> kIndex = [] {
    std::array<std::int16_t, 256> index{};
    index.fill(-1);
    for (std::size_t i = 0; i < std::size(kStatusRows); ++i) index[kStatusRows[i].byte] = static_cast<std::int16_t>(i);
    return index;
}();

}  // namespace

std::span<const StatusRow> StatusRows() { return kStatusRows; }

const StatusRow* FindStatus(unsigned char byte) {
    const int i = kIndex[byte];
    return i < 0 ? nullptr : &kStatusRows[i];
}

Severity StatusSeverity(unsigned char byte) {
    const StatusRow* row = FindStatus(byte);
    return row ? row->severity : kNone;
}

}  // namespace kivo
