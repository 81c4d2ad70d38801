// The tally of the printer's statuses since Connect, e.g. "ACK 2,998 · NAK 1 ·
// Jam 1": in sight however far the log scrolls. A tally wider than the label is
// cut at the right with an ellipsis; the tooltip always holds all of it.
#pragma once

#include "link/console_port.h"
#include "link/status_tally.h"

#include <QLabel>

namespace kivo {

class StatusTallyLabel : public QLabel {
    Q_OBJECT
public:
    explicit StatusTallyLabel(QWidget* parent = nullptr);

    // Counts the status bytes among a decoded reply's lines; text that merely
    // reads like a status does not count.
    void Count(const std::vector<ReplyLine>& lines);
    void Clear();
    [[nodiscard]] const StatusTally& Tally() const { return tally_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // Shows the tally, elided to the label's width, and puts all of it in the tooltip.
    void Show();

    StatusTally tally_;
    QString full_;
};

}  // namespace kivo
