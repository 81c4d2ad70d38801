// The window's icon, drawn by the program in 16, 32 and 48 pixel sizes.
#pragma once

#include <QIcon>

namespace kivo {

[[nodiscard]] QIcon AppIcon();

}  // namespace kivo
