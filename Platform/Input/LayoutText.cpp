#include "Platform/Input/LayoutText.hpp"

namespace quillon::platform {

namespace {

constexpr int kKeyV = 47;            // KEY_V
constexpr xkb_keycode_t kXkbMin = 9; // xkb keycodes are evdev codes + 8
constexpr xkb_keycode_t kXkbMax = 255 + 8;

} // namespace

std::optional<KeyPlace> keyPlaceOf(const LayoutIndex& layout, xkb_keysym_t keysym) {
    if (keysym == XKB_KEY_NoSymbol) {
        return std::nullopt;
    }
    const auto it = layout.find(keysym);
    if (it == layout.end() || it->second.keycode < kXkbMin || it->second.keycode > kXkbMax) {
        return std::nullopt;
    }
    return KeyPlace{static_cast<int>(it->second.keycode) - 8, it->second.shift};
}

std::size_t keysForText(std::u32string_view text, const LayoutIndex& layout,
                        std::vector<KeyPlace>& keys) {
    keys.clear();
    std::size_t missing = 0;
    for (const char32_t cp : text) {
        const auto place = keyPlaceOf(layout, xkb_utf32_to_keysym(static_cast<std::uint32_t>(cp)));
        if (place) {
            keys.push_back(*place);
        } else {
            ++missing;
        }
    }
    return missing;
}

int pasteKey(const LayoutIndex& layout) {
    const auto v = keyPlaceOf(layout, XKB_KEY_v);
    return v && !v->shift ? v->code : kKeyV;
}

std::string utf8(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                continue; // a lone surrogate is no character
            }
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace quillon::platform
