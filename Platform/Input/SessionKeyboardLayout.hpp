#pragma once

#include "Platform/Input/Wayland/XkbLayoutIndex.hpp"

#include <optional>
#include <string>

namespace quillon::platform {

// The keys of the session's current keyboard layout, for a backend that types text as evdev
// keys into a keymap it does not choose (uinput), wherever the session keeps it.

// The layout of the Wayland seat's keyboard (wl_keyboard.keymap), as the compositor applies it
// to keys; nothing without a compositor or while the seat has no keyboard. `display`: socket
// name or absolute path; empty: $WAYLAND_DISPLAY.
std::optional<LayoutIndex> waylandSeatLayout(const std::string& display);

// The X server's core keyboard mapping in its active group (plain and Shift levels); nothing
// without an X server. `display` empty: $DISPLAY.
std::optional<LayoutIndex> x11Layout(const std::string& display);

// Without a display server (a text console): the xkb names of the environment
// (XKB_DEFAULT_LAYOUT, ...), else the system's keyboard configuration (/etc/default/keyboard,
// Debian's console and X11 default), else "us". `keyboardFile` is that file, for tests.
LayoutIndex systemLayout(const std::string& keyboardFile = "/etc/default/keyboard");

} // namespace quillon::platform
