// test-labels: injection
// test-language: zh_CN
// What each control message becomes in the Linux verbs: the injector over a recording backend,
// every verb checked and nothing else emitted; then what it keeps between messages (held
// inputs, momentum, statistics) and the lock gate.
#include "InjectionTestSupport.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Quillon/Input/HeldInputs.hpp"
#include "Quillon/Input/ScrollMomentum.hpp"
#include "WireProtocol/KeyCodes.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <unordered_set>
#include <vector>

using namespace quillon;
using namespace quillon::testing;
using platform::DesktopAction;
using platform::Point;
using wire::ControlMessage;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;
using wire::TrackpadGesture;
namespace cm = wire::cm;
namespace KeyCode = wire::KeyCode;
using namespace std::chrono_literals;

namespace {

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

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

TEST(KeyCodesTest, WireKeysMapToLinuxKeysAndCommandFollowsItsRole) {
    using wire::CommandKeyRole;
    struct Case {
        std::uint16_t key;
        CommandKeyRole role;
        std::optional<int> evdev;
    };
    const Case cases[] = {
        {0, CommandKeyRole::control, 30},                     // a
        {KeyCode::command, CommandKeyRole::control, 29},      // left Control
        {KeyCode::command, CommandKeyRole::super, 125},       // left Super
        {KeyCode::rightCommand, CommandKeyRole::super, 126},  // right Super
        {KeyCode::rightCommand, CommandKeyRole::control, 97}, // right Control
        {KeyCode::option, CommandKeyRole::control, 56},       // left Alt
        {KeyCode::keypadClear, CommandKeyRole::control, 69},  // Num Lock
        {KeyCode::f11, CommandKeyRole::control, 87},
        {10, CommandKeyRole::control, 86},  // ISO section: KEY_102ND
        {93, CommandKeyRole::control, 124}, // JIS Yen
        {KeyCode::function, CommandKeyRole::control, std::nullopt},
        {127, CommandKeyRole::control, std::nullopt},
        {0xFFFF, CommandKeyRole::control, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wire::evdevKeyFor(c.key, c.role), c.evdev) << c.key;
    }
}

TEST(HeldInputsTest, CountsKeysSetsButtonsAndReleasesEverythingOnce) {
    platform::RecordingInputBackend backend;
    HeldInputs held;
    EXPECT_TRUE(held.pressKey(29));
    EXPECT_FALSE(held.pressKey(29)); // Command and Control both as Control
    EXPECT_FALSE(held.releaseKey(29));
    EXPECT_TRUE(held.keyHeld(29));
    EXPECT_TRUE(held.pressButton(platform::PointerButton::right));
    EXPECT_FALSE(held.pressButton(platform::PointerButton::right));
    EXPECT_FALSE(held.releaseButton(platform::PointerButton::middle));
    EXPECT_TRUE(held.pressButton(platform::PointerButton::left));
    EXPECT_TRUE(held.pressKey(69)); // Num Lock toggled once
    EXPECT_TRUE(held.releaseKey(69));
    EXPECT_FALSE(held.pressKey(-1));
    EXPECT_FALSE(held.pressKey(4096));
    held.setSticky(KeyModifiers::command);
    EXPECT_FALSE(held.isEmpty());

    held.releaseAll(backend);
    EXPECT_EQ(backend.take(), (Verbs{"button(272,up)", "button(273,up)", "key(29,up)",
                                     "key(69,down)", "key(69,up)"}));
    EXPECT_TRUE(held.isEmpty());
    held.releaseAll(backend);
    EXPECT_TRUE(backend.take().empty());
}

TEST(ScrollMomentumTest, TicksComeDueAtTheirTimesAndALateCallCatchesUp) {
    ScrollMomentum m;
    for (int i = 0; i < 4; ++i) {
        m.record(0, -9);
    }
    ASSERT_TRUE(m.start(0ns));
    std::vector<ScrollMomentum::Tick> ticks;
    const auto emit = [&](const ScrollMomentum::Tick& t) { ticks.push_back(t); };
    EXPECT_EQ(m.advance(7ms, 0.955, emit), 0u);
    EXPECT_EQ(m.advance(8ms, 0.955, emit), 1u);
    // Three intervals later: three ticks at once, in order.
    EXPECT_EQ(m.advance(8ms + 3 * ScrollMomentum::kInterval, 0.955, emit), 3u);
    ASSERT_EQ(ticks.size(), 4u);
    EXPECT_EQ(ticks[0], (ScrollMomentum::Tick{0, -9, ScrollMomentum::Phase::begin}));
    EXPECT_EQ(ticks[1].phase, ScrollMomentum::Phase::proceed);
    m.stop();
    EXPECT_EQ(m.advance(1h, 0.955, emit), 0u);

    // Too slow a flick, and nothing recorded, start nothing.
    m.record(1, -1);
    EXPECT_FALSE(m.start(0ns));
    EXPECT_FALSE(m.start(0ns));
    EXPECT_FALSE(m.running());
}

// --- Messages into verbs -------------------------------------------------------------------

TEST(EventInjector, EachMessageBecomesExactlyTheseVerbs) {
    struct Case {
        const char* name;
        std::function<void(InjectorRig&)> setup; // settings, before the messages
        std::vector<ControlMessage> messages;
        Verbs verbs;
    };
    const auto none = [](InjectorRig&) {};
    const auto noMomentum = [](InjectorRig& r) { r.defaults->set("momentumEnabled", false); };
    const Case cases[] = {
        // Pointer.
        {"absolute points land on the 1440x900 bounds, clamped, NaN dropped",
         none,
         {cm::PointerAbsolute{0.5f, 0.5f, 0}, cm::PointerAbsolute{-0.2f, 1.0f, 0},
          cm::PointerAbsolute{7, 0.25f, 0}, cm::PointerAbsolute{NAN, 0.5f, 0}},
         {"moveTo(720,450)", "moveTo(0,900)", "moveTo(1440,225)"}},
        {"relative moves stop at the edge and go on from it",
         none,
         {cm::PointerRelative{-10000, 0}, cm::PointerRelative{5, 5},
          cm::PointerRelative{NAN, 1}, cm::PointerRelative{INFINITY, -INFINITY}},
         {"moveTo(0,450)", "moveTo(5,455)", "moveTo(1440,0)"}},
        {"a press, a drag and a release: moves while held are drags",
         none,
         {cm::PointerAbsolute{0.5f, 0.5f, 0}, cm::MouseButton{MouseButton::left, true},
          cm::PointerRelative{5.5f, 1}, cm::MouseButton{MouseButton::left, false}},
         {"moveTo(720,450)", "moveTo(720,450)", "button(272,down)", "moveTo(725.5,451)",
          "moveTo(725.5,451)", "button(272,up)"}},
        {"a second press of a held button and a release of one not held: nothing",
         none,
         {cm::MouseButton{MouseButton::right, true}, cm::MouseButton{MouseButton::right, true},
          cm::MouseButton{MouseButton::middle, false}},
         {"moveTo(720,450)", "button(273,down)"}},
        {"multi-clicks: n pairs at the cursor, a count of 0 is one click",
         none,
         {cm::MultiClick{MouseButton::right, 2}, cm::MultiClick{MouseButton::middle, 0}},
         {"moveTo(720,450)", "button(273,down)", "button(273,up)", "button(273,down)",
          "button(273,up)", "moveTo(720,450)", "button(274,down)", "button(274,up)"}},
        {"a multi-click of a held button ends the hold: a later release is nothing",
         none,
         {cm::MouseButton{MouseButton::left, true}, cm::MultiClick{MouseButton::left, 2},
          cm::MouseButton{MouseButton::left, false}},
         {"moveTo(720,450)", "button(272,down)", "moveTo(720,450)", "button(272,up)",
          "button(272,down)", "button(272,up)"}},
        // Keys.
        {"Command-C is Control-C", none, {cm::KeyCombo{8, KeyModifiers::command}},
         {"key(29,down)", "key(46,down)", "key(46,up)", "key(29,up)"}},
        {"Command and Control share one Control, pressed and released once",
         none,
         {cm::KeyCombo{8, KeyModifiers::command | KeyModifiers::control | KeyModifiers::shift}},
         {"key(29,down)", "key(42,down)", "key(46,down)", "key(46,up)", "key(42,up)",
          "key(29,up)"}},
        {"Command as Super", [](InjectorRig& r) { r.defaults->set("commandKey", "super"); },
         {cm::KeyCombo{8, KeyModifiers::command}},
         {"key(125,down)", "key(46,down)", "key(46,up)", "key(125,up)"}},
        {"plain F11 shows the desktop, Shift-F11 is a key",
         none,
         {cm::KeyCombo{KeyCode::f11, {}}, cm::KeyCombo{KeyCode::f11, KeyModifiers::shift}},
         {"desktop(toggleShowDesktop)", "key(42,down)", "key(87,down)", "key(87,up)",
          "key(42,up)"}},
        {"fn has no Linux key: nothing, not even its modifiers",
         none,
         {cm::KeyCombo{KeyCode::function, KeyModifiers::shift}},
         {}},
        // Sticky modifiers.
        {"sticky modifiers latch and unlatch by difference; keys meanwhile keep them",
         none,
         {cm::SetStickyModifiers{KeyModifiers::command | KeyModifiers::shift},
          cm::SetStickyModifiers{KeyModifiers::command | KeyModifiers::shift},
          cm::KeyCombo{0, KeyModifiers::shift}, cm::SetStickyModifiers{KeyModifiers::command},
          cm::SetStickyModifiers{KeyModifiers::option}},
         {"key(29,down)", "key(42,down)", "key(30,down)", "key(30,up)", "key(42,up)",
          "key(29,up)", "key(56,down)"}},
        // Text.
        {"text: line breaks and tabs are keys, CR LF is one",
         none,
         {cm::TextInput{"h\xC3\xA9llo\r\nw\rx\ny\t"}},
         {"text(hU+00E9llo)", "key(28,down)", "key(28,up)", "text(w)", "key(28,down)",
          "key(28,up)", "text(x)", "key(28,down)", "key(28,up)", "text(y)", "key(15,down)",
          "key(15,up)"}},
        {"text: a CR at the end of one message and an LF at the start of the next are one break",
         none,
         {cm::TextInput{"a\r"}, cm::TextInput{"\nb"}},
         {"text(a)", "key(28,down)", "key(28,up)", "text(b)"}},
        {"text: runs of 20 characters, characters beyond the BMP whole",
         none,
         {cm::TextInput{repeat('a', 19) + "\xF0\x9F\x98\x80" + "bc"}},
         {"text(" + repeat('a', 19) + "U+1F600)", "text(bc)"}},
        {"text: control characters, non-characters and bad UTF-8",
         none,
         {cm::TextInput{"a\x01"
                        "b\xEF\xBF\xBE"
                        "c\x7F\xC2\x85\xFF"
                        "d"}},
         {"text(abcU+FFFDd)"}},
        {"text is typed without the modifier keys held; a line break too",
         none,
         {cm::SetStickyModifiers{KeyModifiers::command}, cm::TextInput{"a\nb"}},
         {"key(29,down)", "key(29,up)", "text(a)", "key(28,down)", "key(28,up)", "text(b)",
          "key(29,down)"}},
        // Scrolling.
        {"scroll phases: pixels at gain 3 become 12 units per pixel, both axes",
         noMomentum,
         {cm::Scroll{0, 0, ScrollPhase::began}, cm::Scroll{0, -3, ScrollPhase::changed},
          cm::Scroll{2, 1, ScrollPhase::momentum}, cm::Scroll{9, 9, ScrollPhase::ended}},
         {"wheel(-108,0)", "wheel(36,-72)"}},
        {"scroll: a fraction of a unit waits for the next message",
         [](InjectorRig& r) {
             r.defaults->set("momentumEnabled", false);
             r.defaults->set("scrollPixelsPerClick", 7);
         },
         {cm::Scroll{0, 1, ScrollPhase::changed}, cm::Scroll{0, 1, ScrollPhase::changed}},
         {"wheel(51,0)", "wheel(51,0)"}},
        {"scroll: gain and inversion from the defaults; a gain of 0 or below is 3",
         [](InjectorRig& r) {
             r.defaults->set("momentumEnabled", false);
             r.defaults->set("scrollGain", 1.5);
             r.defaults->set("invertScrollY", true);
             r.defaults->set("invertScrollX", "yes"); // the wrong type reads as off
         },
         {cm::Scroll{1, 1, ScrollPhase::changed}},
         {"wheel(-24,-24)"}}, // 1.5 rounds to 2 points; inverted vertically only
        {"scroll: absurd and non-finite deltas are capped or nothing",
         noMomentum,
         {cm::Scroll{0, -1e30f, ScrollPhase::changed}, cm::Scroll{0, -1, ScrollPhase::changed},
          cm::Scroll{NAN, INFINITY, ScrollPhase::changed}},
         {"wheel(-12000,0)", "wheel(-36,0)"}},
        // Zoom.
        {"pinch: Control + wheel clicks per 0.1, the remainder kept within the pinch",
         none,
         {cm::Magnify{0, ScrollPhase::began}, cm::Magnify{0.25f, ScrollPhase::changed},
          cm::Magnify{-0.15f, ScrollPhase::changed}, cm::Magnify{0.05f, ScrollPhase::changed},
          cm::Magnify{0.06f, ScrollPhase::began}, cm::Magnify{0.03f, ScrollPhase::changed},
          cm::Magnify{NAN, ScrollPhase::changed}},
         {"key(29,down)", "wheel(240,0)", "key(29,up)", "key(29,down)", "wheel(-120,0)",
          "key(29,up)"}},
        {"a zoom with Control latched keeps Control down",
         none,
         {cm::SetStickyModifiers{KeyModifiers::control}, cm::Magnify{0.1f, ScrollPhase::changed}},
         {"key(29,down)", "wheel(120,0)"}},
        // Gestures.
        {"swipes: overview (Super), Control-Down, workspaces; show desktop; smart zoom nothing",
         none,
         {cm::Gesture{TrackpadGesture::threeFingerUp}, cm::Gesture{TrackpadGesture::threeFingerDown},
          cm::Gesture{TrackpadGesture::threeFingerLeft},
          cm::Gesture{TrackpadGesture::threeFingerRight}, cm::Gesture{TrackpadGesture::showDesktop},
          cm::Gesture{TrackpadGesture::smartZoom}},
         {"key(125,down)", "key(125,up)", "key(29,down)", "key(108,down)", "key(108,up)",
          "key(29,up)", "desktop(workspaceLeft)", "desktop(workspaceRight)",
          "desktop(toggleShowDesktop)"}},
        {"the overview follows \"overviewKey\"; a key the tablet holds is left alone",
         [](InjectorRig& r) { r.defaults->set("overviewKey", "Control+Alt+Up"); },
         {cm::Gesture{TrackpadGesture::threeFingerUp},
          cm::SetStickyModifiers{KeyModifiers::option},
          cm::Gesture{TrackpadGesture::threeFingerUp}},
         {"key(29,down)", "key(56,down)", "key(103,down)", "key(103,up)", "key(56,up)",
          "key(29,up)", "key(56,down)"}},
        {"an overview combination that is no combination presses nothing",
         [](InjectorRig& r) { r.defaults->set("overviewKey", "Super+NoSuchKey"); },
         {cm::Gesture{TrackpadGesture::threeFingerUp}},
         {}},
        {"pinches go through the mapper as Control combinations",
         none,
         {cm::Gesture{TrackpadGesture::pinchOut}, cm::Gesture{TrackpadGesture::fourFingerPinchIn}},
         {"key(29,down)", "key(13,down)", "key(13,up)", "key(29,up)", "key(29,down)",
          "key(57,down)", "key(57,up)", "key(29,up)"}},
        {"\"disablePinch\" silences pinches but not the four-finger pinch",
         [](InjectorRig& r) { r.defaults->set("disablePinch", true); },
         {cm::Gesture{TrackpadGesture::pinchIn}, cm::Gesture{TrackpadGesture::fourFingerPinchIn}},
         {"key(29,down)", "key(57,down)", "key(57,up)", "key(29,up)"}},
        // Messages of other parts of the host.
        {"modes, heartbeats and hellos are no input",
         none,
         {cm::SetMode{wire::OperatingMode::remoteDesktop}, cm::Heartbeat{},
          cm::Hello{"id", {1, 2}, "iPad", 2}, cm::HeartbeatAck{}, cm::Error{500, "x"}},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InjectorRig rig;
        c.setup(rig);
        for (const auto& m : c.messages) {
            rig.handle(m);
        }
        EXPECT_EQ(rig.take(), c.verbs);
        EXPECT_EQ(rig.clock->pendingCount(), 0u);
    }
}

TEST(EventInjector, DesktopActionsWithoutMeansOfTheirOwnPressTheDesktopsShortcut) {
    // GNOME's way: workspaces by Super+Page Down / Page Up, nothing for showing the desktop.
    auto backend = std::make_shared<HookedBackend>(std::map<DesktopAction, std::vector<int>>{
        {DesktopAction::workspaceRight, {125, 109}}, {DesktopAction::workspaceLeft, {125, 104}}});
    InjectorRig rig(backend);
    rig.defaults->set("commandKey", "super");
    rig.handle(cm::Gesture{TrackpadGesture::threeFingerRight});
    rig.handle(cm::Gesture{TrackpadGesture::showDesktop});
    rig.handle(cm::SetStickyModifiers{KeyModifiers::command}); // Super, latched
    rig.handle(cm::Gesture{TrackpadGesture::threeFingerLeft}); // Super is held: left alone
    EXPECT_EQ(rig.take(), (Verbs{"key(125,down)", "key(109,down)", "key(109,up)", "key(125,up)",
                                 "key(125,down)"}));
}

TEST(EventInjector, OneFlushPerMessageOrPerBurst) {
    InjectorRig rig;
    for (int i = 0; i < 3; ++i) {
        rig.injector->handle(cm::PointerAbsolute{0.1f * i, 0, 0}, EventInjector::Flush::later);
    }
    EXPECT_EQ(rig.backend->flushCount(), 0u);
    rig.injector->handle(cm::TextInput{"ab"});
    EXPECT_EQ(rig.backend->flushCount(), 1u);
    rig.handle(cm::KeyCombo{0, {}});
    EXPECT_EQ(rig.backend->flushCount(), 2u);
    rig.injector->handle(cm::PointerRelative{1, 1}, EventInjector::Flush::later);
    rig.injector->flush();
    EXPECT_EQ(rig.backend->flushCount(), 3u);
}

// --- Held inputs ---------------------------------------------------------------------------

TEST(EventInjector, ReleaseAllLetsGoOfButtonsKeysStickyModifiersAndLockToggles) {
    InjectorRig rig;
    rig.handle(cm::MouseButton{MouseButton::left, true});
    rig.handle(cm::MouseButton{MouseButton::right, true});
    rig.handle(cm::SetStickyModifiers{KeyModifiers::control | KeyModifiers::shift});
    rig.handle(cm::KeyCombo{KeyCode::keypadClear, {}}); // Num Lock, toggled once
    rig.handle(cm::KeyCombo{KeyCode::capsLock, {}});
    rig.handle(cm::KeyCombo{KeyCode::capsLock, {}}); // toggled back: an even count
    rig.take();
    const Point cursor = rig.injector->currentCursor();

    rig.injector->releaseAll();
    EXPECT_EQ(rig.take(), (Verbs{"button(272,up)", "button(273,up)", "key(29,up)", "key(42,up)",
                                 "key(69,down)", "key(69,up)"}));
    EXPECT_TRUE(rig.injector->holdsNothing());
    EXPECT_EQ(rig.injector->stickyModifiers(), KeyModifiers{});
    EXPECT_EQ(rig.injector->currentCursor(), cursor);
    // A second releaseAll has nothing to do; a release from the tablet now is nothing either.
    rig.injector->releaseAll();
    rig.handle(cm::MouseButton{MouseButton::left, false});
    rig.handle(cm::SetStickyModifiers{});
    EXPECT_TRUE(rig.take().empty());
}

TEST(EventInjector, AReplacedDisplayServerTakesWhatWasHeldWithIt) {
    InjectorRig rig;
    rig.handle(cm::SetStickyModifiers{KeyModifiers::command});
    rig.handle(cm::MouseButton{MouseButton::left, true});
    rig.take();
    rig.backend->reconnect(); // the old connection, and what it held, is gone
    rig.handle(cm::MouseButton{MouseButton::left, false}); // held no more: nothing to release
    rig.handle(cm::KeyCombo{8, KeyModifiers::command});    // Control goes down again
    rig.injector->releaseAll();
    EXPECT_EQ(rig.take(), (Verbs{"key(29,down)", "key(46,down)", "key(46,up)", "key(29,up)"}));
}

// --- Momentum ------------------------------------------------------------------------------

// Four changes of dy = -3 at gain 3: a velocity of -9 points per tick.
void flick(InjectorRig& rig) {
    rig.handle(cm::Scroll{0, 0, ScrollPhase::began});
    for (int i = 0; i < 4; ++i) {
        rig.handle(cm::Scroll{0, -3, ScrollPhase::changed});
    }
    rig.handle(cm::Scroll{0, 0, ScrollPhase::ended});
}

TEST(EventInjector, MomentumTicksEightMillisecondsAfterTheFlickAndDecaysToNothing) {
    InjectorRig rig;
    rig.defaults->set("momentumDecay", 0.5);
    flick(rig);
    EXPECT_EQ(rig.take(), (Verbs(4, "wheel(-108,0)")));
    rig.clock->advance(7ms);
    EXPECT_TRUE(rig.take().empty());
    rig.clock->advance(1ms); // -4.5 rounds to -5 points
    EXPECT_EQ(rig.take(), (Verbs{"wheel(-60,0)"}));
    EXPECT_TRUE(rig.injector->momentumRunning());
    rig.clock->advance(1s); // -2.25, -1.125, -0.5625, then it rounds to nothing and ends
    EXPECT_EQ(rig.take(), (Verbs{"wheel(-24,0)", "wheel(-12,0)", "wheel(-12,0)"}));
    EXPECT_FALSE(rig.injector->momentumRunning());
    EXPECT_EQ(rig.clock->pendingCount(), 0u);
}

TEST(EventInjector, MomentumNeedsAFastFlickTheSettingAndOnlyTheLastFourDeltas) {
    struct Case {
        const char* name;
        std::vector<float> dys; // changes after a began, then ended
        bool enabled;
        bool runs;
    };
    const Case cases[] = {
        {"a slow flick", {-0.4f, -0.4f, -0.4f, -0.4f}, true, false},
        {"switched off", {-3, -3, -3, -3}, false, false},
        {"a fast delta that left the window of four", {4, 0, 0, 0, 0}, true, false},
        {"the same delta inside it: a mean of 3", {0, 0, 0, 4}, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InjectorRig rig;
        rig.defaults->set("momentumEnabled", c.enabled);
        rig.handle(cm::Scroll{0, 0, ScrollPhase::began});
        for (const float dy : c.dys) {
            rig.handle(cm::Scroll{0, dy, ScrollPhase::changed});
        }
        rig.handle(cm::Scroll{0, 0, ScrollPhase::ended});
        EXPECT_EQ(rig.injector->momentumRunning(), c.runs);
        EXPECT_EQ(rig.clock->pendingCount(), c.runs ? 1u : 0u);
    }
}

TEST(EventInjector, ABeganStopsMomentumBeforeItsOwnWheelAndAnEndedRestartsIt) {
    InjectorRig rig;
    rig.defaults->set("momentumDecay", 1.0); // glides at constant speed until stopped
    flick(rig);
    rig.clock->advance(8ms);
    rig.handle(cm::Scroll{0, -3, ScrollPhase::changed}); // a change does not stop it
    rig.clock->advance(ScrollMomentum::kInterval);
    rig.handle(cm::Scroll{0, 1, ScrollPhase::began});
    rig.clock->advance(1s);
    EXPECT_EQ(rig.take(),
              (Verbs{"wheel(-108,0)", "wheel(-108,0)", "wheel(-108,0)", "wheel(-108,0)",
                     "wheel(-108,0)", "wheel(-108,0)", "wheel(-108,0)", "wheel(36,0)"}));
    EXPECT_FALSE(rig.injector->momentumRunning());

    // A series without a began: its ended replaces a running momentum by its own.
    flick(rig);
    for (int i = 0; i < 4; ++i) {
        rig.handle(cm::Scroll{0, 1, ScrollPhase::changed});
    }
    rig.handle(cm::Scroll{0, 0, ScrollPhase::ended});
    rig.take();
    rig.clock->advance(8ms);
    EXPECT_EQ(rig.take(), (Verbs{"wheel(36,0)"}));
    EXPECT_EQ(rig.clock->pendingCount(), 1u);
    rig.injector->releaseAll(); // a close stops it too
    EXPECT_EQ(rig.clock->pendingCount(), 0u);
}

TEST(EventInjector, StatisticsCountScrolledPointsAndThePeakGain) {
    InjectorRig rig;
    rig.defaults->set("momentumDecay", 0.5);
    rig.handle(cm::Scroll{0, 2, ScrollPhase::began});
    rig.handle(cm::Scroll{0, -3, ScrollPhase::changed});
    EXPECT_EQ(rig.injector->scrollStats(), (std::pair<double, double>{15, 3}));
    rig.defaults->set("scrollGain", 1.0);
    rig.handle(cm::Scroll{0, -3, ScrollPhase::changed});
    rig.handle(cm::Scroll{0, 0, ScrollPhase::ended}); // a velocity of (6 - 9 - 3) / 3 = -2
    rig.clock->advance(1s); // ticks of -1 and -0.5 (one point each), then the end
    EXPECT_EQ(rig.injector->scrollStats(), (std::pair<double, double>{20, 3}));
    rig.injector->resetScrollStats();
    EXPECT_EQ(rig.injector->scrollStats(), (std::pair<double, double>{0, 0}));
}

// --- The lock gate -------------------------------------------------------------------------

// The screen locks while a long text is being typed: the run under way ends, no other follows,
// and the rest of the message is dropped.
TEST(EventInjector, ALockSeenWhileTypingStopsTheTextAfterTheRunUnderWay) {
    InjectorRig rig;
    int runs = 0;
    rig.backend->afterText = [&] {
        if (++runs == 3) {
            rig.gate->close();
        }
    };
    rig.handle(cm::SetStickyModifiers{KeyModifiers::shift});
    rig.handle(cm::TextInput{repeat('x', 20 * 50)});
    Verbs expected{"key(42,down)", "key(42,up)"};
    expected.insert(expected.end(), 3, "text(" + repeat('x', 20) + ")");
    expected.push_back("key(42,down)"); // what was lifted for the text is put back
    EXPECT_EQ(rig.take(), expected);

    // Releases still pass while locked; new text waits for the gate to open.
    rig.injector->releaseAll();
    rig.handle(cm::TextInput{"late"});
    EXPECT_EQ(rig.take(), (Verbs{"key(42,up)"}));
    rig.gate->open();
    rig.handle(cm::TextInput{"ok"});
    EXPECT_EQ(rig.take(), (Verbs{"text(ok)"}));
}

TEST(EventInjector, ALockStopsMomentumAndTheProbesWithoutAnotherWheelTurn) {
    InjectorRig rig;
    rig.defaults->set("momentumDecay", 1.0);
    rig.handle(cm::Scroll{0, -3, ScrollPhase::changed});
    rig.handle(cm::Scroll{0, 0, ScrollPhase::ended});
    rig.clock->advance(17ms); // two ticks
    EXPECT_EQ(rig.take(), (Verbs{"wheel(-108,0)", "wheel(-108,0)", "wheel(-108,0)"}));
    rig.gate->close();
    rig.clock->advance(1s);
    rig.injector->probeMagnify();
    rig.injector->probeScroll(true);
    rig.clock->advance(1s);
    rig.handle(cm::Scroll{0, -3, ScrollPhase::changed});
    rig.handle(cm::Magnify{1, ScrollPhase::changed});
    EXPECT_TRUE(rig.take().empty());
    EXPECT_EQ(rig.clock->pendingCount(), 0u);
    EXPECT_FALSE(rig.injector->momentumRunning());
}

// --- Other messages and probes -------------------------------------------------------------

TEST(EventInjector, CatalogueMessagesAreLoggedOnceAndPostNothing) {
    InjectorRig rig;
    const auto before = diagLines().size();
    rig.handle(cm::ListApplications{});
    const auto lines = diagLines();
    ASSERT_EQ(lines.size(), before + 1);
    const std::string expected = "【异常】EventInjector 收到本该被 HostCoordinator 分流走的消息：" +
                                 ControlMessage(cm::ListApplications{}).description() +
                                 "——请检查 receive(_:from:) 的路由是否被改动";
    EXPECT_NE(lines.back().find(expected), std::string::npos) << lines.back();
    EXPECT_EQ(lines.back().size() - lines.back().find(expected), expected.size());

    rig.handle(cm::ActivateApplication{"org.example.Editor"});
    rig.handle(cm::ApplicationList{});
    const auto more = diagLines();
    ASSERT_EQ(more.size(), before + 3);
    EXPECT_NE(more.back().find("applicationList"), std::string::npos);
    EXPECT_NE(more[more.size() - 2].find("org.example.Editor"), std::string::npos);
    EXPECT_TRUE(rig.take().empty());
}

TEST(EventInjector, ProbesRunAsStepsOnTheSchedulerAndFeedTheStatistics) {
    InjectorRig rig;
    rig.defaults->set("momentumEnabled", false);
    bool done = false;
    rig.injector->probeScroll(true, [&] { done = true; });
    EXPECT_TRUE(rig.take().empty()); // nothing on the caller's thread
    rig.clock->advance(20 * 8ms);
    EXPECT_TRUE(done);
    // 20 changes of -3 points at gain 3: wheel units of -108 each.
    EXPECT_EQ(rig.take(), (Verbs(20, "wheel(-108,0)")));
    EXPECT_EQ(rig.injector->scrollStats(), (std::pair<double, double>{180, 3}));

    // The zoom probe: 12 steps of 0.08 make 9 clicks of Control + wheel.
    rig.injector->probeMagnify();
    rig.clock->advance(1s);
    const Verbs zoom = rig.take();
    EXPECT_EQ(std::count(zoom.begin(), zoom.end(), "wheel(120,0)"), 9);
    EXPECT_EQ(zoom.size(), 27u);
    EXPECT_EQ(rig.clock->pendingCount(), 0u);

    // An injector gone before its probe ends: the rest does nothing.
    rig.injector->probeScroll(false);
    rig.injector.reset();
    rig.clock->advance(1s);
    EXPECT_TRUE(rig.take().empty());
}

} // namespace
