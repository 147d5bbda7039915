#include "Platform/Permission/InputPermission.hpp"

#include "Platform/Display/X11Connection.hpp"
#include "Platform/Locale/Translation.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace quillon::platform {

InputPermission InputPermission::check(const std::string& display) {
    x11::Connection conn(display);
    if (!conn) {
        return {false, conn.error()};
    }
    int ev = 0, err = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(conn.get(), &ev, &err, &major, &minor)) {
        return {false,
                i18n::fill(i18n::tr("the X server at {1} has no XTest extension"), {conn.name()})};
    }
    return {true, {}};
}

X11Access probeX11(const std::string& display) {
    x11::Connection conn(display);
    if (!conn) {
        return conn.name().empty() ? X11Access::noDisplay : X11Access::unreachable;
    }
    int ev = 0, err = 0, major = 0, minor = 0;
    return XTestQueryExtension(conn.get(), &ev, &err, &major, &minor) ? X11Access::usable
                                                                      : X11Access::noXTest;
}

} // namespace quillon::platform
