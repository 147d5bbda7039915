#pragma once

#include "Platform/Input/InputBackend.hpp"
#include "Platform/Input/Wayland/XkbLayoutIndex.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform {

// Text on a keyboard layout the backend does not choose (KWin's fake input, the kernel's uinput
// devices): each character is a key of the session's layout, with Shift where needed. A text
// with any character the layout lacks goes whole through the session clipboard and Control+V
// instead: typing some characters and pasting others would race (the paste arrives when the
// application reads the clipboard, keys typed after it may overtake it). For the same reason a
// text typed after one pasted waits until the paste has been read (SessionClipboard).

// The key that types `keysym` on `layout` (Linux key code, Shift); nothing when it lacks it.
std::optional<KeyPlace> keyPlaceOf(const LayoutIndex& layout, xkb_keysym_t keysym);

// The keys that type `text` on `layout`, in order, into `keys` (cleared first; the caller keeps
// it, so typing allocates nothing once it has grown). Returns how many characters the layout
// lacks: those are left out.
std::size_t keysForText(std::u32string_view text, const LayoutIndex& layout,
                        std::vector<KeyPlace>& keys);

// The V of Control+V: the layout's key for "v" without Shift, else KEY_V (a layout without a
// plain v still pastes with the key where QWERTY has it).
int pasteKey(const LayoutIndex& layout);

// `text` in UTF-8; surrogates and values past U+10FFFF are left out.
std::string utf8(std::u32string_view text);

} // namespace quillon::platform
