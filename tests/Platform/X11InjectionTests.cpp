// test-labels: x11
// test-timeout: 120
// The whole input path on a real X server: EventInjector -> CGEventSink -> X11EventPoster.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/EventStream/X11Desktop.hpp"
#include "Platform/EventStream/X11EventPoster.hpp"
#include "Platform/EventStream/X11OverviewOpener.hpp"
#include "Quillon/Input/CGEventSink.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

// After gtest: Xlib defines macros that clash with its templates.
#include <X11/Xlib.h>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using platform::X11EventPoster;
using quillon::testing::TempDir;
using quillon::testing::waitUntil;
using quillon::testing::XInputObserver;
using quillon::testing::XvfbServer;
using Rec = XInputObserver::Record;
namespace cm = wire::cm;

// One host input stack against one X server, with its own user defaults.
struct Stack {
    explicit Stack(const XvfbServer& x)
        : defaults(dir.path() + "/defaults.json"),
          geometry(std::make_shared<platform::X11DisplayGeometry>(x.display(), 50ms)) {
        X11EventPoster::Options o;
        o.display = x.display();
        o.geometry = geometry;
        o.settings = [this] { return platform::readInputSettings(defaults); };
        poster = std::make_shared<X11EventPoster>(o);
        sink = std::make_shared<CGEventSink>(
            poster, geometry, std::make_shared<platform::X11OverviewOpener>(x.display()), defaults);
        injector = std::make_unique<EventInjector>(sink, GestureMapper::defaultMapper(), defaults);
    }
    void handle(const wire::ControlMessage& m) { injector->handle(m); }

    TempDir dir;
    platform::Defaults defaults;
    std::shared_ptr<platform::X11DisplayGeometry> geometry;
    std::shared_ptr<X11EventPoster> poster;
    std::shared_ptr<CGEventSink> sink;
    std::unique_ptr<EventInjector> injector;
};

TEST(X11Injection, AbsoluteAndRelativeMovesLandOnThePrimaryMonitorAwayFromTheOrigin) {
    XvfbServer x({.width = 1600, .height = 700});
    x.setMonitors({{"left", 0, 0, 800, 700, false}, {"right", 800, 100, 800, 600, true}});
    Stack s(x);
    XInputObserver obs(x.display(), false);
    ASSERT_EQ(s.sink->screenBounds(), (platform::Rect{0, 0, 800, 600}));

    struct Step {
        wire::ControlMessage message;
        int x, y;
    };
    const Step steps[] = {
        {cm::PointerAbsolute{0.5f, 0.5f, 0}, 1200, 400}, {cm::PointerRelative{10, -20}, 1210, 380},
        {cm::PointerRelative{-0.4f, 0.6f}, 1210, 381},   {cm::PointerAbsolute{0, 0, 0}, 800, 100},
        {cm::PointerRelative{-30, -30}, 800, 100},    // held at the main display's corner
        {cm::PointerAbsolute{1, 1, 0}, 1599, 699},    // the far corner, still on it
        {cm::PointerRelative{5000, 5000}, 1599, 699}, // never onto the other monitor
    };
    for (const auto& step : steps) {
        s.handle(step.message);
        s.poster->sync();
        EXPECT_EQ(obs.pointer().x, step.x) << step.message.description();
        EXPECT_EQ(obs.pointer().y, step.y) << step.message.description();
    }
}

TEST(X11Injection, ReleaseAllLeavesNoButtonOrKeyDown) {
    XvfbServer x({.width = 640, .height = 480});
    Stack s(x);
    XInputObserver obs(x.display(), false);

    s.handle(cm::PointerAbsolute{0.2f, 0.2f, 0});
    s.handle(cm::MouseButton{wire::MouseButton::left, true});
    s.handle(cm::PointerRelative{40, 30});
    s.handle(cm::MouseButton{wire::MouseButton::right, true});
    s.handle(cm::SetStickyModifiers{
        wire::KeyModifiers{wire::KeyModifiers::command, wire::KeyModifiers::shift,
                           wire::KeyModifiers::option, wire::KeyModifiers::control}});
    s.poster->sync();
    EXPECT_TRUE(obs.pointer().mask & Button1Mask);
    EXPECT_TRUE(obs.pointer().mask & Button3Mask);
    EXPECT_TRUE(obs.keyDown("Control_L"));
    EXPECT_TRUE(obs.keyDown("Shift_L"));
    EXPECT_TRUE(obs.keyDown("Alt_L"));

    s.injector->releaseAll();
    s.poster->sync();
    EXPECT_FALSE(obs.anyButtonDown());
    EXPECT_FALSE(obs.anyKeyDown());
}

TEST(X11Injection, ThreeChangedScrollsOfMinusThreeAreTwoWheelClicksDownWithSevenPixelsKept) {
    XvfbServer x({.width = 640, .height = 480});
    Stack s(x);
    s.defaults.set("momentumEnabled", false);
    XInputObserver obs(x.display());
    s.handle(cm::PointerAbsolute{0.5f, 0.5f, 0});
    s.poster->sync();
    obs.clear();

    for (int i = 0; i < 3; ++i) {
        s.handle(cm::Scroll{0, -3, wire::ScrollPhase::changed});
    }
    s.poster->sync();
    const auto rec = obs.settle();
    const auto presses = XInputObserver::only(rec, Rec::buttonPress);
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(presses[0].detail, 5u);
    EXPECT_EQ(presses[1].detail, 5u);
    EXPECT_EQ(XInputObserver::only(rec, Rec::buttonRelease).size(), 2u);
    EXPECT_DOUBLE_EQ(s.poster->scrollRemainder().first, -7);
    EXPECT_DOUBLE_EQ(s.poster->scrollRemainder().second, 0);
}

TEST(X11Injection, SwipesAndShowDesktopReachTheWindowManager) {
    XvfbServer x({.width = 640, .height = 480, .windowManager = true, .desktops = 4});
    Stack s(x);
    testing::XConnection c(x.display());
    const auto current = [&] { return platform::rootCardinal(c, "_NET_CURRENT_DESKTOP"); };
    const auto showing = [&] { return platform::rootCardinal(c, "_NET_SHOWING_DESKTOP"); };

    s.handle(cm::Gesture{wire::TrackpadGesture::threeFingerRight});
    EXPECT_TRUE(waitUntil([&] { return current() == 1; }, 10s));
    s.handle(cm::Gesture{wire::TrackpadGesture::threeFingerRight});
    EXPECT_TRUE(waitUntil([&] { return current() == 2; }, 10s));
    s.handle(cm::Gesture{wire::TrackpadGesture::threeFingerLeft});
    EXPECT_TRUE(waitUntil([&] { return current() == 1; }, 10s));

    s.handle(cm::Gesture{wire::TrackpadGesture::showDesktop});
    EXPECT_TRUE(waitUntil([&] { return showing() == 1; }, 10s));
    s.handle(cm::Gesture{wire::TrackpadGesture::showDesktop});
    EXPECT_TRUE(waitUntil([&] { return showing() == 0; }, 10s));
}

} // namespace
} // namespace quillon
