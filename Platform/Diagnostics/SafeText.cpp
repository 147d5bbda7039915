#include "Platform/Diagnostics/SafeText.hpp"

#include "Platform/Locale/Translation.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace quillon::platform {

namespace {

// Length of the well-formed UTF-8 sequence at `at` (1-4) and its code point; 0 when the bytes
// there are not one (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short).
std::size_t decode(std::string_view s, std::size_t at, char32_t& cp) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[at + i]); };
    const unsigned char b0 = byte(0);
    std::size_t length = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (at + length > s.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool isHidden(char32_t cp) {
    return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || cp == 0x200E ||
           cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

} // namespace

std::string safeText(std::string_view text, std::size_t maxBytes) {
    std::string out;
    out.reserve(std::min(text.size(), maxBytes) + 16);
    appendSafeText(out, text, maxBytes);
    return out;
}

void appendSafeText(std::string& out, std::string_view text, std::size_t maxBytes) {
    std::size_t at = 0;
    while (at < text.size()) {
        char32_t cp = 0;
        const std::size_t length = decode(text, at, cp);
        const std::size_t consumed = length == 0 ? 1 : length;
        if (at + consumed > maxBytes) {
            break;
        }
        char escape[16];
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[at]));
            out += escape;
        } else if (isHidden(cp)) {
            if (cp < 0x80) {
                std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(cp));
            } else {
                std::snprintf(escape, sizeof escape, "\\u{%X}", static_cast<unsigned>(cp));
            }
            out += escape;
        } else {
            out.append(text.substr(at, length));
        }
        at += consumed;
    }
    if (at < text.size()) {
        out += i18n::fill(i18n::tr("…({1} bytes in all)"), {std::to_string(text.size())});
    }
}

} // namespace quillon::platform
