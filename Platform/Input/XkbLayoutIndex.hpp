#pragma once

#include <xkbcommon/xkbcommon.h>

#include <unordered_map>

namespace quillon::platform {

// Where a keysym sits on a keyboard layout: its keycode (xkb, evdev + 8) and whether Shift is
// needed to reach it.
struct KeyPosition {
    xkb_keycode_t keycode = 0;
    bool shift = false;
};

// Every keysym of the keymap's first layout reachable without modifiers or with Shift alone;
// a keysym on several keys prefers an unshifted position, then the lowest keycode.
std::unordered_map<xkb_keysym_t, KeyPosition> indexLayout(xkb_keymap* keymap);

} // namespace quillon::platform
