#include "Platform/Display/DisplayServers.hpp"

#include "Platform/Display/X11Connection.hpp"

#include <wayland-client.h>

namespace quillon::platform {

bool x11ServerAnswers(const std::string& display) {
    return static_cast<bool>(x11::Connection(display));
}

bool waylandServerAnswers(const std::string& display) {
    wl_display* connection = wl_display_connect(display.empty() ? nullptr : display.c_str());
    if (connection == nullptr) {
        return false;
    }
    const bool answered = wl_display_roundtrip(connection) >= 0;
    wl_display_disconnect(connection);
    return answered;
}

} // namespace quillon::platform
