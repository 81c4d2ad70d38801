#include "ping/ping.h"

namespace kivo {

void Cmdping_Click(Console&) {}

}  // namespace kivo
