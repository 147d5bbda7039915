// test-labels: injection
#include "InjectionTestSupport.hpp"

#include "Platform/Dispatch/SerialQueue.hpp"
#include "Quillon/Input/CGEventSink.hpp"
#include "Quillon/Input/DragStateResolver.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

using namespace quillon;
using namespace quillon::testing;
using platform::EventTap;
using platform::EventType;
using platform::Point;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;
using wire::TrackpadGesture;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t kCommand = 0x100000;
constexpr std::uint64_t kShift = 0x20000;
constexpr std::uint64_t kControl = 0x40000;
constexpr std::uint64_t kAlternate = 0x80000;

class CountingOverview : public platform::OverviewOpener {
public:
    void openOverview() override { ++opened; }
    int opened = 0;
};

class SinkTest : public ::testing::Test {
protected:
    ScratchDefaults defaults;
    std::shared_ptr<platform::RecordingPoster> poster =
        std::make_shared<platform::RecordingPoster>();
    std::shared_ptr<platform::FixedDisplayGeometry> geometry =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 1440, 900});
    std::shared_ptr<CountingOverview> overview = std::make_shared<CountingOverview>();
    std::shared_ptr<platform::ManualScheduler> clock =
        std::make_shared<platform::ManualScheduler>();
    std::unique_ptr<CGEventSink> sink =
        std::make_unique<CGEventSink>(poster, geometry, overview, *defaults, clock);

    // Four changes of dy = -3 at the default gain: recorded deltas of -9, a velocity of -9.
    void flickDown() {
        sink->scroll(0, 0, ScrollPhase::began);
        for (int i = 0; i < 4; ++i) {
            sink->scroll(0, -3, ScrollPhase::changed);
        }
        sink->scroll(0, 0, ScrollPhase::ended);
    }
    // The vertical momentum deltas of a velocity v0 under `decay`, until they round to 0.
    static std::vector<Event> expectedMomentum(double v0, double decay) {
        std::vector<Event> out;
        double v = v0;
        bool started = false;
        for (;;) {
            v *= decay;
            const auto r = static_cast<std::int32_t>(std::round(v));
            if (r == 0) {
                out.push_back(momentumWheel(3, 0, 0));
                return out;
            }
            out.push_back(momentumWheel(started ? 2 : 1, r, 0));
            started = true;
        }
    }
};

// --- Pointer -----------------------------------------------------------------------------

TEST(DragStateResolverTest, FirstHeldButtonInLeftRightMiddleOrderChoosesTheDrag) {
    struct Case {
        std::vector<MouseButton> held;
        EventType type;
        int button;
    };
    const std::vector<Case> cases = {
        {{}, EventType::mouseMoved, 0},
        {{MouseButton::left}, EventType::leftMouseDragged, 0},
        {{MouseButton::right}, EventType::rightMouseDragged, 1},
        {{MouseButton::middle}, EventType::otherMouseDragged, 2},
        {{MouseButton::right, MouseButton::left}, EventType::leftMouseDragged, 0},
        {{MouseButton::middle, MouseButton::right}, EventType::rightMouseDragged, 1},
    };
    for (const auto& c : cases) {
        MouseButtonSet set;
        for (auto b : c.held) {
            set.insert(b);
        }
        const auto got = DragStateResolver::moveEventType(set);
        EXPECT_EQ(got.type, c.type) << c.held.size();
        EXPECT_EQ(got.button, c.button) << c.held.size();
    }
}

TEST_F(SinkTest, MovesBecomeDragsOfTheHeldButtonAndCarryRoundedDeltas) {
    sink->moveCursor({10, 10}); // first move: no previous point, no delta fields
    sink->mouseButton(MouseButton::right, true, {10, 10});
    sink->mouseButton(MouseButton::left, true, {10, 10});
    sink->moveCursor({10.5, 8.5}); // deltas 0.5 and -1.5 round away from zero: 1, -2
    sink->mouseButton(MouseButton::left, false, {10.5, 8.5});
    sink->moveCursor({12, 8.5});
    sink->mouseButton(MouseButton::right, false, {12, 8.5});
    sink->resetButtonState();
    sink->moveCursor({20, 20}); // after a reset: no previous point again
    sink->moveCursor({17.4, 20});

    auto withDelta = [](Event e, std::int64_t dx, std::int64_t dy) {
        e.setIntegerField(4, dx);
        e.setIntegerField(5, dy);
        return e;
    };
    EXPECT_TRUE(postedExactly(
        poster->take(), {
                            mouse(EventType::mouseMoved, {10, 10}, 0),
                            mouse(EventType::rightMouseDown, {10, 10}, 1),
                            mouse(EventType::leftMouseDown, {10, 10}, 0),
                            withDelta(mouse(EventType::leftMouseDragged, {10.5, 8.5}, 0), 1, -2),
                            mouse(EventType::leftMouseUp, {10.5, 8.5}, 0),
                            withDelta(mouse(EventType::rightMouseDragged, {12, 8.5}, 1), 2, 0),
                            mouse(EventType::rightMouseUp, {12, 8.5}, 1),
                            mouse(EventType::mouseMoved, {20, 20}, 0),
                            withDelta(mouse(EventType::mouseMoved, {17.4, 20}, 0), -3, 0),
                        }));
}

TEST_F(SinkTest, MiddleButtonUsesOtherMouseEventsAndHeldModifiersSetTheFlags) {
    sink->setModifier(KeyModifiers::command | KeyModifiers::control, true);
    sink->mouseButton(MouseButton::middle, true, {1, 2});
    sink->moveCursor({3, 2});
    sink->mouseButton(MouseButton::middle, false, {3, 2});
    sink->setModifier(KeyModifiers::command, false);
    sink->moveCursor({4, 2});
    Event drag = mouse(EventType::otherMouseDragged, {3, 2}, 2, kCommand | kControl);
    drag.setIntegerField(4, 2);
    drag.setIntegerField(5, 0);
    Event move = mouse(EventType::mouseMoved, {4, 2}, 0, kControl);
    move.setIntegerField(4, 1);
    move.setIntegerField(5, 0);
    EXPECT_TRUE(postedExactly(poster->take(),
                              {key(55, true), key(59, true),
                               mouse(EventType::otherMouseDown, {1, 2}, 2, kCommand | kControl),
                               drag, mouse(EventType::otherMouseUp, {3, 2}, 2, kCommand | kControl),
                               key(55, false), move}));
    EXPECT_EQ(sink->activeModifiers(), KeyModifiers::control);
}

TEST_F(SinkTest, RefusedMoveChangesNothingAndNonFinitePointsAreDropped) {
    sink->moveCursor({100, 100});
    poster->setRefusal([](const Event& e) { return e.location.x == 200; });
    sink->moveCursor({200, 100}); // refused: the last move point stays at (100, 100)
    sink->moveCursor({std::nan(""), 5});
    sink->moveCursor({std::numeric_limits<double>::infinity(), 5});
    sink->multiClick(MouseButton::left, 2, {std::nan(""), 0});
    sink->moveCursor({150, 100});
    Event move = mouse(EventType::mouseMoved, {150, 100}, 0);
    move.setIntegerField(4, 50);
    move.setIntegerField(5, 0);
    EXPECT_TRUE(postedExactly(poster->take(), {mouse(EventType::mouseMoved, {100, 100}, 0), move}));

    // A jump too large for a 64-bit delta still posts the move, without delta fields.
    sink->moveCursor({-1e300, 0});
    sink->moveCursor({1e300, 0});
    EXPECT_TRUE(postedExactly(poster->take(), {mouse(EventType::mouseMoved, {-1e300, 0}, 0),
                                               mouse(EventType::mouseMoved, {1e300, 0}, 0)}));
}

// --- Clicks, keys, text ---------------------------------------------------------------------

TEST_F(SinkTest, MultiClickPostsPairsWithRisingClickStates) {
    auto click = [](EventType type, int button, std::int64_t state) {
        Event e = mouse(type, {5, 6}, button);
        e.setIntegerField(1, state);
        return e;
    };
    sink->multiClick(MouseButton::left, 0, {5, 6}); // a count of 0 still clicks once
    EXPECT_TRUE(postedExactly(poster->take(), {click(EventType::leftMouseDown, 0, 1),
                                               click(EventType::leftMouseUp, 0, 1)}));

    sink->multiClick(MouseButton::right, 3, {5, 6});
    EXPECT_TRUE(postedExactly(
        poster->take(),
        {click(EventType::rightMouseDown, 1, 1), click(EventType::rightMouseUp, 1, 1),
         click(EventType::rightMouseDown, 1, 2), click(EventType::rightMouseUp, 1, 2),
         click(EventType::rightMouseDown, 1, 3), click(EventType::rightMouseUp, 1, 3)}));

    // A click whose up event cannot be made ends the series without a lone down.
    poster->setRefusal(
        [](const Event& e) { return e.type == EventType::otherMouseUp && e.integerField(1) == 2; });
    sink->multiClick(MouseButton::middle, 3, {5, 6});
    EXPECT_TRUE(postedExactly(poster->take(), {click(EventType::otherMouseDown, 2, 1),
                                               click(EventType::otherMouseUp, 2, 1)}));

    // Clicks leave the button state alone: the next move is a plain move from no point.
    sink->moveCursor({7, 7});
    EXPECT_TRUE(postedExactly(poster->take(), {mouse(EventType::mouseMoved, {7, 7}, 0)}));
}

TEST_F(SinkTest, ModifierKeysGoInTableOrderForPressAndRelease) {
    const KeyModifiers all(std::uint16_t{0x010F}); // all four plus an unnamed bit
    sink->setModifier(all, true);
    EXPECT_EQ(sink->activeModifiers(), all);
    sink->setModifier(all, false);
    EXPECT_TRUE(postedExactly(poster->take(),
                              {key(55, true), key(56, true), key(58, true), key(59, true),
                               key(55, false), key(56, false), key(58, false), key(59, false)}));
    EXPECT_TRUE(sink->activeModifiers().isEmpty());
    EXPECT_EQ(CGEventSink::eventFlags(all), kCommand | kShift | kAlternate | kControl);
}

TEST_F(SinkTest, KeyComboWrapsTheKeyInItsModifiersAndDropsThemAfterwards) {
    sink->keyCombo(0, {});
    EXPECT_TRUE(postedExactly(poster->take(), {key(0, true), key(0, false)}));

    sink->setModifier(KeyModifiers::shift, true); // held before, released by the combination
    poster->clear();
    sink->keyCombo(8, KeyModifiers::shift | KeyModifiers::option);
    EXPECT_TRUE(postedExactly(
        poster->take(), {key(56, true), key(58, true), key(8, true, kShift | kAlternate),
                         key(8, false, kShift | kAlternate), key(56, false), key(58, false)}));
    EXPECT_TRUE(sink->activeModifiers().isEmpty());

    // A refused key-down is skipped alone; the rest of the combination still happens.
    poster->setRefusal([](const Event& e) { return e.keyCode == 9 && e.keyDown; });
    sink->keyCombo(9, KeyModifiers::command);
    EXPECT_TRUE(
        postedExactly(poster->take(), {key(55, true), key(9, false, kCommand), key(55, false)}));
}

TEST_F(SinkTest, TextGoesOutInChunksOfTwentyCodeUnits) {
    // 45 UTF-16 code units: 43 letters and one emoji (a surrogate pair) at units 19 and 20, so
    // the first boundary splits the pair.
    std::string text(19, 'a');
    text += "\xF0\x9F\x98\x80"; // U+1F600
    text += std::string(24, 'b');
    sink->typeText(text);
    const std::u16string units =
        std::u16string(19, u'a') + u"\U0001F600" + std::u16string(24, u'b');
    ASSERT_EQ(units.size(), 45u);
    std::vector<Event> expected;
    for (std::size_t at : {0, 20, 40}) {
        Event down = key(0, true);
        Event up = key(0, false);
        down.unicode = up.unicode = units.substr(at, 20);
        expected.push_back(down);
        expected.push_back(up);
    }
    EXPECT_EQ(expected[4].unicode.size(), 5u);
    EXPECT_TRUE(postedExactly(poster->take(), expected));

    sink->typeText("");
    EXPECT_EQ(poster->count(), 0u);

    // A chunk that cannot be made is lost alone; held modifiers do not colour typed text.
    sink->setModifier(KeyModifiers::command, true);
    poster->clear();
    poster->setRefusal([](const Event& e) { return !e.unicode.empty() && e.unicode[0] == u'x'; });
    sink->typeText(std::string(20, 'x') + "yz\xC3\xA9\xFF"); // é, then an invalid byte
    Event down = key(0, true);
    Event up = key(0, false);
    down.unicode = up.unicode = u"yz\u00E9\uFFFD";
    EXPECT_TRUE(postedExactly(poster->take(), {down, up}));
}

TEST_F(SinkTest, ShowDesktopTapsF11WithoutFlags) {
    sink->setModifier(KeyModifiers::control, true);
    poster->clear();
    sink->showDesktop();
    EXPECT_TRUE(postedExactly(poster->take(), {key(103, true), key(103, false)}));
    EXPECT_EQ(sink->activeModifiers(), KeyModifiers::control);
}

// --- Navigation swipes and Spaces ---------------------------------------------------------

Event dockA(std::int64_t phase, bool toRight) {
    Event e;
    e.type = EventType::dockControl;
    e.tap = EventTap::session;
    e.hasSource = false;
    e.setIntegerField(55, 30);
    e.setIntegerField(110, 23);
    e.setIntegerField(132, phase);
    e.setIntegerField(135, toRight ? 1 : 2147483649LL);
    e.setIntegerField(123, 1);
    e.setDoubleField(119, 0.0);
    e.setDoubleField(139, std::ldexp(1.0, -149));
    return e;
}
Event dockGesture() {
    Event e;
    e.type = EventType::gesture;
    e.tap = EventTap::session;
    e.hasSource = false;
    e.setIntegerField(55, 29);
    return e;
}
Event dockC(std::int64_t phase, bool toRight, double uptime) {
    Event e;
    e.type = EventType::dockControl;
    e.tap = EventTap::session;
    e.hasSource = false;
    e.setIntegerField(55, 30);
    e.setIntegerField(110, 23);
    e.setIntegerField(132, phase);
    e.setDoubleField(124, toRight ? -1.0 : 1.0);
    e.setIntegerField(123, 1);
    e.setIntegerField(134, phase);
    e.setDoubleField(138, 3.0);
    e.setDoubleField(169, uptime);
    e.setDoubleField(125, 0.1);
    if (phase == 4) {
        e.setDoubleField(129, toRight ? -9999.0 : 9999.0);
    }
    return e;
}
double uptimeNs() {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

TEST_F(SinkTest, SpaceSwitchPostsTwelveSessionEventsWithField129OnlyOnTheLastC) {
    for (const bool toRight : {true, false}) {
        const double before = uptimeNs();
        sink->navigationSwipe(toRight ? TrackpadGesture::threeFingerRight
                                      : TrackpadGesture::threeFingerLeft);
        const double after = uptimeNs();
        auto events = poster->take();
        ASSERT_EQ(events.size(), 12u);
        std::vector<Event> expected;
        int phaseIndex = 0;
        for (std::int64_t phase : {1, 2, 4}) {
            // Field 169 is the uptime when C was made: check its range, then compare the rest
            // with the observed value.
            const auto uptime = events[phaseIndex * 4 + 2].doubleField(169);
            ASSERT_TRUE(uptime.has_value());
            EXPECT_GE(*uptime, before);
            EXPECT_LE(*uptime, after);
            expected.push_back(dockA(phase, toRight));
            expected.push_back(dockGesture());
            expected.push_back(dockC(phase, toRight, *uptime));
            expected.push_back(dockGesture());
            ++phaseIndex;
        }
        EXPECT_TRUE(postedExactly(events, expected)) << "toRight " << toRight;
    }
    EXPECT_EQ(overview->opened, 0);
}

TEST_F(SinkTest, SpaceSwitchSkipsBothHalvesOfAPairWhenEitherCannotBeMade) {
    // The gesture half of the phase-2 A pair and the dock half of the phase-4 C event fail.
    int gestureHalves = 0;
    poster->setRefusal([&](const Event& e) {
        if (e.tap != EventTap::session) {
            return false;
        }
        if (e.type == EventType::gesture) {
            return ++gestureHalves == 3; // the B after phase 2's A
        }
        return e.integerField(134) == 4;
    });
    sink->switchSpace(true);
    const auto events = poster->take();
    ASSERT_EQ(events.size(), 8u);
    EXPECT_TRUE(sameEvent(events[0], dockA(1, true)));
    EXPECT_EQ(events[2].integerField(134), 1);
    EXPECT_EQ(events[4].integerField(134), 2); // phase 2's A pair is missing entirely
    EXPECT_TRUE(sameEvent(events[6], dockA(4, true)));
    EXPECT_TRUE(sameEvent(events[7], dockGesture()));
}

TEST_F(SinkTest, SwipeUpOpensTheOverviewAndSwipeDownIsControlDownArrow) {
    sink->navigationSwipe(TrackpadGesture::threeFingerUp);
    EXPECT_EQ(overview->opened, 1);
    EXPECT_EQ(poster->count(), 0u);
    sink->navigationSwipe(TrackpadGesture::threeFingerDown);
    EXPECT_TRUE(postedExactly(poster->take(), {key(59, true), key(125, true, kControl),
                                               key(125, false, kControl), key(59, false)}));
    for (auto g :
         {TrackpadGesture::pinchIn, TrackpadGesture::smartZoom, TrackpadGesture::showDesktop}) {
        sink->navigationSwipe(g);
    }
    EXPECT_EQ(poster->count(), 0u);
    EXPECT_EQ(overview->opened, 1);

    CGEventSink noOverview(poster, geometry, nullptr, *defaults, clock);
    noOverview.navigationSwipe(TrackpadGesture::threeFingerUp); // nothing to open: no effect
    EXPECT_EQ(poster->count(), 0u);
}

// --- Scrolling -----------------------------------------------------------------------------

TEST_F(SinkTest, BeganChangedEndedPostWheelsWithTheirGestureCompanions) {
    sink->scroll(1, -2, ScrollPhase::began);
    sink->scroll(0.5, -3, ScrollPhase::changed);
    sink->scroll(0, -3, ScrollPhase::momentum); // a tablet momentum phase counts as a change
    sink->scroll(40, 40, ScrollPhase::ended);   // its own deltas are not posted
    EXPECT_TRUE(postedExactly(poster->take(), {
                                                  scrollWheel(128, 0, 0),
                                                  gestureScroll(2, 0, 0),
                                                  scrollWheel(1, -6, 3),
                                                  gestureScroll(128, 0, 0),
                                                  series(61),
                                                  gestureScroll(1, 3, -6),
                                                  scrollWheel(2, -9, 2), // 1.5 rounds to 2
                                                  gestureScroll(2, 1.5, -9),
                                                  scrollWheel(2, -9, 0),
                                                  gestureScroll(2, 0, -9),
                                                  scrollWheel(4, 0, 0),
                                                  gestureScroll(4, 0, 0),
                                                  series(62),
                                              }));
    // The mean of (3,-6), (1.5,-9), (0,-9) is above the threshold: momentum is scheduled.
    EXPECT_TRUE(sink->momentumRunning());
}

TEST_F(SinkTest, ASecondBeganWithinAnOpenSeriesDoesNotOpenAnotherOne) {
    sink->scroll(0, 0, ScrollPhase::began);
    poster->clear();
    sink->scroll(0, 1, ScrollPhase::began);
    EXPECT_TRUE(postedExactly(poster->take(), {scrollWheel(128, 0, 0), gestureScroll(2, 0, 0),
                                               scrollWheel(1, 3, 0), gestureScroll(1, 0, 3)}));
}

TEST_F(SinkTest, GainAndInversionComeFromTheDefaultsAtEachScroll) {
    struct Case {
        nlohmann::json gain;
        bool invertX, invertY;
        double dx, dy;
        std::int32_t wantV, wantH;
        double wantSx, wantSy;
    };
    const std::vector<Case> cases = {
        {nullptr, false, false, 0, -3, -9, 0, 0, -9},    // absent: 3.0
        {0.0, false, false, 0, -3, -9, 0, 0, -9},        // 0: 3.0
        {-2.0, false, false, 1, 0, 0, 3, 3, 0},          // negative: 3.0
        {"fast", false, false, 1, 0, 0, 3, 3, 0},        // not a number: 3.0
        {1.5, false, false, 0, 1, 2, 0, 0, 1.5},         // 1.5 rounds half away to 2
        {1.5, false, false, -1, -1, -2, -2, -1.5, -1.5}, // -1.5 to -2
        {1, true, false, 2, 2, 2, -2, -2, 2},
        {1, false, true, 2, 2, -2, 2, 2, -2},
        {2, true, true, 1.25, -0.25, 1, -3, -2.5, 0.5},
    };
    for (const auto& c : cases) {
        if (c.gain.is_null()) {
            defaults->remove("scrollGain");
        } else {
            defaults->set("scrollGain", c.gain);
        }
        defaults->set("invertScrollX", c.invertX);
        defaults->set("invertScrollY", c.invertY);
        sink->scroll(c.dx, c.dy, ScrollPhase::changed);
        EXPECT_TRUE(postedExactly(poster->take(), {scrollWheel(2, c.wantV, c.wantH),
                                                   gestureScroll(2, c.wantSx, c.wantSy)}))
            << "gain " << c.gain.dump();
    }
    // Inversion stored with the wrong type reads as off.
    defaults->set("scrollGain", 1);
    defaults->set("invertScrollY", "yes");
    defaults->set("invertScrollX", 1);
    sink->scroll(1, 1, ScrollPhase::changed);
    EXPECT_TRUE(postedExactly(poster->take(), {scrollWheel(2, 1, 1), gestureScroll(2, 1, 1)}));
}

TEST_F(SinkTest, NonFiniteAndHugeScrollDeltasNeverPostGarbage) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    struct Case {
        double dx, dy;
        std::int32_t wantV, wantH;
    };
    const std::vector<Case> cases = {
        {nan, -3, -9, 0},   {0, inf, 0, 0},      {-inf, nan, 0, 0},
        {1e30, 0, 0, kMax}, {0, -1e30, kMin, 0}, {3.4e38, -3.4e38, kMin, kMax},
    };
    for (const auto& c : cases) {
        sink->scroll(c.dx, c.dy, ScrollPhase::changed);
        EXPECT_TRUE(postedExactly(poster->take(), {scrollWheel(2, c.wantV, c.wantH),
                                                   gestureScroll(2, static_cast<double>(c.wantH),
                                                                 static_cast<double>(c.wantV))}))
            << c.dx << "," << c.dy;
    }
    // Inverting the most negative value stays in range.
    defaults->set("invertScrollY", true);
    sink->scroll(0, 1e30, ScrollPhase::changed);
    EXPECT_EQ(poster->take().at(0).wheel1, kMin);
}

TEST_F(SinkTest, ARefusedWheelEventTakesItsCompanionAlongButTheDeltaStillCounts) {
    poster->setRefusal(
        [](const Event& e) { return e.type == EventType::scrollWheel && e.integerField(99) == 1; });
    sink->scroll(0, -3, ScrollPhase::began);
    EXPECT_TRUE(postedExactly(poster->take(), {scrollWheel(128, 0, 0), gestureScroll(2, 0, 0)}));
    poster->setRefusal({});
    // No series was opened, so the next began opens one; the refused delta was still recorded
    // and counted.
    sink->scroll(0, 0, ScrollPhase::began);
    EXPECT_TRUE(postedExactly(poster->take(),
                              {scrollWheel(128, 0, 0), gestureScroll(2, 0, 0), scrollWheel(1, 0, 0),
                               gestureScroll(128, 0, 0), series(61), gestureScroll(1, 0, 0)}));
    EXPECT_EQ(sink->totalScrolledY(), 9);

    // A refused ended wheel: no companion, yet momentum starts from the recorded deltas.
    sink->scroll(0, -6, ScrollPhase::changed);
    poster->clear();
    poster->setRefusal(
        [](const Event& e) { return e.type == EventType::scrollWheel && e.integerField(99) == 4; });
    sink->scroll(0, 0, ScrollPhase::ended);
    EXPECT_EQ(poster->count(), 0u);
    EXPECT_TRUE(sink->momentumRunning());
}

// --- Momentum ------------------------------------------------------------------------------

TEST_F(SinkTest, MomentumStartsEightMillisecondsAfterEndedAndDecaysToAPhaseThreeEnd) {
    flickDown();
    poster->clear();
    clock->advance(7ms);
    EXPECT_EQ(poster->count(), 0u);
    clock->advance(1ms);
    EXPECT_TRUE(postedExactly(poster->take(), {momentumWheel(1, -9, 0)})); // round(-9 * 0.955)
    clock->advance(CGEventSink::kMomentumInterval);
    EXPECT_TRUE(postedExactly(poster->take(), {momentumWheel(2, -8, 0)})); // round(-8.208)

    clock->advance(2s);
    auto expected = expectedMomentum(-9, 0.955);
    expected.erase(expected.begin(), expected.begin() + 2);
    EXPECT_EQ(expected.back().integerField(123), 3);
    EXPECT_TRUE(postedExactly(poster->take(), expected));
    EXPECT_FALSE(sink->momentumRunning());
    EXPECT_EQ(clock->pendingCount(), 0u);
    clock->advance(1s);
    EXPECT_EQ(poster->count(), 0u);
}

TEST_F(SinkTest, MomentumNeedsAFastEnoughFlickAndTheSetting) {
    // Mean below 1.5 in both axes.
    sink->scroll(0, 0, ScrollPhase::began);
    sink->scroll(0.4, -0.4, ScrollPhase::changed);
    sink->scroll(0.4, -0.4, ScrollPhase::changed);
    sink->scroll(0, 0, ScrollPhase::ended);
    EXPECT_FALSE(sink->momentumRunning());

    defaults->set("momentumEnabled", false);
    flickDown();
    EXPECT_FALSE(sink->momentumRunning());

    defaults->set("momentumEnabled", "no"); // not a boolean: enabled
    flickDown();
    EXPECT_TRUE(sink->momentumRunning());
    poster->clear();
    clock->advance(5s);
    EXPECT_TRUE(postedExactly(poster->take(), expectedMomentum(-9, 0.955)));
}

TEST_F(SinkTest, MomentumUsesOnlyTheLastFourDeltas) {
    auto series = [&](std::vector<double> dys) {
        sink->scroll(0, 0, ScrollPhase::began); // records (0, 0) itself
        for (double dy : dys) {
            sink->scroll(0, dy, ScrollPhase::changed);
        }
        sink->scroll(0, 0, ScrollPhase::ended);
        poster->clear();
        clock->advance(5s);
        return poster->take();
    };
    // Recorded 0 (began), 12, 0, 0, 0, 0: the 12 has left the window.
    EXPECT_TRUE(series({4, 0, 0, 0, 0}).empty());
    // Recorded 0 (began), 0, 0, 0, 12: the last four are 0, 0, 0, 12, a velocity of 3.
    EXPECT_TRUE(postedExactly(series({0, 0, 0, 4}), expectedMomentum(3, 0.955)));
}

TEST_F(SinkTest, DecayOfOneRunsAtConstantSpeedUntilTheNextScrollStopsIt) {
    defaults->set("momentumDecay", 1.0);
    flickDown();
    poster->clear();
    clock->advance(8ms + 99 * CGEventSink::kMomentumInterval);
    auto events = poster->take();
    ASSERT_EQ(events.size(), 100u);
    EXPECT_TRUE(sameEvent(events.front(), momentumWheel(1, -9, 0)));
    for (std::size_t i = 1; i < events.size(); ++i) {
        EXPECT_TRUE(sameEvent(events[i], momentumWheel(2, -9, 0))) << i;
    }

    // A changed scroll does not stop it; a began does, before its own first event.
    sink->scroll(0, -1, ScrollPhase::changed);
    clock->advance(CGEventSink::kMomentumInterval);
    EXPECT_TRUE(postedExactly(
        poster->take(), {scrollWheel(2, -3, 0), gestureScroll(2, 0, -3), momentumWheel(2, -9, 0)}));
    sink->scroll(0, 0, ScrollPhase::began);
    EXPECT_FALSE(sink->momentumRunning());
    clock->advance(1s);
    // Only the began's own events (the flick's ended closed the series, so it opens anew).
    EXPECT_TRUE(postedExactly(poster->take(),
                              {scrollWheel(128, 0, 0), gestureScroll(2, 0, 0), scrollWheel(1, 0, 0),
                               gestureScroll(128, 0, 0), series(61), gestureScroll(1, 0, 0)}));
    EXPECT_EQ(clock->pendingCount(), 0u);
}

TEST_F(SinkTest, AnEndedRestartsMomentumFromTheNewSeriesOnly) {
    defaults->set("momentumDecay", 1.0);
    flickDown();
    clock->advance(100ms);
    // A new series without a began: its ended stops the old momentum and starts a new one.
    sink->scroll(0, 2, ScrollPhase::changed);
    sink->scroll(0, 0, ScrollPhase::ended);
    poster->clear();
    clock->advance(8ms + CGEventSink::kMomentumInterval);
    EXPECT_TRUE(postedExactly(poster->take(), {momentumWheel(1, 6, 0), momentumWheel(2, 6, 0)}));
    EXPECT_EQ(clock->pendingCount(), 1u);
}

TEST_F(SinkTest, HugeDecayKeepsTheVelocityInsideTheWheelRange) {
    defaults->set("momentumDecay", 1e300);
    flickDown();
    poster->clear();
    clock->advance(8ms + 2 * CGEventSink::kMomentumInterval);
    EXPECT_TRUE(postedExactly(poster->take(),
                              {momentumWheel(1, std::numeric_limits<std::int32_t>::min(), 0),
                               momentumWheel(2, std::numeric_limits<std::int32_t>::min(), 0),
                               momentumWheel(2, std::numeric_limits<std::int32_t>::min(), 0)}));
}

TEST_F(SinkTest, DestroyingTheSinkStopsItsMomentum) {
    flickDown();
    EXPECT_EQ(clock->pendingCount(), 1u);
    poster->clear();
    sink.reset();
    clock->advance(1s);
    EXPECT_EQ(poster->count(), 0u);
}

// --- Statistics ----------------------------------------------------------------------------

TEST_F(SinkTest, StatisticsCountPostedVerticalPointsAndThePeakGain) {
    defaults->set("scrollGain", 2);
    sink->scroll(0, -1, ScrollPhase::began);      // |sy| 2
    sink->scroll(0, -1.25, ScrollPhase::changed); // |sy| 2.5 (not the rounded 3)
    defaults->set("scrollGain", 1);
    sink->scroll(0, -0.5, ScrollPhase::momentum); // 0.5
    sink->scroll(0, 99, ScrollPhase::ended);      // nothing
    EXPECT_EQ(sink->scrollStats(), (std::pair<double, double>{5, 2}));

    // Momentum ticks add their rounded vertical deltas (velocity: the mean, -5/3).
    clock->advance(5s);
    double ticks = 0;
    for (const auto& e : expectedMomentum(-5.0 / 3, 0.955)) {
        ticks += std::abs(e.wheel1);
    }
    EXPECT_GT(ticks, 0);
    EXPECT_EQ(sink->totalScrolledY(), 5 + ticks);

    sink->resetScrollStats();
    EXPECT_EQ(sink->scrollStats(), (std::pair<double, double>{0, 0}));
    sink->setTotalScrolledY(7);
    sink->setPeakGain(9);
    EXPECT_EQ(sink->totalScrolledY(), 7);
    EXPECT_EQ(sink->peakGain(), 9);
}

// --- Magnification -------------------------------------------------------------------------

TEST_F(SinkTest, MagnifyAndSmartZoomPostZoomGestures) {
    sink->magnify(0.25, ScrollPhase::began);
    sink->magnify(-0.1, ScrollPhase::changed);
    sink->magnify(0.5, ScrollPhase::momentum);
    sink->magnify(0, ScrollPhase::ended);
    sink->magnify(std::nan(""), ScrollPhase::changed); // dropped
    sink->magnify(-std::numeric_limits<double>::infinity(), ScrollPhase::changed);
    sink->smartZoom();
    Event smartBegin = gesture(22);
    smartBegin.setIntegerField(132, 1);
    Event smartEnd = gesture(22);
    smartEnd.setIntegerField(132, 4);
    EXPECT_TRUE(postedExactly(poster->take(), {zoom(0.25, 1), zoom(-0.1, 2), zoom(0.5, 2),
                                               zoom(0, 4), smartBegin, smartEnd}));
}

TEST_F(SinkTest, MagnifyProbeIsOneFixedZoomGesture) {
    sink->magnifyProbe();
    std::vector<Event> expected{zoom(0, 1)};
    for (int i = 0; i < 12; ++i) {
        expected.push_back(zoom(0.08, 2));
    }
    expected.push_back(zoom(0, 4));
    EXPECT_TRUE(postedExactly(poster->take(), expected));
}

TEST_F(SinkTest, EachPostOutsideABatchIsFlushedAndABatchFlushesOnce) {
    sink->keyCombo(1, {});
    EXPECT_EQ(poster->flushCount(), 2u);
    {
        platform::EventBatch batch;
        sink->keyCombo(1, KeyModifiers::command);
        sink->showDesktop();
        EXPECT_EQ(poster->flushCount(), 2u);
    }
    EXPECT_EQ(poster->flushCount(), 3u);
}

} // namespace
