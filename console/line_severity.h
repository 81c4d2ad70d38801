// Which lines of the outgoing log report that something went wrong, decided by
// their text: a failed connect, a send error, a lost connection, bytes that did
// not reach the printer. They are shown in red.
#pragma once

#include "link/reply_decoder.h"

#include <QStringView>

namespace kivo {

[[nodiscard]] Severity OutgoingSeverity(QStringView line);

}  // namespace kivo
