// test-labels: injection
// Text on a layout the backend does not choose (KDE's fake input, uinput): the keys that type
// it on the session's layout, what it lacks, and the V of Control+V wherever the layout has it.
#include <gtest/gtest.h>

#include "Platform/Input/LayoutText.hpp"

#include <memory>

namespace quillon {
namespace {

using platform::KeyPlace;

platform::LayoutIndex layoutNamed(const char* layout, const char* variant = "") {
    const xkb_rule_names names{nullptr, nullptr, layout, variant, nullptr};
    std::unique_ptr<xkb_context, void (*)(xkb_context*)> context(
        xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref);
    std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS),
        xkb_keymap_unref);
    return keymap ? platform::indexLayout(keymap.get()) : platform::LayoutIndex{};
}

TEST(LayoutText, KeysOfTheLayoutWithShiftWhereNeededAndWhatItLacks) {
    constexpr int kH = 35, kI = 23, kOne = 2, kSpace = 57, kSemicolon = 39, kS = 31, kD = 32;
    struct Case {
        const char* layout;
        const char* variant;
        std::u32string text;
        std::vector<KeyPlace> keys;
        std::size_t missing;
    };
    const Case cases[] = {
        {"us", "", U"Hi!", {{kH, true}, {kI, false}, {kOne, true}}, 0},
        {"us", "", U"é ö", {{kSpace, false}}, 2},
        // The same letters sit elsewhere on another layout.
        {"us", "dvorak", U"so", {{kSemicolon, false}, {kS, false}}, 0},
        {"de", "", U"ö", {{kSemicolon, false}}, 0},
        {"ru", "", U"вa", {{kD, false}}, 1},
        {"us", "", U"", {}, 0},
    };
    std::vector<KeyPlace> keys;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.layout) + "(" + c.variant + ")");
        const auto layout = layoutNamed(c.layout, c.variant);
        ASSERT_FALSE(layout.empty());
        EXPECT_EQ(platform::keysForText(c.text, layout, keys), c.missing);
        EXPECT_EQ(keys, c.keys);
    }
    // Nothing known: every character is missing.
    EXPECT_EQ(platform::keysForText(U"ab", {}, keys), 2u);
    EXPECT_TRUE(keys.empty());
}

TEST(LayoutText, ThePasteKeyIsTheLayoutsPlainV) {
    EXPECT_EQ(platform::pasteKey(layoutNamed("us")), 47);           // KEY_V
    EXPECT_EQ(platform::pasteKey(layoutNamed("us", "dvorak")), 52); // where Dvorak has its v
    EXPECT_EQ(platform::pasteKey(layoutNamed("ru")), 47);           // none: QWERTY's place
    EXPECT_EQ(platform::pasteKey({}), 47);
}

TEST(LayoutText, Utf8OfCodePointsLeavesOutWhatIsNoCharacter) {
    EXPECT_EQ(platform::utf8(U"héllo €😀 中文"), "héllo €😀 中文");
    EXPECT_EQ(platform::utf8(std::u32string{U'a', char32_t(0xD800), U'b', char32_t(0x110000)}),
              "ab");
}

} // namespace
} // namespace quillon
