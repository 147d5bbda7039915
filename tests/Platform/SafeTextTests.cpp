// test-labels: platform
// test-language: zh_CN
#include "Platform/Diagnostics/SafeText.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::platform {
namespace {

TEST(SafeText, EscapesWhatATerminalWouldActOn) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"iPad von Anna", "iPad von Anna"},
        {"王小明的 iPad 😀", "王小明的 iPad 😀"},
        {"", ""},
        // Title change, screen clear, forged console line.
        {"\x1b]0;pwned\x07", "\\x1B]0;pwned\\x07"},
        {"x\x1b[2J\x1b[H", "x\\x1B[2J\\x1B[H"},
        {"iPad\r\n配对码：123456", "iPad\\x0D\\x0A配对码：123456"},
        {"a\tb\x7f", "a\\x09b\\x7F"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        // C1: the 8-bit CSI (U+009B) and NEL (U+0085).
        {"a\u009b2Jb\u0085c", "a\\u{9B}2Jb\\u{85}c"},
        // Bidi overrides, isolates and marks.
        {"abc\u202egpj.exe", "abc\\u{202E}gpj.exe"},
        {"\u2066x\u2069\u200f\u061c", "\\u{2066}x\\u{2069}\\u{200F}\\u{61C}"},
        // Not UTF-8: a stray continuation, a lone lead, an overlong slash, a surrogate.
        {"a\x80z", "a\\x80z"},
        {"a\xe4z", "a\\xE4z"},
        {"\xc0\xaf", "\\xC0\\xAF"},
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},
        // An 8-bit CSI byte on its own (not UTF-8) is escaped as a byte.
        {"\x9b"
         "2J",
         "\\x9B2J"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(safeText(c.in), c.out) << c.in;
    }
}

TEST(SafeText, BoundsLengthOnACharacterBoundary) {
    struct Case {
        std::string in;
        std::size_t max;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"abcdef", 6, "abcdef"},
        {"abcdefg", 6, "abcdef…(共 7 字节)"},
        // "王" is three bytes: never cut inside it.
        {"ab王c", 4, "ab…(共 6 字节)"},
        {"ab王c", 5, "ab王…(共 6 字节)"},
        {"\x1b\x1b\x1b", 2, "\\x1B\\x1B…(共 3 字节)"},
        {"abc", 0, "…(共 3 字节)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(safeText(c.in, c.max), c.out) << c.in << " max " << c.max;
    }
    const std::string huge(4 << 20, 'x');
    EXPECT_LT(safeText(huge).size(), 300u);
}

} // namespace
} // namespace quillon::platform
