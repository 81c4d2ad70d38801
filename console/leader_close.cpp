#include "console/leader_close.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace kivo {
namespace {

xcb_connection_t* Connection() {
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

}  // namespace

LeaderCloseFilter::LeaderCloseFilter(QWidget& window) : window_(window) {
    xcb_connection_t* c = Connection();
    if (!c) return;
    protocols_ = Atom(c, "WM_PROTOCOLS");
    deleteWindow_ = Atom(c, "WM_DELETE_WINDOW");
    clientLeader_ = Atom(c, "WM_CLIENT_LEADER");
    QCoreApplication::instance()->installNativeEventFilter(this);
}

LeaderCloseFilter::~LeaderCloseFilter() {
    if (protocols_ != 0 && QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

// The leader that Qt has given the window: its WM_CLIENT_LEADER property.
std::uint32_t LeaderCloseFilter::Leader() {
    if (leader_ != 0 || !window_.windowHandle() || !window_.windowHandle()->handle()) return leader_;
    xcb_connection_t* c = Connection();
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, static_cast<xcb_window_t>(window_.winId()), clientLeader_, XCB_ATOM_WINDOW, 0, 1),
        nullptr);
    if (reply && xcb_get_property_value_length(reply) == sizeof(xcb_window_t))
        leader_ = *static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
    std::free(reply);
    return leader_;
}

bool LeaderCloseFilter::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & ~0x80) != XCB_CLIENT_MESSAGE) return false;
    const auto* client = static_cast<const xcb_client_message_event_t*>(message);
    if (client->format != 32 || client->type != protocols_ || client->data.data32[0] != deleteWindow_) return false;
    // The window's own requests are Qt's; only the leader's are taken here.
    if (const std::uint32_t leader = Leader(); leader == 0 || client->window != leader) return false;
    // As the window's own close request would: through the window's close, on the
    // next turn of the event loop (or of a blocking wait), not in the middle of
    // the window system's event handling.
    QMetaObject::invokeMethod(&window_, &QWidget::close, Qt::QueuedConnection);
    return true;
}

}  // namespace kivo
