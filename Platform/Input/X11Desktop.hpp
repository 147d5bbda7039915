#pragma once

#include <optional>

typedef struct _XDisplay Display;

namespace quillon::platform {

// Window-manager requests of the EWMH (extended window manager hints) that the X11 input backend
// uses. Each reads the root window's properties (a round trip) and asks the window manager by a
// client message to the root window; without a window manager that publishes the properties
// nothing happens. The caller flushes.

// Moves to the workspace `delta` away from the current one (+1 right, -1 left), staying within
// _NET_NUMBER_OF_DESKTOPS (no wrap-around: a swipe stops at the last one). True when a request
// was sent.
bool switchDesktop(Display* dpy, int delta);

// Asks for _NET_SHOWING_DESKTOP to become the opposite of what it is now.
void toggleShowingDesktop(Display* dpy);

// A CARDINAL property of the root window, if set.
std::optional<long> rootCardinal(Display* dpy, const char* property);

} // namespace quillon::platform
