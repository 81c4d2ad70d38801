#include "console/status_tally_label.h"

namespace kivo {
namespace {

const QString kTallyToolTip = QStringLiteral("Printer statuses received since Connect");

}  // namespace

StatusTallyLabel::StatusTallyLabel(QWidget* parent) : QLabel(parent) {
    setObjectName(QStringLiteral("StatusTally"));
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setToolTip(kTallyToolTip);
}

void StatusTallyLabel::Count(const std::vector<ReplyLine>& lines) {
    bool counted = false;
    for (const ReplyLine& line : lines)
        if (line.byte >= 0 && tally_.Add(static_cast<unsigned char>(line.byte))) counted = true;
    if (!counted) return;
    full_ = tally_.Text();
    Show();
}

void StatusTallyLabel::Clear() {
    tally_.Clear();
    full_.clear();
    Show();
}

void StatusTallyLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    if (!full_.isEmpty()) Show();
}

void StatusTallyLabel::Show() {
    setText(fontMetrics().elidedText(full_, Qt::ElideRight, contentsRect().width()));
    setToolTip(full_.isEmpty() ? kTallyToolTip : kTallyToolTip + QStringLiteral(": ") + full_);
}

}  // namespace kivo
