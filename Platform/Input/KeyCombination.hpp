#pragma once

#include "Platform/Input/InputBackend.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace quillon::platform {

// A key combination the user names ("Super", "Super+Tab", "Control+Alt+Up", "F3"; the setting
// "overviewKey") as Linux key codes in pressing order, on the layout `backend` types with.
// "Super"/"Meta", "Control"/"Ctrl", "Alt" and "Shift" (any case) are the left-hand modifiers;
// any other name is an xkb keysym name ("Tab", "Up", "F3", "a") looked up with
// keyForKeysym(), and a keysym reached only with Shift brings Shift along. Nothing when the text
// is empty, a name is unknown or the layout lacks the key: the caller then presses nothing,
// never a part of the combination.
std::optional<std::vector<int>> resolveKeyCombination(std::string_view text, InputBackend& backend);

} // namespace quillon::platform
