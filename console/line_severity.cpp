#include "console/line_severity.h"

namespace kivo {
namespace {

enum class Match { Prefix, Whole };

struct Rule {
    Match match;
    const char16_t* text;
    Severity severity;
};

// One row a kind of line; the first row that matches decides.
constexpr Rule kRules[] = {
    {Match::Prefix, u"Error ", Severity::Fault},  // connect and send errors, "Error 10054: ..."
    {Match::Whole, u"Lost connection with printer", Severity::Fault},
    {Match::Prefix, u"Cannot ", Severity::Fault},  // files that cannot be read, logs that cannot be saved
    {Match::Prefix, u"Nothing sent: ", Severity::Fault},
    {Match::Prefix, u"Send canceled by Disconnect", Severity::Fault},  // bytes not delivered, queued sends dropped
};

}  // namespace

Severity OutgoingSeverity(QStringView line) {
    for (const Rule& rule : kRules) {
        const QStringView text(rule.text);
        if (rule.match == Match::Prefix ? line.startsWith(text) : line == text) return rule.severity;
    }
    return Severity::None;
}

}  // namespace kivo
