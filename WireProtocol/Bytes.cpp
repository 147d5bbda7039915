#include "WireProtocol/Bytes.hpp"

#include <cstring>

namespace quillon::wire {

bool isValidUTF8(ByteView b) noexcept {
    std::size_t i = 0;
    const std::size_t n = b.size();
    while (i < n) {
        const std::uint8_t c = b[i];
        if (c < 0x80) {
            ++i;
            // Typed text is mostly ASCII: skip eight such bytes per step.
            while (n - i >= 8) {
                std::uint64_t word;
                std::memcpy(&word, b.data() + i, sizeof word);
                if ((word & 0x8080808080808080ull) != 0) {
                    break;
                }
                i += 8;
            }
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false; // continuation byte, overlong lead (C0, C1) or above F4
        }
        if (n - i < len) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            const std::uint8_t cc = b[i + k];
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int decodeChar(char c) noexcept {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}
} // namespace

std::string base64Encode(ByteView bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t v = bytes[i] << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

bool base64Decode(std::string_view text, Bytes& out) {
    out.clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0) {
                return false; // data after padding
            }
            v[k] = decodeChar(c);
            if (v[k] < 0) {
                return false;
            }
        }
        const std::uint32_t w = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out.push_back(static_cast<std::uint8_t>(w >> 16));
        if (pad < 2) {
            out.push_back(static_cast<std::uint8_t>(w >> 8));
        }
        if (pad < 1) {
            out.push_back(static_cast<std::uint8_t>(w));
        }
    }
    return true;
}

} // namespace quillon::wire
