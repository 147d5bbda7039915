#pragma once

#include "Platform/Input/UinputInputBackend.hpp"

#include <memory>
#include <string>

namespace quillon::platform {

class WaylandDisplayGeometry;
class X11DisplayGeometry;

// What the uinput backend takes from the session it types into: where absolute moves land,
// the keyboard layout its keys get, and the clipboard for the rest of the text. The kernel's
// devices reach every session alike; only these three differ.

// A Wayland session: the compositor's layout of outputs (absolute devices span all of them),
// the seat's keymap, and the clipboard through zwlr_data_control_manager_v1 when the
// compositor offers it (wlroots compositors and KWin do). `display` empty: $WAYLAND_DISPLAY.
UinputInputBackend::Options
uinputForWayland(const std::string& display,
                 std::shared_ptr<const WaylandDisplayGeometry> geometry);

// An X11 session: the root window (the absolute device spans the screen), the X server's
// keymap, and the CLIPBOARD selection. `display` empty: $DISPLAY.
UinputInputBackend::Options uinputForX11(const std::string& display,
                                         std::shared_ptr<const X11DisplayGeometry> geometry);

// No display server: no absolute moves, the system's keyboard layout, no clipboard.
UinputInputBackend::Options uinputForConsole();

} // namespace quillon::platform
