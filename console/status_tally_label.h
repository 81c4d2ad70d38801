// The tally of the printer's statuses since Connect, beside the incoming log's
// label, e.g. "ACK 2,998 · NAK 1 · Jam 1": in sight however far the log scrolls.
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

private:
    StatusTally tally_;
};

}  // namespace kivo
