// Translation of POSIX errno values into the socket library's error codes.
#pragma once

namespace ws::detail {

[[nodiscard]] int ErrnoToWsa(int err);

}  // namespace ws::detail
