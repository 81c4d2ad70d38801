#include "console/status_tally_label.h"

namespace kivo {

StatusTallyLabel::StatusTallyLabel(QWidget* parent) : QLabel(parent) {
    setObjectName(QStringLiteral("StatusTally"));
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setToolTip(QStringLiteral("Printer statuses received since Connect"));
}

void StatusTallyLabel::Count(const std::vector<ReplyLine>& lines) {
    bool counted = false;
    for (const ReplyLine& line : lines)
        if (line.byte >= 0 && tally_.Add(static_cast<unsigned char>(line.byte))) counted = true;
    if (counted) setText(tally_.Text());
}

void StatusTallyLabel::Clear() {
    tally_.Clear();
    clear();
}

}  // namespace kivo
