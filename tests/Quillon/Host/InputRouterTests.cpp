// test-labels: coordinator
#include "Quillon/Host/InputRouter.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace quillon;

namespace {

namespace cm = wire::cm;
using R = InputRoute;

TEST(InputRouterTest, TheRouteOfEachMessage) {
    struct Case {
        wire::ControlMessage message;
        R route;
    };
    const Case cases[] = {
        {cm::PointerAbsolute{0.5F, 0.5F, 0}, R::immediate},
        {cm::PointerRelative{1, 1}, R::immediate},
        {cm::MouseButton{wire::MouseButton::left, true}, R::immediate},
        {cm::Scroll{0, 3, wire::ScrollPhase::changed}, R::immediate},
        {cm::KeyCombo{0, {}}, R::immediate},
        {cm::Gesture{}, R::immediate},
        {cm::Magnify{0.1F, wire::ScrollPhase::changed}, R::immediate},
        {cm::TextInput{std::string(20, 'a')}, R::immediate}, // one piece
        {cm::TextInput{std::string(21, 'a')}, R::pieces},
        {cm::MultiClick{wire::MouseButton::left, 2}, R::mainLane},
        {cm::SetMode{}, R::mainLane},
        {cm::SetStickyModifiers{}, R::mainLane},
        {cm::ListApplications{}, R::request},
        {cm::ActivateApplication{"org.example.App"}, R::request},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(inputRouteOf(c.message), c.route) << c.message.description();
    }
}

TEST(InputRouterTest, TextPiecesEndOnCharacterBoundaries) {
    const std::string han = "\xE6\xB1\x89"; // one character, three bytes
    std::string mixed;
    for (int i = 0; i < 25; ++i) {
        mixed += i % 2 == 0 ? han : "a";
    }
    struct Case {
        const char* name;
        std::string text;
        std::size_t from;
        std::size_t end;
    };
    const Case cases[] = {
        {"empty", "", 0, 0},
        {"shorter than a piece", "hello", 0, 5},
        {"exactly a piece", std::string(20, 'x'), 0, 20},
        {"the first piece of a longer text", std::string(45, 'x'), 0, 20},
        {"the last piece", std::string(45, 'x'), 40, 45},
        {"twenty characters, not twenty bytes", mixed, 0, 10 * 3 + 10},
        {"from a later boundary", mixed, 40, mixed.size()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(textPieceEnd(c.text, c.from), c.end) << c.name;
    }
}

} // namespace
