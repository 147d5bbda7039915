// test-labels: injection
// test-language: zh_CN
#include "InjectionTestSupport.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Quillon/Input/CGEventSink.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Input/GestureMapper.hpp"
#include "Quillon/Input/KeyCode.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <limits>
#include <sstream>
#include <unordered_set>

using namespace quillon;
using namespace quillon::testing;
using platform::EventType;
using platform::Point;
using platform::Rect;
using wire::ControlMessage;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;
using wire::TrackpadGesture;
namespace cm = wire::cm;

namespace {

// A sink that writes down each call as a line of text.
class CallRecordingSink : public EventSink {
public:
    Rect bounds{0, 0, 1440, 900};
    std::vector<std::string> calls;

    Rect screenBounds() const override { return bounds; }
    void moveCursor(Point p) override { log("move", p.x, p.y); }
    void resetButtonState() override { calls.push_back("reset"); }
    void mouseButton(MouseButton b, bool down, Point p) override {
        log(std::string("button ") + wire::caseName(b) + (down ? " down" : " up"), p.x, p.y);
    }
    void multiClick(MouseButton b, std::int64_t n, Point p) override {
        log(std::string("click ") + wire::caseName(b) + " x" + std::to_string(n), p.x, p.y);
    }
    void setModifier(KeyModifiers m, bool down) override {
        calls.push_back("modifier " + std::to_string(m.rawValue) + (down ? " down" : " up"));
    }
    void scroll(double dx, double dy, ScrollPhase ph) override {
        log(std::string("scroll ") + wire::caseName(ph), dx, dy);
    }
    void magnify(double s, ScrollPhase ph) override {
        log(std::string("magnify ") + wire::caseName(ph), s, 0);
    }
    void navigationSwipe(TrackpadGesture g) override {
        calls.push_back(std::string("swipe ") + wire::caseName(g));
    }
    void smartZoom() override { calls.push_back("smartZoom"); }
    void showDesktop() override { calls.push_back("showDesktop"); }
    void keyCombo(std::uint16_t k, KeyModifiers m) override {
        calls.push_back("combo " + std::to_string(k) + " " + std::to_string(m.rawValue));
    }
    void typeText(std::string_view t) override { calls.push_back("text " + std::string(t)); }

    std::vector<std::string> take() { return std::exchange(calls, {}); }

private:
    void log(const std::string& what, double a, double b) {
        std::ostringstream os;
        os << what << " " << a << "," << b;
        calls.push_back(os.str());
    }
};

using Calls = std::vector<std::string>;

class InjectorTest : public ::testing::Test {
protected:
    ScratchDefaults defaults;
    std::shared_ptr<CallRecordingSink> sink = std::make_shared<CallRecordingSink>();
    std::unique_ptr<EventInjector> injector =
        std::make_unique<EventInjector>(sink, GestureMapper::defaultMapper(), *defaults);

    void handle(const ControlMessage& m) { injector->handle(m); }
};

std::vector<std::string> diagLines() {
    std::ifstream in(platform::DiagLog::path());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// --- Values --------------------------------------------------------------------------------

TEST(GestureMapperTest, DefaultTableAndIndependentCopies) {
    const auto& d = GestureMapper::defaultMapper();
    EXPECT_EQ(d.bindings().size(), 7u);
    EXPECT_EQ(d.binding(TrackpadGesture::pinchOut),
              (GestureMapper::Binding{KeyCode::equals, KeyModifiers::command}));
    EXPECT_EQ(d.binding(TrackpadGesture::pinchIn),
              (GestureMapper::Binding{27, KeyModifiers::command}));
    EXPECT_EQ(d.binding(TrackpadGesture::fourFingerPinchIn),
              (GestureMapper::Binding{49, KeyModifiers::command}));
    EXPECT_EQ(d.binding(TrackpadGesture::threeFingerDown),
              (GestureMapper::Binding{125, KeyModifiers::control}));
    EXPECT_FALSE(d.binding(TrackpadGesture::smartZoom));
    EXPECT_FALSE(d.binding(TrackpadGesture::showDesktop));

    GestureMapper copy = d;
    copy.setBinding({1, KeyModifiers::shift}, TrackpadGesture::pinchOut);
    copy.setBinding({2, {}}, TrackpadGesture::smartZoom);
    EXPECT_EQ(copy.binding(TrackpadGesture::pinchOut),
              (GestureMapper::Binding{1, KeyModifiers::shift}));
    EXPECT_EQ(copy.binding(TrackpadGesture::smartZoom), (GestureMapper::Binding{2, {}}));
    EXPECT_EQ(d.binding(TrackpadGesture::pinchOut),
              (GestureMapper::Binding{24, KeyModifiers::command}));
    EXPECT_FALSE(GestureMapper().binding(TrackpadGesture::pinchIn));

    // Equal bindings hash alike; a differing modifier mask makes them unequal.
    std::unordered_set<GestureMapper::Binding> set{
        {24, KeyModifiers::command}, {24, KeyModifiers::command}, {24, KeyModifiers::control}};
    EXPECT_EQ(set.size(), 2u);
}

TEST(PressedInputSetTest, DrainsButtonsFirstThenModifierMasksInAscendingOrder) {
    PressedInputSet set;
    EXPECT_TRUE(set.press(PressedInput::modifier(KeyModifiers(std::uint16_t{0x0100}))));
    EXPECT_TRUE(set.press(PressedInput::modifier(KeyModifiers::control)));
    EXPECT_TRUE(set.press(PressedInput::mouse(MouseButton::middle)));
    EXPECT_TRUE(set.press(PressedInput::modifier(KeyModifiers::command | KeyModifiers::shift)));
    EXPECT_TRUE(set.press(PressedInput::mouse(MouseButton::left)));
    EXPECT_FALSE(set.press(PressedInput::mouse(MouseButton::left)));
    EXPECT_FALSE(set.release(PressedInput::mouse(MouseButton::right)));
    // A mask is one element: a single bit of a held group is not "held".
    EXPECT_FALSE(set.contains(PressedInput::modifier(KeyModifiers::command)));
    EXPECT_EQ(set.count(), 5u);

    const auto drained = set.drainAll();
    const std::vector<PressedInput> expected = {
        PressedInput::mouse(MouseButton::left), PressedInput::mouse(MouseButton::middle),
        PressedInput::modifier(KeyModifiers::command | KeyModifiers::shift),
        PressedInput::modifier(KeyModifiers::control),
        PressedInput::modifier(KeyModifiers(std::uint16_t{0x0100}))};
    EXPECT_EQ(drained, expected);
    EXPECT_TRUE(set.isEmpty());
    EXPECT_TRUE(set.drainAll().empty());

    // Hashing tells a button from a modifier mask with the same raw value.
    std::unordered_set<PressedInput> hashed{PressedInput::mouse(MouseButton::right),
                                            PressedInput::modifier(KeyModifiers::command),
                                            PressedInput::mouse(MouseButton::right)};
    EXPECT_EQ(hashed.size(), 2u);
}

// --- Pointer -------------------------------------------------------------------------------

TEST_F(InjectorTest, CursorStartsAtTheCentreOfTheScreenBounds) {
    auto offset = std::make_shared<CallRecordingSink>();
    offset->bounds = {100, 50, 800, 600};
    EventInjector other(offset, GestureMapper(), *defaults);
    EXPECT_EQ(other.currentCursor(), (Point{500, 350}));
    EXPECT_EQ(injector->currentCursor(), (Point{720, 450}));
}

TEST_F(InjectorTest, AbsolutePositionsAreClampedToTheScreen) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float x, y;
        Point want;
    };
    sink->bounds = {100, 50, 1440, 900};
    const std::vector<Case> cases = {
        {0.5f, 0.5f, {820, 500}},   {-0.2f, 0.5f, {100, 500}}, {1.0f, 1.0f, {1540, 950}},
        {7.0f, 0.0f, {1540, 50}},   {inf, -inf, {1540, 50}},   {-inf, inf, {100, 950}},
        {0.25f, 2e30f, {460, 950}},
    };
    for (const auto& c : cases) {
        handle(cm::PointerAbsolute{c.x, c.y, 0.7f});
        EXPECT_EQ(injector->currentCursor(), c.want) << c.x << "," << c.y;
    }
    EXPECT_EQ(sink->take().size(), cases.size());

    // A NaN coordinate says nothing about where to go: the message is dropped.
    handle(cm::PointerAbsolute{std::nanf(""), 0.5f, 0});
    handle(cm::PointerAbsolute{0.5f, std::nanf(""), 0});
    EXPECT_TRUE(sink->take().empty());
    EXPECT_EQ(injector->currentCursor(), cases.back().want);
}

TEST_F(InjectorTest, RelativeMovesStopAtTheEdgeAndContinueFromIt) {
    handle(cm::PointerRelative{-1000, 10});
    handle(cm::PointerRelative{5, 0}); // from the edge, not from the unreached -280
    handle(cm::PointerRelative{0, 1e30f});
    handle(cm::PointerRelative{std::numeric_limits<float>::infinity(), -5});
    handle(cm::PointerRelative{std::nanf(""), 1});  // dropped
    handle(cm::PointerRelative{1, -std::nanf("")}); // dropped
    EXPECT_EQ(sink->take(), (Calls{"move 0,460", "move 5,460", "move 5,900", "move 1440,895"}));
    EXPECT_EQ(injector->currentCursor(), (Point{1440, 895}));
}

TEST_F(InjectorTest, BoundsAreReadFreshOnEveryMessage) {
    sink->bounds = {0, 0, 100, 100};
    handle(cm::PointerRelative{0, 0}); // (720, 450) clamps into the new bounds
    sink->bounds = {-200, 0, 100, 100};
    handle(cm::PointerAbsolute{0, 1, 0});
    EXPECT_EQ(sink->take(), (Calls{"move 100,100", "move -200,100"}));
}

// --- Buttons, clicks, keys ---------------------------------------------------------------------

TEST_F(InjectorTest, DuplicatePressesAndReleasesOfUnheldButtonsPostNothing) {
    handle(cm::MouseButton{MouseButton::left, true});
    handle(cm::MouseButton{MouseButton::left, true});
    handle(cm::MouseButton{MouseButton::right, false});
    handle(cm::PointerRelative{10, 0});
    handle(cm::MouseButton{MouseButton::left, false});
    handle(cm::MouseButton{MouseButton::left, false});
    EXPECT_EQ(sink->take(),
              (Calls{"button left down 720,450", "move 730,450", "button left up 730,450"}));
}

TEST_F(InjectorTest, MultiClickLeavesThePressedSetAlone) {
    handle(cm::MultiClick{MouseButton::right, 2});
    handle(cm::MultiClick{MouseButton::left, 0});
    injector->releaseAll();
    EXPECT_EQ(sink->take(), (Calls{"click right x2 720,450", "click left x0 720,450", "reset"}));
}

TEST_F(InjectorTest, KeysTextScrollAndMagnifyPassStraightThrough) {
    handle(cm::SetStickyModifiers{KeyModifiers::shift});
    handle(cm::KeyCombo{8, KeyModifiers::command}); // sticky modifiers are not merged in
    handle(cm::TextInput{"héllo"});
    handle(cm::Scroll{1.5f, -3, ScrollPhase::momentum});
    handle(cm::Magnify{0.25f, ScrollPhase::ended});
    EXPECT_EQ(sink->take(), (Calls{"modifier 2 down", "combo 8 1", "text héllo",
                                   "scroll momentum 1.5,-3", "magnify ended 0.25,0"}));
}

// --- Sticky modifiers and releasing ---------------------------------------------------------

TEST_F(InjectorTest, StickyModifiersLatchAndUnlatchByDifference) {
    const auto cmdShift = KeyModifiers::command | KeyModifiers::shift;
    handle(cm::SetStickyModifiers{cmdShift});
    handle(cm::SetStickyModifiers{cmdShift}); // already latched: nothing
    handle(cm::SetStickyModifiers{KeyModifiers::command});
    EXPECT_EQ(sink->take(), (Calls{"modifier 3 down", "modifier 2 up"}));

    // The pressed set still holds the two-bit group; the sticky mask holds command.
    injector->releaseAll();
    EXPECT_EQ(sink->take(), (Calls{"modifier 3 up", "modifier 1 up", "reset"}));

    // Swapping one latched modifier for another releases, then presses; an exact element
    // is removed from the pressed set on release.
    handle(cm::SetStickyModifiers{KeyModifiers::option});
    handle(cm::SetStickyModifiers{KeyModifiers::control});
    handle(cm::SetStickyModifiers{{}});
    injector->releaseAll();
    EXPECT_EQ(sink->take(), (Calls{"modifier 4 down", "modifier 4 up", "modifier 8 down",
                                   "modifier 8 up", "reset"}));
}

TEST_F(InjectorTest, ReleaseAllReleasesButtonsThenModifiersTwiceForTheStickyGroup) {
    // Against the real sink: exact events.
    auto poster = std::make_shared<platform::RecordingPoster>();
    auto geometry =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 1440, 900});
    auto clock = std::make_shared<platform::ManualScheduler>();
    auto cg = std::make_shared<CGEventSink>(poster, geometry, nullptr, *defaults, clock);
    EventInjector real(cg, GestureMapper::defaultMapper(), *defaults);

    real.handle(cm::MouseButton{MouseButton::right, true});
    real.handle(cm::MouseButton{MouseButton::left, true});
    real.handle(cm::SetStickyModifiers{KeyModifiers::control});
    real.handle(cm::PointerRelative{3, 4});
    poster->clear();
    real.releaseAll();
    EXPECT_TRUE(
        postedExactly(poster->take(), {mouse(EventType::leftMouseUp, {723, 454}, 0, 0x40000),
                                       mouse(EventType::rightMouseUp, {723, 454}, 1, 0x40000),
                                       key(59, false), key(59, false)}));
    EXPECT_TRUE(cg->activeModifiers().isEmpty());
    EXPECT_EQ(real.currentCursor(), (Point{723, 454}));

    // Everything was reset: the next move is a plain move without deltas.
    real.releaseAll();
    real.handle(cm::PointerRelative{1, 0});
    EXPECT_TRUE(postedExactly(poster->take(), {mouse(EventType::mouseMoved, {724, 454}, 0)}));
}

// --- Gestures ------------------------------------------------------------------------------

TEST_F(InjectorTest, GesturesRouteToTheSinkOrThroughTheMapper) {
    for (auto g : wire::allCases<TrackpadGesture>()) {
        handle(cm::Gesture{g});
    }
    EXPECT_EQ(sink->take(), (Calls{"swipe threeFingerUp", "swipe threeFingerDown",
                                   "swipe threeFingerLeft", "swipe threeFingerRight", "combo 27 1",
                                   "combo 24 1", "combo 49 1", "smartZoom", "showDesktop"}));

    defaults->set("disablePinch", true);
    for (auto g : wire::allCases<TrackpadGesture>()) {
        handle(cm::Gesture{g});
    }
    EXPECT_EQ(sink->take(),
              (Calls{"swipe threeFingerUp", "swipe threeFingerDown", "swipe threeFingerLeft",
                     "swipe threeFingerRight", "combo 49 1", "smartZoom", "showDesktop"}));

    defaults->set("disablePinch", "yes"); // not a boolean: pinches stay enabled
    handle(cm::Gesture{TrackpadGesture::pinchIn});
    EXPECT_EQ(sink->take(), (Calls{"combo 27 1"}));
}

TEST_F(InjectorTest, AMapperWithoutBindingsMakesPinchesDoNothing) {
    GestureMapper custom;
    custom.setBinding({KeyCode::space, KeyModifiers::option}, TrackpadGesture::smartZoom);
    custom.setBinding({1, {}}, TrackpadGesture::threeFingerUp);
    EventInjector empty(sink, GestureMapper(), *defaults);
    EventInjector remapped(sink, custom, *defaults);
    for (auto g : {TrackpadGesture::pinchIn, TrackpadGesture::pinchOut,
                   TrackpadGesture::fourFingerPinchIn}) {
        empty.handle(cm::Gesture{g});
        remapped.handle(cm::Gesture{g});
    }
    // Smart zoom and the swipes never consult the mapper.
    remapped.handle(cm::Gesture{TrackpadGesture::smartZoom});
    remapped.handle(cm::Gesture{TrackpadGesture::threeFingerUp});
    EXPECT_EQ(sink->take(), (Calls{"smartZoom", "swipe threeFingerUp"}));
}

// --- Other messages --------------------------------------------------------------------------

TEST_F(InjectorTest, ForeignMessagesAreIgnoredAndCatalogueMessagesAreLoggedOnce) {
    const auto before = diagLines().size();
    handle(cm::SetMode{wire::OperatingMode::remoteDesktop});
    handle(cm::Heartbeat{});
    handle(cm::Hello{"id", {1, 2}, "iPad", 2});
    handle(cm::HeartbeatAck{});
    handle(cm::HelloAck{1, 2, 2.0f});
    handle(cm::Error{500, "x"});
    EXPECT_TRUE(sink->take().empty());
    EXPECT_EQ(diagLines().size(), before);

    handle(cm::ListApplications{});
    EXPECT_TRUE(sink->take().empty());
    const auto lines = diagLines();
    ASSERT_EQ(lines.size(), before + 1);
    const std::string expected = "【异常】EventInjector 收到本该被 HostCoordinator 分流走的消息：" +
                                 ControlMessage(cm::ListApplications{}).description() +
                                 "——请检查 receive(_:from:) 的路由是否被改动";
    EXPECT_NE(lines.back().find(expected), std::string::npos) << lines.back();
    EXPECT_EQ(lines.back().size() - lines.back().find(expected), expected.size());

    handle(cm::ActivateApplication{"org.example.Editor"});
    handle(cm::ApplicationList{});
    const auto more = diagLines();
    ASSERT_EQ(more.size(), before + 3);
    EXPECT_NE(more.back().find("applicationList"), std::string::npos);
    EXPECT_NE(more[more.size() - 2].find("org.example.Editor"), std::string::npos);
    EXPECT_TRUE(sink->take().empty());
}

// --- Probes --------------------------------------------------------------------------------

TEST_F(InjectorTest, ProbesDoNothingForOtherSinks) {
    injector->probeMagnify();
    injector->resetScrollStats();
    EXPECT_EQ(injector->scrollStats(), (std::pair<double, double>{0, 0}));
    EXPECT_TRUE(sink->take().empty());
}

TEST_F(InjectorTest, ScrollProbeRunsInTheBackgroundAndFeedsTheStatistics) {
    auto poster = std::make_shared<platform::RecordingPoster>();
    auto geometry = std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 10, 10});
    auto clock = std::make_shared<platform::ManualScheduler>();
    auto cg = std::make_shared<CGEventSink>(poster, geometry, nullptr, *defaults, clock);
    EventInjector real(cg, GestureMapper::defaultMapper(), *defaults);
    real.handle(cm::Scroll{0, 5, ScrollPhase::changed});
    real.resetScrollStats();
    EXPECT_EQ(real.scrollStats(), (std::pair<double, double>{0, 0}));
    poster->clear();

    std::promise<std::thread::id> done;
    real.probeScroll(true, [&] { done.set_value(std::this_thread::get_id()); });
    auto finished = done.get_future();
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NE(finished.get(), std::this_thread::get_id());

    // 20 changes of -3 points at gain 3.
    EXPECT_EQ(real.scrollStats(), (std::pair<double, double>{180, 3}));
    std::vector<Event> expected = {scrollWheel(128, 0, 0),
                                   gestureScroll(2, 0, 0),
                                   scrollWheel(1, 0, 0),
                                   gestureScroll(128, 0, 0),
                                   series(61),
                                   gestureScroll(1, 0, 0)};
    for (int i = 0; i < 20; ++i) {
        expected.push_back(scrollWheel(2, -9, 0));
        expected.push_back(gestureScroll(2, 0, -9));
    }
    expected.push_back(scrollWheel(4, 0, 0));
    expected.push_back(gestureScroll(4, 0, 0));
    expected.push_back(series(62));
    EXPECT_TRUE(postedExactly(poster->take(), expected));
    EXPECT_TRUE(cg->momentumRunning()); // the flick ends in momentum like any other

    real.probeMagnify();
    EXPECT_EQ(poster->take().size(), 14u);
}

TEST_F(InjectorTest, ScrollProbeWithoutCompletionKeepsTheSinkAliveUntilItEnds) {
    auto poster = std::make_shared<platform::RecordingPoster>();
    auto geometry = std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 10, 10});
    std::weak_ptr<CGEventSink> watch;
    {
        auto cg = std::make_shared<CGEventSink>(poster, geometry, nullptr, *defaults);
        watch = cg;
        EventInjector real(cg, GestureMapper(), *defaults);
        real.probeScroll(true);
    } // injector and our sink reference gone; the probe still runs
    EXPECT_TRUE(eventually([&] { return watch.expired(); }));
    EXPECT_GE(poster->count(), 49u); // began (6), 20 changes (40), ended (3)
}

} // namespace
