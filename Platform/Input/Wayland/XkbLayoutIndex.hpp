#pragma once

#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <string>
#include <unordered_map>

namespace quillon::platform {

// Where a keysym sits on a keyboard layout: its keycode (xkb, evdev + 8) and whether Shift is
// needed to reach it.
struct KeyPosition {
    xkb_keycode_t keycode = 0;
    bool shift = false;
};

// Where each keysym of a layout is.
using LayoutIndex = std::unordered_map<xkb_keysym_t, KeyPosition>;

// Every keysym of the keymap's first layout reachable without modifiers or with Shift alone;
// a keysym on several keys prefers an unshifted position, then the lowest keycode.
LayoutIndex indexLayout(xkb_keymap* keymap);

// The layout of a keymap text as a compositor hands it over (wl_keyboard.keymap); an empty or
// unreadable text gives xkb's default layout (XKB_DEFAULT_LAYOUT..., else "us").
LayoutIndex indexKeymapText(const std::string& keymapText);

// The text of a keymap a compositor hands over in wl_keyboard.keymap: read from `fd` (which is
// closed), up to its first NUL. Empty for another format or an implausible size (over 64 MiB).
std::string readSeatKeymap(std::uint32_t format, int fd, std::uint32_t size);

} // namespace quillon::platform
