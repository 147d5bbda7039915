#include "Platform/Input/OverviewCombination.hpp"

#include <algorithm>
#include <linux/input-event-codes.h>
#include <string_view>

namespace quillon::platform {

std::optional<std::vector<int>>
evdevCombination(const std::string& text,
                 const std::unordered_map<xkb_keysym_t, KeyPosition>& layout) {
    std::vector<int> codes;
    const auto add = [&codes](int code) {
        if (std::find(codes.begin(), codes.end(), code) == codes.end()) {
            codes.push_back(code);
        }
    };
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('+', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string name = text.substr(start, end - start);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        start = end + 1;
        if (name.empty()) {
            return std::nullopt; // "", "Super+", "++"
        }
        if (name == "Super" || name == "Meta") {
            add(KEY_LEFTMETA);
        } else if (name == "Control" || name == "Ctrl") {
            add(KEY_LEFTCTRL);
        } else if (name == "Alt") {
            add(KEY_LEFTALT);
        } else if (name == "Shift") {
            add(KEY_LEFTSHIFT);
        } else {
            const xkb_keysym_t sym = xkb_keysym_from_name(name.c_str(), XKB_KEYSYM_NO_FLAGS);
            const auto it = sym == XKB_KEY_NoSymbol ? layout.end() : layout.find(sym);
            if (it == layout.end() || it->second.keycode < 8) {
                return std::nullopt;
            }
            if (it->second.shift) {
                add(KEY_LEFTSHIFT);
            }
            add(static_cast<int>(it->second.keycode) - 8);
        }
    }
    if (codes.empty()) {
        return std::nullopt;
    }
    return codes;
}

} // namespace quillon::platform
