#pragma once

#include "Platform/Input/XkbLayoutIndex.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillon::platform {

// The configured overview combination ("Super", "Super+Tab", "Control+Alt+Up"; the same text
// the X11 host reads from "overviewKey") as evdev key codes in pressing order, for backends
// that send evdev keys. "Super"/"Meta", "Control"/"Ctrl", "Alt" and "Shift" are the left-hand
// modifiers; any other name is an xkb keysym name looked up on `layout`, and a keysym reached
// only with Shift brings Shift along. Nothing when the text is empty, a name is unknown or the
// layout lacks the key: the caller presses nothing rather than a part of the combination.
std::optional<std::vector<int>>
evdevCombination(const std::string& text,
                 const std::unordered_map<xkb_keysym_t, KeyPosition>& layout);

} // namespace quillon::platform
