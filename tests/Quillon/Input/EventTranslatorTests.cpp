// test-labels: injection
// What each sequence the sink posts becomes in the Linux verbs: the real sink over the
// translator over a recording backend, every verb checked, nothing else emitted.
#include "InjectionTestSupport.hpp"

#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Input/EventTranslator.hpp"
#include "Platform/Input/RecordingInputBackend.hpp"
#include "Quillon/Input/CGEventSink.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Input/InputGate.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::testing;
using platform::Point;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;
using wire::TrackpadGesture;
using Verbs = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// Calls a hook after every verb, so a test can act in the middle of a long operation.
class HookedBackend : public platform::RecordingInputBackend {
public:
    std::function<void()> afterVerb;
    void typeText(std::u32string_view text) override {
        RecordingInputBackend::typeText(text);
        if (afterVerb) {
            afterVerb();
        }
    }
};

struct Rig {
    ScratchDefaults defaults;
    HookedBackend* backend = nullptr;
    std::shared_ptr<platform::EventTranslator> translator;
    std::shared_ptr<platform::ManualScheduler> clock =
        std::make_shared<platform::ManualScheduler>();
    std::shared_ptr<InputGate> gate = std::make_shared<InputGate>();
    std::shared_ptr<CGEventSink> sink;

    Rig() {
        auto b = std::make_unique<HookedBackend>();
        backend = b.get();
        platform::Defaults* d = &*defaults;
        translator = std::make_shared<platform::EventTranslator>(
            std::move(b), [d] { return platform::readInputSettings(*d); });
        auto geometry =
            std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 1440, 900});
        sink =
            std::make_shared<CGEventSink>(translator, geometry, translator, *defaults, clock, gate);
    }
};

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

TEST(EventTranslator, EachPostedSequenceBecomesExactlyTheseVerbs) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> setup; // settings, before the action
        std::function<void(CGEventSink&, platform::ManualScheduler&)> action;
        Verbs verbs;
    };
    const auto noSetup = [](Rig&) {};
    const Case cases[] = {
        {"move, then a left drag",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.moveCursor({10, 20});
             s.mouseButton(MouseButton::left, true, {10, 20});
             s.moveCursor({15.5, 25});
             s.mouseButton(MouseButton::left, false, {15.5, 25});
         },
         {"moveTo(10,20)", "moveTo(10,20)", "button(272,down)", "moveTo(15.5,25)",
          "moveTo(15.5,25)", "button(272,up)"}},
        {"right double click, middle press",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.multiClick(MouseButton::right, 2, {5, 6});
             s.mouseButton(MouseButton::middle, true, {5, 6});
         },
         {"moveTo(5,6)", "button(273,down)", "moveTo(5,6)", "button(273,up)", "moveTo(5,6)",
          "button(273,down)", "moveTo(5,6)", "button(273,up)", "moveTo(5,6)", "button(274,down)"}},
        {"Command-C is Control-C",
         noSetup,
         [](CGEventSink& s, auto&) { s.keyCombo(8, KeyModifiers::command); },
         {"key(29,down)", "key(46,down)", "key(46,up)", "key(29,up)"}},
        {"Command and Control share one Control, pressed and released once",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.keyCombo(8, KeyModifiers::command | KeyModifiers::control | KeyModifiers::shift);
         },
         {"key(29,down)", "key(42,down)", "key(46,down)", "key(46,up)", "key(42,up)",
          "key(29,up)"}},
        {"Command as Super",
         [](Rig& r) { r.defaults->set("commandKey", "super"); },
         [](CGEventSink& s, auto&) { s.keyCombo(8, KeyModifiers::command); },
         {"key(125,down)", "key(46,down)", "key(46,up)", "key(125,up)"}},
        {"plain F11 shows the desktop, Shift-F11 is a key",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.showDesktop();
             s.keyCombo(103, KeyModifiers::shift);
         },
         {"toggleShowDesktop", "key(42,down)", "key(87,down)", "key(87,up)", "key(42,up)"}},
        {"fn has no Linux key", noSetup, [](CGEventSink& s, auto&) { s.keyCombo(63, {}); }, {}},
        {"text: line breaks and tabs are keys, a pair split across chunks is joined",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.typeText("h\xC3\xA9llo\r\nw\rx\ny\t");
             s.typeText(repeat('a', 19) + "\xF0\x9F\x98\x80"); // 19 + a pair: 21 units
         },
         {"text(hU+00E9llo)", "key(28,down)", "key(28,up)", "text(w)", "key(28,down)", "key(28,up)",
          "text(x)", "key(28,down)", "key(28,up)", "text(y)", "key(15,down)", "key(15,up)",
          "text(" + repeat('a', 19) + ")", "text(U+1F600)"}},
        {"text: control characters and non-characters type nothing",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.typeText("a\x01"
                        "b\xEF\xBF\xBE"
                        "c\x7F\xC2\x85");
         },
         {"text(abc)"}},
        {"a line break in text is typed without the modifiers held",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.setModifier(KeyModifiers::command, true);
             s.typeText("a\nb");
         },
         {"key(29,down)", "text(a)", "key(29,up)", "key(28,down)", "key(28,up)", "key(29,down)",
          "text(b)"}},
        {"scroll phases: pixels at gain 3 become 12 units per pixel, both axes",
         [](Rig& r) { r.defaults->set("momentumEnabled", false); },
         [](CGEventSink& s, auto&) {
             s.scroll(0, 0, ScrollPhase::began);
             s.scroll(0, -3, ScrollPhase::changed);
             s.scroll(2, 1, ScrollPhase::changed);
             s.scroll(0, 0, ScrollPhase::ended);
         },
         {"wheel(-108,0)", "wheel(36,-72)"}},
        {"scroll: a fraction of a unit waits for the next event",
         [](Rig& r) {
             r.defaults->set("momentumEnabled", false);
             r.defaults->set("scrollPixelsPerClick", 7);
         },
         [](CGEventSink& s, auto&) {
             s.scroll(0, 1, ScrollPhase::changed); // 3 px = 51.43 units
             s.scroll(0, 1, ScrollPhase::changed); // 6 px = 102.86: 51 more
         },
         {"wheel(51,0)", "wheel(51,0)"}},
        {"momentum after a flick: one wheel verb per tick, none at its end",
         [](Rig& r) { r.defaults->set("momentumDecay", 0.5); },
         [](CGEventSink& s, platform::ManualScheduler& clock) {
             s.scroll(0, 0, ScrollPhase::began);
             for (int i = 0; i < 4; ++i) {
                 s.scroll(0, -3, ScrollPhase::changed);
             }
             s.scroll(0, 0, ScrollPhase::ended);
             clock.advance(1s);
         },
         {"wheel(-108,0)", "wheel(-108,0)", "wheel(-108,0)", "wheel(-108,0)", "wheel(-60,0)",
          "wheel(-24,0)", "wheel(-12,0)", "wheel(-12,0)"}},
        {"pinch: steps of 0.1, the remainder kept within the pinch, reset by a new one",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.magnify(0, ScrollPhase::began);
             s.magnify(0.25, ScrollPhase::changed);
             s.magnify(-0.15, ScrollPhase::changed);
             s.magnify(0.05, ScrollPhase::changed); // kept: half a step
             s.magnify(0.06, ScrollPhase::began);   // a new pinch: 0.06, not 0.11
             s.magnify(0.03, ScrollPhase::changed); // 0.09: still no step
             s.smartZoom();
         },
         {"zoom(2)", "zoom(-1)"}},
        {"dock swipes: one desktop per swipe",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.navigationSwipe(TrackpadGesture::threeFingerRight);
             s.navigationSwipe(TrackpadGesture::threeFingerRight);
             s.navigationSwipe(TrackpadGesture::threeFingerLeft);
         },
         {"switchDesktop(1)", "switchDesktop(1)", "switchDesktop(-1)"}},
        {"swipe up opens the overview, swipe down is Control-Down",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.navigationSwipe(TrackpadGesture::threeFingerUp);
             s.navigationSwipe(TrackpadGesture::threeFingerDown);
         },
         {"openOverview", "key(29,down)", "key(108,down)", "key(108,up)", "key(29,up)"}},
        {"a Num Lock toggled from the tablet is toggled back on reset, an even count is not",
         noSetup,
         [](CGEventSink& s, auto&) {
             s.keyCombo(0x47, {});
             s.resetButtonState();
             s.keyCombo(0x47, {});
             s.keyCombo(0x47, {});
             s.keyCombo(57, {}); // Caps Lock
             s.resetButtonState();
         },
         {"key(69,down)", "key(69,up)", "releaseAll", "key(69,down)", "key(69,up)", "key(69,down)",
          "key(69,up)", "key(69,down)", "key(69,up)", "key(58,down)", "key(58,up)", "releaseAll",
          "key(58,down)", "key(58,up)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        c.setup(rig);
        c.action(*rig.sink, *rig.clock);
        EXPECT_EQ(rig.backend->take(), c.verbs);
        EXPECT_EQ(rig.clock->pendingCount(), 0u);
    }
}

TEST(EventTranslator, OneFlushPerBatchAndOnePerPostOutsideOne) {
    Rig rig;
    {
        platform::EventBatch batch;
        for (int i = 0; i < 3; ++i) {
            rig.sink->moveCursor({static_cast<double>(i), 1});
        }
        rig.sink->typeText("ab");
        EXPECT_EQ(rig.backend->flushCount(), 0u);
    }
    EXPECT_EQ(rig.backend->flushCount(), 1u);
    rig.sink->moveCursor({9, 9});
    rig.sink->keyCombo(0, {});
    EXPECT_EQ(rig.backend->flushCount(), 4u);
    EXPECT_EQ(rig.backend->take(), (Verbs{"moveTo(0,1)", "moveTo(1,1)", "moveTo(2,1)", "text(ab)",
                                          "moveTo(9,9)", "key(30,down)", "key(30,up)"}));
}

TEST(EventTranslator, AbsurdScrollIsCappedAndReleasesComeThroughAfterReset) {
    Rig rig;
    rig.defaults->set("momentumEnabled", false);
    rig.sink->scroll(0, -1e30, ScrollPhase::changed);
    rig.sink->scroll(0, -1, ScrollPhase::changed); // nothing saved up from the excess
    rig.sink->mouseButton(MouseButton::left, true, {1, 1});
    rig.sink->mouseButton(MouseButton::left, true, {1, 1}); // a second press is not a verb
    rig.sink->resetButtonState();
    rig.sink->mouseButton(MouseButton::left, false, {1, 1}); // nothing held any more
    EXPECT_EQ(rig.backend->take(),
              (Verbs{"wheel(-12000,0)", "wheel(-36,0)", "moveTo(1,1)", "button(272,down)",
                     "moveTo(1,1)", "releaseAll", "moveTo(1,1)"}));
}

// The screen locks while a long text is being typed: the chunk under way ends, no other
// follows, and the rest of the message is dropped.
TEST(EventTranslator, ALockSeenWhileTypingStopsTheTextAtOnce) {
    Rig rig;
    int chunks = 0;
    rig.backend->afterVerb = [&] {
        if (++chunks == 3) {
            rig.gate->close();
        }
    };
    EventInjector injector(rig.sink, GestureMapper::defaultMapper(), *rig.defaults);
    injector.handle(wire::cm::TextInput{repeat('x', 20 * 50)});
    EXPECT_EQ(rig.backend->take(), (Verbs(3, "text(" + repeat('x', 20) + ")")));

    // Releases still pass while locked; new text waits for the gate to open.
    injector.releaseAll();
    injector.handle(wire::cm::TextInput{"late"});
    EXPECT_EQ(rig.backend->take(), (Verbs{"releaseAll"}));
    rig.gate->open();
    injector.handle(wire::cm::TextInput{"ok"});
    EXPECT_EQ(rig.backend->take(), (Verbs{"text(ok)"}));
}

TEST(EventTranslator, ALockStopsMomentumAndTheProbesWithoutAnotherEvent) {
    Rig rig;
    rig.defaults->set("momentumDecay", 1.0); // glides until stopped
    rig.sink->scroll(0, -3, ScrollPhase::changed);
    rig.sink->scroll(0, 0, ScrollPhase::ended);
    rig.clock->advance(20ms); // two ticks
    EXPECT_EQ(rig.backend->take(), (Verbs{"wheel(-108,0)", "wheel(-108,0)", "wheel(-108,0)"}));
    rig.gate->close();
    rig.clock->advance(1s);
    rig.sink->magnifyProbe();
    rig.sink->scroll(0, -3, ScrollPhase::changed);
    EXPECT_EQ(rig.backend->take(), Verbs{});
    EXPECT_EQ(rig.clock->pendingCount(), 0u);
    EXPECT_FALSE(rig.sink->momentumRunning());
}

} // namespace
