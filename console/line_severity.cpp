#include "console/line_severity.h"

namespace kivo {
namespace {

enum class Match { Prefix, Whole, Contains, Suffix };

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
    {Match::Prefix, u"Cut short: ", Severity::Fault},                    // a job that did not reach its end
    {Match::Prefix, u"Stopped: ", Severity::None},                       // the operator's own Stop
    {Match::Contains, u" not delivered: ", Severity::Fault},             // "1,234 bytes not delivered: ..."
    {Match::Contains, u" queued send(s) dropped", Severity::Fault},      // when the printer went away
    {Match::Prefix, u"No printer address to connect to", Severity::Fault},
    {Match::Suffix, u"; nothing was sent", Severity::Fault},             // a picture that could not be converted
    {Match::Contains, u" read short ", Severity::Warning},               // a PCX padded to its header's length
    {Match::Prefix, u"The settings in ", Severity::Warning},             // damaged settings, ignored
};

bool Matches(const Rule& rule, QStringView line) {
    const QStringView text(rule.text);
    switch (rule.match) {
    case Match::Prefix: return line.startsWith(text);
    case Match::Whole: return line == text;
    case Match::Contains: return line.contains(text);
    case Match::Suffix: return line.endsWith(text);
    }
    return false;
}

}  // namespace

Severity OutgoingSeverity(QStringView line) {
    for (const Rule& rule : kRules)
        if (Matches(rule, line)) return rule.severity;
    return Severity::None;
}

}  // namespace kivo
