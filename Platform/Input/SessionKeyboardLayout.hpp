#pragma once

#include "Platform/Input/XkbLayoutIndex.hpp"

#include <optional>
#include <string>
#include <unordered_map>

namespace quillon::platform {

// The keys of the session's current keyboard layout, for backends that type text as evdev
// keys into a keymap they do not choose (uinput): keysym -> keycode (xkb, evdev + 8) and Shift.
using LayoutIndex = std::unordered_map<xkb_keysym_t, KeyPosition>;

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
