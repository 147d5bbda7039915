#include "Platform/Input/KeyCombination.hpp"

#include "Platform/Input/EvdevKeys.hpp"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <string>

namespace quillon::platform {

namespace {

std::string_view trim(std::string_view s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

std::optional<int> modifierAlias(std::string_view name) {
    const std::string n = lower(name);
    if (n == "super" || n == "meta") {
        return EvdevKey::leftMeta;
    }
    if (n == "control" || n == "ctrl") {
        return EvdevKey::leftControl;
    }
    if (n == "alt") {
        return EvdevKey::leftAlt;
    }
    if (n == "shift") {
        return EvdevKey::leftShift;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::vector<int>> resolveKeyCombination(std::string_view text,
                                                      InputBackend& backend) {
    std::vector<int> codes;
    const auto add = [&codes](int code) {
        if (std::find(codes.begin(), codes.end(), code) == codes.end()) {
            codes.push_back(code);
        }
    };
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('+', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view name = trim(text.substr(start, end - start));
        start = end + 1;
        if (name.empty()) {
            return std::nullopt; // "", "Super+", "++"
        }
        if (const auto alias = modifierAlias(name)) {
            add(*alias);
            continue;
        }
        const std::string n(name);
        xkb_keysym_t sym = xkb_keysym_from_name(n.c_str(), XKB_KEYSYM_NO_FLAGS);
        if (sym == XKB_KEY_NoSymbol) {
            sym = xkb_keysym_from_name(n.c_str(), XKB_KEYSYM_CASE_INSENSITIVE);
        }
        const auto place = sym == XKB_KEY_NoSymbol ? std::nullopt : backend.keyForKeysym(sym);
        if (!place || place->code <= 0) {
            return std::nullopt;
        }
        if (place->shift) {
            add(EvdevKey::leftShift);
        }
        add(place->code);
    }
    if (codes.empty()) {
        return std::nullopt;
    }
    return codes;
}

} // namespace quillon::platform
