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
#include "Quillon/Input/InputGate.hpp"

#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

// After gtest: Xlib defines macros that clash with its templates.
#include <X11/XKBlib.h>
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
    // Puts a poster of the test's between the sink and the X11 poster.
    using Wrap = std::function<std::shared_ptr<platform::EventPoster>(
        std::shared_ptr<platform::EventPoster>, InputGate&)>;

    explicit Stack(const XvfbServer& x, Wrap wrap = {})
        : defaults(dir.path() + "/defaults.json"),
          geometry(std::make_shared<platform::X11DisplayGeometry>(x.display(), 50ms)) {
        X11EventPoster::Options o;
        o.display = x.display();
        o.geometry = geometry;
        o.settings = [this] { return platform::readInputSettings(defaults); };
        poster = std::make_shared<X11EventPoster>(o);
        sink = std::make_shared<CGEventSink>(
            wrap ? wrap(poster, *gate) : poster, geometry,
            std::make_shared<platform::X11OverviewOpener>(x.display()), defaults, nullptr, gate);
        injector = std::make_unique<EventInjector>(sink, GestureMapper::defaultMapper(), defaults);
    }
    void handle(const wire::ControlMessage& m) { injector->handle(m); }

    TempDir dir;
    platform::Defaults defaults;
    std::shared_ptr<platform::X11DisplayGeometry> geometry;
    std::shared_ptr<X11EventPoster> poster;
    std::shared_ptr<InputGate> gate = std::make_shared<InputGate>();
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

// Passes events on, and closes the gate once `limit` text chunks have gone through: the screen
// locks in the middle of a long text.
class LockAfterChunks : public platform::EventPoster {
public:
    LockAfterChunks(std::shared_ptr<platform::EventPoster> next, InputGate& gate, int limit)
        : next_(std::move(next)), gate_(gate), limit_(limit) {}
    bool canCreate(const platform::Event& e) override { return next_->canCreate(e); }
    void post(const platform::Event& e) override {
        next_->post(e);
        if (e.type == platform::EventType::keyUp && !e.unicode.empty() && ++chunks_ == limit_) {
            gate_.close();
        }
    }
    void flush() override { next_->flush(); }
    void releaseAll() override { next_->releaseAll(); }

private:
    std::shared_ptr<platform::EventPoster> next_;
    InputGate& gate_;
    int limit_;
    int chunks_ = 0;
};

TEST(X11Injection, ALockInTheMiddleOfALongTextStopsItAfterTheChunkUnderWay) {
    XvfbServer x({.width = 640, .height = 480});
    Stack s(x, [](std::shared_ptr<platform::EventPoster> next, InputGate& gate) {
        return std::make_shared<LockAfterChunks>(std::move(next), gate, 3);
    });
    XInputObserver obs(x.display());
    obs.clear();
    s.handle(cm::TextInput{std::string(2000, 'q')});
    s.poster->sync();
    const auto presses = XInputObserver::only(obs.settle(), Rec::keyPress);
    EXPECT_EQ(presses.size(), 60u); // three chunks of 20, not one character more
    for (const auto& r : presses) {
        EXPECT_EQ(r.keysym, "q");
    }
}

TEST(X11Injection, ANumLockToggledFromTheTabletDoesNotOutliveTheConnection) {
    XvfbServer x({.width = 640, .height = 480});
    Stack s(x);
    XInputObserver obs(x.display(), false);
    const auto locked = [&] {
        XkbStateRec state{};
        XkbGetState(obs.display(), XkbUseCoreKbd, &state);
        return static_cast<unsigned>(state.locked_mods);
    };
    ASSERT_EQ(locked(), 0u);
    s.handle(cm::KeyCombo{0x47, {}});
    s.poster->sync();
    EXPECT_NE(locked(), 0u);
    s.injector->releaseAll(); // what disconnection and the screen lock do
    s.poster->sync();
    EXPECT_EQ(locked(), 0u);
    EXPECT_FALSE(obs.anyKeyDown());
}

} // namespace
} // namespace quillon
