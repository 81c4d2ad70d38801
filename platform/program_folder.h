// The folder that holds the program's executable.
#pragma once

#include <QString>

namespace platform {

// Without a trailing separator.
[[nodiscard]] QString ProgramFolder();

}  // namespace platform
