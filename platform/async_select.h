// Socket messages for registered sockets: one binding per socket watches its
// descriptor with socket notifiers on the window's thread and posts the socket
// events to the window. Used only by the socket layer itself.
#pragma once

#include "platform/window.h"

namespace ws::detail {

// Registers (or, with events 0, unregisters) a socket; the descriptor becomes
// non-blocking. Returns false when the descriptor is no socket.
bool RegisterAsync(int fd, platform::Window* window, unsigned int msg, long events);
void UnregisterAsync(int fd);
[[nodiscard]] bool IsRegistered(int fd);

// The socket layer tells the binding what its calls did, so events are re-armed
// exactly when the program has acted on the previous one.
void AfterRecv(int fd, int wsaError);  // wsaError 0 when recv stored bytes or saw the end
void AfterSendRefused(int fd);         // send met a full buffer
void AfterConnectStarted(int fd);      // a non-blocking connect is pending

}  // namespace ws::detail
