// The socket message hook of the main window: socket messages go to
// OnSocketEvent, every other message on to the window's own procedure.
#pragma once

#include "link/console_port.h"
#include "platform/window.h"
#include "platform/winsock.h"

namespace kivo {

// Bytes one read event drains at the most; the rest waits for the next event,
// so a printer that sends without pause cannot hold the window.
inline constexpr int kMaxReadPerEvent = 64 * 1024;
// Bytes asked of each recv call.
inline constexpr int kRecvPiece = 256;
// A run of printable text that a read ends with is held for the next read, which
// may continue the line; it is written when a control byte follows, after this
// long without bytes, or when it has grown to kMaxHeldText.
inline constexpr int kTextQuietMs = 100;
inline constexpr int kMaxHeldText = kMaxReadPerEvent;

// Puts SocketWindowProc in front of the window's own procedure; the socket
// events' lines go to the console.
void HookWindow(platform::HWND window, Console& console);
// Gives the window its own procedure back; does nothing before HookWindow.
void UnhookWindow(platform::HWND window);

platform::LRESULT SocketWindowProc(platform::HWND hwnd, unsigned int msg, platform::WPARAM wParam,
                                   platform::LPARAM lParam);

// Acts on one socket message: drains and decodes received bytes, and logs
// connect and close events; a close is then passed on to the console.
void OnSocketEvent(ws::SOCKET s, platform::LPARAM lParam);

// Reads and decodes whatever the printer has sent that is still unread (at most
// kMaxDrain bytes), so that a close that follows finds nothing unread; text held
// for a following read is written too.
inline constexpr int kMaxDrain = 16 * kMaxReadPerEvent;
void DrainReplies(ws::SOCKET s, Console& console);

// Bytes gathered by the last read event.
[[nodiscard]] double ReceivedCount();

}  // namespace kivo
