#include "Platform/Input/X11Desktop.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace quillon::platform {

namespace {

void sendToRoot(Display* dpy, const char* message, long value) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.serial = 0;
    ev.xclient.send_event = True;
    ev.xclient.display = dpy;
    ev.xclient.window = DefaultRootWindow(dpy);
    ev.xclient.message_type = XInternAtom(dpy, message, False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = value;
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, DefaultRootWindow(dpy), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &ev);
}

} // namespace

std::optional<long> rootCardinal(Display* dpy, const char* property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const Atom atom = XInternAtom(dpy, property, True);
    if (atom == None) {
        return std::nullopt;
    }
    std::optional<long> value;
    if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), atom, 0, 1, False, XA_CARDINAL, &type,
                           &format, &count, &after, &data) == Success &&
        data != nullptr) {
        if (type == XA_CARDINAL && format == 32 && count >= 1) {
            value = *reinterpret_cast<const long*>(data); // format 32 arrives as longs
        }
        XFree(data);
    }
    return value;
}

bool switchDesktop(Display* dpy, int delta) {
    const auto current = rootCardinal(dpy, "_NET_CURRENT_DESKTOP");
    const auto count = rootCardinal(dpy, "_NET_NUMBER_OF_DESKTOPS");
    if (!current || !count) {
        return false;
    }
    const long target = *current + delta;
    if (target < 0 || target >= *count) {
        return false;
    }
    sendToRoot(dpy, "_NET_CURRENT_DESKTOP", target);
    return true;
}

void toggleShowingDesktop(Display* dpy) {
    const long showing = rootCardinal(dpy, "_NET_SHOWING_DESKTOP").value_or(0);
    sendToRoot(dpy, "_NET_SHOWING_DESKTOP", showing != 0 ? 0 : 1);
}

} // namespace quillon::platform
