#include "Platform/Permission/InputPermission.hpp"

#include "Platform/Display/X11Connection.hpp"

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
        return {false, "the X server at " + conn.name() + " has no XTest extension"};
    }
    return {true, {}};
}

} // namespace quillon::platform
