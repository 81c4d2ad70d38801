// The Ping button.
#pragma once

#include "link/console_port.h"

namespace kivo {

void Cmdping_Click(Console& console);

}  // namespace kivo
