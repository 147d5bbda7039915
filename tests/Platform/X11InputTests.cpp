// test-labels: x11
// test-timeout: 240
// The input path on a real X server: control messages through the injector into the X11
// backend, as a second X client (or a terminal) sees them arrive.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/X11Desktop.hpp"
#include "Platform/Input/X11InputBackend.hpp"
#include "Platform/Permission/InputPermission.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Input/InputGate.hpp"
#include "WireProtocol/KeyCodes.hpp"

#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

// After gtest: Xlib defines macros (None, Bool, ...) that clash with its templates.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <fstream>
#include <functional>
#include <limits>
#include <sstream>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using platform::X11InputBackend;
using quillon::testing::ChildProcess;
using quillon::testing::TempDir;
using quillon::testing::waitUntil;
using quillon::testing::XInputObserver;
using quillon::testing::XvfbServer;
using Rec = XInputObserver::Record;
namespace cm = wire::cm;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;
using wire::TrackpadGesture;

// An X11 backend that can close the lock gate after a number of text runs: the screen locks
// in the middle of a long text.
class GatedX11Backend : public X11InputBackend {
public:
    using X11InputBackend::X11InputBackend;
    std::function<void()> afterText;
    void typeText(std::u32string_view text) override {
        X11InputBackend::typeText(text);
        if (afterText) {
            afterText();
        }
    }
};

// One host input stack against one X server, with its own user defaults.
struct Stack {
    explicit Stack(const XvfbServer& x, int textPoolSize = 16,
                   std::chrono::milliseconds reconnect = 2000ms)
        : defaults(dir.path() + "/defaults.json"),
          geometry(std::make_shared<platform::X11DisplayGeometry>(x.display(), 50ms)) {
        X11InputBackend::Options o;
        o.display = x.display();
        o.geometry = geometry;
        o.textPoolSize = textPoolSize;
        o.reconnectInterval = reconnect;
        backend = std::make_shared<GatedX11Backend>(o);
        injector = EventInjector::create({.backend = backend,
                                          .geometry = geometry,
                                          .defaults = defaults,
                                          .gate = gate,
                                          .scheduler = timers});
    }
    void handle(const wire::ControlMessage& m) { injector->handle(m); }
    void sync() { backend->sync(); }

    TempDir dir;
    platform::Defaults defaults;
    std::shared_ptr<platform::X11DisplayGeometry> geometry;
    std::shared_ptr<GatedX11Backend> backend;
    std::shared_ptr<InputGate> gate = std::make_shared<InputGate>();
    std::shared_ptr<platform::ManualScheduler> timers =
        std::make_shared<platform::ManualScheduler>();
    std::shared_ptr<EventInjector> injector;
};

std::vector<unsigned> pressedButtons(const std::vector<Rec>& records) {
    std::vector<unsigned> out;
    for (const auto& r : XInputObserver::only(records, Rec::buttonPress)) {
        out.push_back(r.detail);
    }
    return out;
}

std::vector<std::string> pressedKeys(const std::vector<Rec>& records) {
    std::vector<std::string> out;
    for (const auto& r : XInputObserver::only(records, Rec::keyPress)) {
        out.push_back(r.keysym);
    }
    return out;
}

// --- pointer ------------------------------------------------------------------------------------

TEST(X11Input, MovesLandOnTheMainDisplayAwayFromTheOriginAndStayOnIt) {
    XvfbServer x({.width = 1600, .height = 700});
    x.setMonitors({{"left", 0, 0, 800, 700, false}, {"right", 800, 100, 800, 600, true}});
    Stack s(x);
    XInputObserver obs(x.display(), false);
    ASSERT_EQ(s.geometry->mainBounds(), (platform::Rect{0, 0, 800, 600}));
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
        s.sync();
        EXPECT_EQ(obs.pointer().x, step.x) << step.message.description();
        EXPECT_EQ(obs.pointer().y, step.y) << step.message.description();
    }

    // At Xft.dpi 192 a point is two pixels.
    x.setXftDpi(192);
    ASSERT_TRUE(waitUntil([&] { return s.geometry->pixelsPerPoint() == 2.0; }, 5s));
    s.backend->movePointerTo({100, 50});
    s.sync();
    EXPECT_EQ(obs.pointer().x, 1000);
    EXPECT_EQ(obs.pointer().y, 200);
}

TEST(X11Input, ButtonsDragsAndMultiClicksArriveAsALinuxUserExpects) {
    XvfbServer x({.width = 800, .height = 600});
    Stack s(x);
    XInputObserver obs(x.display());

    // A drag: press, two moves, release.
    s.handle(cm::PointerAbsolute{0.125f, 1.0f / 6, 0}); // (100, 100)
    s.handle(cm::MouseButton{MouseButton::left, true});
    s.handle(cm::PointerRelative{50, 20});
    s.handle(cm::PointerRelative{50, 20});
    s.sync();
    EXPECT_TRUE(obs.pointer().mask & Button1Mask);
    s.handle(cm::MouseButton{MouseButton::left, false});
    auto rec =
        obs.waitFor([](auto& r) { return !XInputObserver::only(r, Rec::buttonRelease).empty(); });
    const auto presses = XInputObserver::only(rec, Rec::buttonPress);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].detail, 1u);
    EXPECT_EQ(presses[0].x, 100);
    const auto motions = XInputObserver::only(rec, Rec::motion);
    ASSERT_FALSE(motions.empty());
    EXPECT_EQ(motions.back().x, 200);
    EXPECT_EQ(motions.back().y, 140);
    for (const auto& m : motions) {
        if (m.x > 100) {
            EXPECT_TRUE(m.state & Button1Mask) << "motion at " << m.x << " without the button";
        }
    }
    EXPECT_FALSE(obs.anyButtonDown());
    obs.clear();

    // Right and middle buttons; a double click as two press/release pairs at the spot.
    s.handle(cm::MouseButton{MouseButton::right, true});
    s.handle(cm::MouseButton{MouseButton::right, false});
    s.handle(cm::MouseButton{MouseButton::middle, true});
    s.handle(cm::MouseButton{MouseButton::middle, false});
    s.handle(cm::PointerAbsolute{0.375f, 1.0f / 3, 0}); // (300, 200)
    s.handle(cm::MultiClick{MouseButton::left, 2});
    rec = obs.waitFor(
        [](auto& r) { return XInputObserver::only(r, Rec::buttonRelease).size() >= 4; });
    EXPECT_EQ(pressedButtons(rec), (std::vector<unsigned>{3, 2, 1, 1}));
    std::vector<Rec> clicks;
    for (const auto& r : rec) {
        if ((r.kind == Rec::buttonPress || r.kind == Rec::buttonRelease) && r.detail == 1) {
            clicks.push_back(r);
        }
    }
    ASSERT_EQ(clicks.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(clicks[i].kind, i % 2 == 0 ? Rec::buttonPress : Rec::buttonRelease);
        EXPECT_EQ(clicks[i].x, 300);
        EXPECT_EQ(clicks[i].y, 200);
    }
}

// --- keys ---------------------------------------------------------------------------------------

TEST(X11Input, KeyTableMatchesTheKeysOfARealKeymap) {
    XvfbServer x({.width = 320, .height = 200});
    quillon::testing::XConnection c(x.display());
    // Wire key code -> keysym name at the first level of a US keymap.
    const std::pair<std::uint16_t, const char*> keys[] = {
        {0, "a"},
        {11, "b"},
        {8, "c"},
        {2, "d"},
        {14, "e"},
        {3, "f"},
        {5, "g"},
        {4, "h"},
        {34, "i"},
        {38, "j"},
        {40, "k"},
        {37, "l"},
        {46, "m"},
        {45, "n"},
        {31, "o"},
        {35, "p"},
        {12, "q"},
        {15, "r"},
        {1, "s"},
        {17, "t"},
        {32, "u"},
        {9, "v"},
        {13, "w"},
        {7, "x"},
        {16, "y"},
        {6, "z"},
        {29, "0"},
        {18, "1"},
        {19, "2"},
        {20, "3"},
        {21, "4"},
        {23, "5"},
        {22, "6"},
        {26, "7"},
        {28, "8"},
        {25, "9"},
        {27, "minus"},
        {24, "equal"},
        {33, "bracketleft"},
        {30, "bracketright"},
        {42, "backslash"},
        {41, "semicolon"},
        {39, "apostrophe"},
        {50, "grave"},
        {43, "comma"},
        {47, "period"},
        {44, "slash"},
        {10, "less"},
        {36, "Return"},
        {48, "Tab"},
        {49, "space"},
        {51, "BackSpace"},
        {53, "Escape"},
        {117, "Delete"},
        {114, "Insert"},
        {115, "Home"},
        {119, "End"},
        {116, "Prior"},
        {121, "Next"},
        {123, "Left"},
        {124, "Right"},
        {125, "Down"},
        {126, "Up"},
        {122, "F1"},
        {120, "F2"},
        {99, "F3"},
        {118, "F4"},
        {96, "F5"},
        {97, "F6"},
        {98, "F7"},
        {100, "F8"},
        {101, "F9"},
        {109, "F10"},
        {103, "F11"},
        {111, "F12"},
        {56, "Shift_L"},
        {60, "Shift_R"},
        {59, "Control_L"},
        {62, "Control_R"},
        {58, "Alt_L"},
        {57, "Caps_Lock"},
        {76, "KP_Enter"},
        {67, "KP_Multiply"},
        {69, "KP_Add"},
        {78, "KP_Subtract"},
        {75, "KP_Divide"},
        {81, "KP_Equal"},
        {65, "KP_Delete"},
        {82, "KP_Insert"},
        {89, "KP_Home"},
        {92, "KP_Prior"},
        {71, "Num_Lock"},
        {110, "Menu"},
        {74, "XF86AudioMute"},
        {72, "XF86AudioRaiseVolume"},
        {102, "Hangul_Hanja"},
        {104, "Hangul"},
    };
    for (const auto& [key, name] : keys) {
        const auto code = wire::evdevKeyFor(key, wire::CommandKeyRole::control);
        ASSERT_TRUE(code) << key;
        const KeySym sym = XkbKeycodeToKeysym(c, static_cast<KeyCode>(*code + 8), 0, 0);
        const char* got = XKeysymToString(sym);
        EXPECT_STREQ(got ? got : "(none)", name) << "wire key " << key;
    }
    // Command is Control by default, Super on request; both sides.
    const auto sym = [&](std::uint16_t key, wire::CommandKeyRole role) {
        const char* s = XKeysymToString(
            XkbKeycodeToKeysym(c, static_cast<KeyCode>(*wire::evdevKeyFor(key, role) + 8), 0, 0));
        return std::string(s ? s : "");
    };
    EXPECT_EQ(sym(55, wire::CommandKeyRole::control), "Control_L");
    EXPECT_EQ(sym(54, wire::CommandKeyRole::control), "Control_R");
    EXPECT_EQ(sym(55, wire::CommandKeyRole::super), "Super_L");
    EXPECT_EQ(sym(54, wire::CommandKeyRole::super), "Super_R");
    // Every JIS, F13-F20 and keypad key has a code; fn and codes off the keyboards do not.
    for (const std::uint16_t key :
         {93, 94, 95, 105, 107, 113, 106, 64, 79, 80, 90, 83, 84, 85, 86, 87, 88, 91, 61}) {
        EXPECT_TRUE(wire::evdevKeyFor(key, wire::CommandKeyRole::control)) << key;
    }
    for (const std::uint16_t key : {63, 52, 66, 68, 70, 77, 108, 112, 127, 128, 0xFFFF}) {
        EXPECT_FALSE(wire::evdevKeyFor(key, wire::CommandKeyRole::control)) << key;
    }
}

TEST(X11Input, CommandCArrivesAsControlCOrSuperCAndSharedModifiersStayHeld) {
    XvfbServer x({.width = 320, .height = 200});
    Stack s(x);
    XInputObserver obs(x.display());

    const auto commandC = [&] {
        s.handle(cm::KeyCombo{8, KeyModifiers::command});
        return obs.waitFor(
            [](auto& r) { return XInputObserver::only(r, Rec::keyRelease).size() >= 2; });
    };
    auto rec = commandC();
    auto press = XInputObserver::only(rec, Rec::keyPress);
    ASSERT_EQ(press.size(), 2u);
    EXPECT_EQ(press[0].keysym, "Control_L");
    EXPECT_EQ(press[1].keysym, "c");
    EXPECT_TRUE(press[1].state & ControlMask);
    EXPECT_FALSE(obs.anyKeyDown());
    obs.clear();

    s.defaults.set("commandKey", "super");
    rec = commandC();
    press = XInputObserver::only(rec, Rec::keyPress);
    ASSERT_EQ(press.size(), 2u);
    EXPECT_EQ(press[0].keysym, "Super_L");
    EXPECT_EQ(press[1].keysym, "c");
    EXPECT_TRUE(press[1].state & Mod4Mask);
    EXPECT_FALSE(press[1].state & ControlMask);
    obs.clear();

    // Command (as Control) and Control latched together: lifting one keeps Control down.
    s.defaults.set("commandKey", "control");
    s.handle(cm::SetStickyModifiers{KeyModifiers::command | KeyModifiers::control});
    s.handle(cm::SetStickyModifiers{KeyModifiers::control});
    s.sync();
    EXPECT_TRUE(obs.keyDown("Control_L"));
    s.handle(cm::SetStickyModifiers{});
    s.sync();
    EXPECT_FALSE(obs.anyKeyDown());

    // A key with no Linux key (fn) posts nothing.
    obs.clear();
    const auto before = s.backend->stats();
    s.handle(cm::KeyCombo{wire::KeyCode::function, {}});
    s.sync();
    EXPECT_TRUE(obs.settle(100ms).empty());
    EXPECT_EQ(s.backend->stats().keys, before.keys);
}

// --- text ---------------------------------------------------------------------------------------

const std::string kTypedExpected =
    "héllo wörld €😀 中文\nhéllo wörld €😀 中文\nabcdefghijklmnopqrs😀\n";

// Types into xterm running `cat > file` and returns what the file received.
std::string typeIntoTerminal(int poolSize) {
    XvfbServer x({.width = 640, .height = 480});
    TempDir dir;
    const std::string file = dir.path() + "/typed.txt";
    ChildProcess::Options xo;
    // The terminal reads the keys; the shell behind it writes every line to the file.
    xo.argv = {"xterm", "-u8", "-geometry", "80x10+0+0",
               "-e",    "sh",  "-c",        "stty -echo; exec cat > '" + file + "'"};
    xo.env["DISPLAY"] = x.display();
    xo.env["LANG"] = "C.UTF-8";
    xo.env["LC_ALL"] = "C.UTF-8";
    xo.outputFile = dir.path() + "/xterm.log";
    ChildProcess xterm(xo);
    EXPECT_TRUE(waitUntil([&] { return std::ifstream(file).good(); }, 15s)) << xterm.output();

    Stack s(x, poolSize);
    // No window manager: keys go to the window under the pointer, once the terminal has
    // shown it (the shell may be running before the window is).
    s.backend->movePointerTo({40, 40});
    s.sync();
    quillon::testing::XConnection c(x.display());
    EXPECT_TRUE(waitUntil(
        [&] {
            Window root = 0, child = 0;
            int rx = 0, ry = 0, wx = 0, wy = 0;
            unsigned mask = 0;
            XQueryPointer(c, DefaultRootWindow(c.get()), &root, &child, &rx, &ry, &wx, &wy, &mask);
            XWindowAttributes attrs{};
            return child != 0 && XGetWindowAttributes(c, child, &attrs) != 0 &&
                   attrs.map_state == IsViewable;
        },
        15s));
    const std::string line = "héllo wörld €😀 中文\n";
    s.handle(cm::TextInput{line + line});
    // The emoji as the 20th character of a run, and a CR LF that is one line break.
    s.handle(cm::TextInput{"abcdefghijklmnopqrs😀\r\n"});

    std::string got;
    waitUntil(
        [&] {
            std::ifstream f(file);
            std::stringstream ss;
            ss << f.rdbuf();
            got = ss.str();
            return got.size() >= kTypedExpected.size();
        },
        10s);
    EXPECT_GT(s.backend->stats().remaps, 0u);
    return got;
}

TEST(X11Input, TextArrivesExactlyInARealApplicationTwiceInARow) {
    EXPECT_EQ(typeIntoTerminal(16), kTypedExpected);
}

// Three spare keycodes for six characters the keymap lacks: slots are remapped while the
// terminal may still be reading the earlier keys, and no character may come out wrong.
TEST(X11Input, TextSurvivesReusingASmallPoolOfSpareKeycodes) {
    EXPECT_EQ(typeIntoTerminal(3), kTypedExpected);
}

TEST(X11Input, TextIsTypedWithoutHeldModifiersOrCapsLock) {
    XvfbServer x({.width = 320, .height = 200});
    Stack s(x);
    XInputObserver obs(x.display());

    s.handle(cm::SetStickyModifiers{KeyModifiers::command}); // Control latched
    s.sync();
    obs.clear();
    s.handle(cm::TextInput{"x\x07"
                           "A\t"});
    auto rec = obs.waitFor([](auto& r) {
        return !r.empty() && r.back().kind == Rec::keyPress && r.back().keysym == "Control_L";
    });
    std::vector<std::string> typed;
    for (const auto& r : XInputObserver::only(rec, Rec::keyPress)) {
        if (r.keysym != "Control_L" && r.keysym != "Shift_L") {
            typed.push_back(r.keysym);
            EXPECT_FALSE(r.state & ControlMask) << r.keysym << " typed with Control held";
        }
    }
    EXPECT_EQ(typed, (std::vector<std::string>{"x", "A", "Tab"}));
    EXPECT_TRUE(obs.keyDown("Control_L")); // put back after the text
    s.handle(cm::SetStickyModifiers{});
    s.sync();
    EXPECT_FALSE(obs.anyKeyDown());

    // Caps Lock on: text still comes out as written, and the lock stays on afterwards.
    const auto locked = [&] {
        XkbStateRec st{};
        XkbGetState(obs.display(), XkbUseCoreKbd, &st);
        return (st.locked_mods & LockMask) != 0;
    };
    s.handle(cm::KeyCombo{wire::KeyCode::capsLock, {}});
    s.sync();
    ASSERT_TRUE(locked());
    obs.clear();
    s.handle(cm::TextInput{"aB"});
    s.sync();
    typed.clear();
    for (const auto& r : XInputObserver::only(obs.settle(), Rec::keyPress)) {
        if (r.keysym != "Caps_Lock" && r.keysym != "Shift_L") {
            typed.push_back(r.keysym);
        }
    }
    EXPECT_EQ(typed, (std::vector<std::string>{"a", "B"}));
    EXPECT_TRUE(locked());
}

TEST(X11Input, ALockInTheMiddleOfALongTextStopsItAfterTheRunUnderWay) {
    XvfbServer x({.width = 640, .height = 480});
    Stack s(x);
    int runs = 0;
    s.backend->afterText = [&] {
        if (++runs == 3) {
            s.gate->close();
        }
    };
    XInputObserver obs(x.display());
    obs.clear();
    s.handle(cm::TextInput{std::string(2000, 'q')});
    s.sync();
    const auto presses = XInputObserver::only(obs.settle(), Rec::keyPress);
    EXPECT_EQ(presses.size(), 60u); // three runs of 20, not one character more
    for (const auto& r : presses) {
        EXPECT_EQ(r.keysym, "q");
    }
}

// --- scrolling, zoom and the desktop ------------------------------------------------------------

TEST(X11Input, ScrollBecomesWheelClicksWithTheRemainderKept) {
    XvfbServer x({.width = 320, .height = 200});
    Stack s(x);
    s.defaults.set("momentumEnabled", false);
    XInputObserver obs(x.display());
    s.handle(cm::PointerAbsolute{0.5f, 0.5f, 0});
    s.sync();
    obs.clear();

    // Three changes of dy = -3 at gain 3: the finger moves up, the page scrolls down, as
    // wheel "down" (button 5) does; 27 pixels are two clicks, 7 kept.
    for (int i = 0; i < 3; ++i) {
        s.handle(cm::Scroll{0, -3, ScrollPhase::changed});
    }
    s.sync();
    auto rec = obs.settle();
    EXPECT_EQ(pressedButtons(rec), (std::vector<unsigned>{5, 5}));
    EXPECT_EQ(XInputObserver::only(rec, Rec::buttonRelease).size(), 2u);
    obs.clear();

    // The kept 7 px count toward the next scroll (-3 more: a click); the horizontal axis
    // (content right: button 6, left: 7).
    s.handle(cm::Scroll{0, -1, ScrollPhase::changed});
    s.handle(cm::Scroll{4, 0, ScrollPhase::changed});   // 12 px: one click of 6, 2 kept
    s.handle(cm::Scroll{-10, 0, ScrollPhase::changed}); // a turn: the 2 kept go, -30: 3 of 7
    s.sync();
    rec = obs.settle();
    EXPECT_EQ(pressedButtons(rec), (std::vector<unsigned>{5, 6, 7, 7, 7}));
    obs.clear();

    // The backend drops a remainder when the direction turns: half a click down never
    // swallows a click up.
    s.backend->wheel(-60, 0);
    s.backend->wheel(120, 0);
    s.sync();
    EXPECT_EQ(pressedButtons(obs.settle()), (std::vector<unsigned>{4}));
    // Absurd amounts are capped, not replayed for minutes.
    const auto before = s.backend->stats().wheelClicks;
    s.handle(cm::Scroll{0, -1e30f, ScrollPhase::changed});
    EXPECT_EQ(s.backend->stats().wheelClicks, before + 100u);
}

TEST(X11Input, ZoomIsControlWheelAndSmartZoomDoesNothing) {
    XvfbServer x({.width = 320, .height = 200});
    Stack s(x);
    XInputObserver obs(x.display());
    s.handle(cm::PointerAbsolute{0.5f, 0.5f, 0});
    s.sync();
    obs.clear();

    s.handle(cm::Magnify{0, ScrollPhase::began});
    s.handle(cm::Magnify{0.25f, ScrollPhase::changed});  // two clicks in, 0.05 kept
    s.handle(cm::Magnify{-0.15f, ScrollPhase::changed}); // -0.1: one click out
    s.handle(cm::Magnify{0, ScrollPhase::ended});
    s.handle(cm::Gesture{TrackpadGesture::smartZoom});
    s.sync();
    const auto rec = obs.settle();
    EXPECT_EQ(pressedButtons(rec), (std::vector<unsigned>{4, 4, 5}));
    for (const auto& p : XInputObserver::only(rec, Rec::buttonPress)) {
        EXPECT_TRUE(p.state & ControlMask);
    }
    EXPECT_FALSE(obs.anyKeyDown());
    EXPECT_EQ(pressedKeys(rec), (std::vector<std::string>{"Control_L", "Control_L"}));
}

TEST(X11Input, SwipesSwitchWorkspacesAndPlainF11TogglesShowingTheDesktop) {
    XvfbServer x({.width = 640, .height = 480, .windowManager = true, .desktops = 4});
    Stack s(x);
    quillon::testing::XConnection c(x.display());
    const auto current = [&] { return platform::rootCardinal(c, "_NET_CURRENT_DESKTOP"); };
    const auto showing = [&] {
        return platform::rootCardinal(c, "_NET_SHOWING_DESKTOP").value_or(0);
    };
    ASSERT_EQ(current(), 0);
    const std::pair<bool, long> steps[] = {
        {true, 1}, {true, 2}, {false, 1}, {false, 0}, {false, 0}, // no wrap at the left end
        {true, 1}, {true, 2}, {true, 3},  {true, 3},              // nor at the right end
    };
    for (const auto& step : steps) {
        const bool right = step.first;
        const long expected = step.second;
        s.handle(cm::Gesture{right ? TrackpadGesture::threeFingerRight
                                   : TrackpadGesture::threeFingerLeft});
        EXPECT_TRUE(waitUntil([&] { return current() == expected; }, 10s))
            << (right ? "right" : "left") << " -> " << expected << ", at "
            << current().value_or(-1);
        // Settle before the next swipe: the window manager answers asynchronously.
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(current(), expected);
    }

    ASSERT_EQ(showing(), 0);
    s.handle(cm::KeyCombo{wire::KeyCode::f11, {}});
    EXPECT_TRUE(waitUntil([&] { return showing() == 1; }, 10s));
    s.handle(cm::Gesture{TrackpadGesture::showDesktop});
    EXPECT_TRUE(waitUntil([&] { return showing() == 0; }, 10s));

    // F11 with a modifier is an ordinary key.
    XInputObserver obs(x.display(), false);
    s.handle(cm::SetStickyModifiers{KeyModifiers::shift});
    s.handle(cm::KeyCombo{wire::KeyCode::f11, KeyModifiers::shift});
    s.sync();
    EXPECT_TRUE(obs.keyDown("Shift_L"));
    s.handle(cm::SetStickyModifiers{});
    s.sync();
    EXPECT_FALSE(obs.anyKeyDown());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(showing(), 0);
}

TEST(X11Input, TheOverviewIsTheConfiguredCombinationOnThisKeymap) {
    XvfbServer x({.width = 320, .height = 200});
    Stack s(x);
    XInputObserver obs(x.display());
    struct Case {
        const char* combination; // empty: the default
        std::vector<std::string> pressed;
    };
    const Case cases[] = {
        {"", {"Super_L"}},
        {"Control+Alt+Down", {"Control_L", "Alt_L", "Down"}},
        {"ctrl + shift+f3", {"Control_L", "Shift_L", "F3"}},
        {"Hyperdrive", {}},
        {"Super+", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.combination);
        if (*c.combination == '\0') {
            s.defaults.remove("overviewKey");
        } else {
            s.defaults.set("overviewKey", c.combination);
        }
        obs.clear();
        s.handle(cm::Gesture{TrackpadGesture::threeFingerUp});
        s.sync();
        EXPECT_EQ(pressedKeys(obs.settle()), c.pressed);
        EXPECT_FALSE(obs.anyKeyDown());
    }
}

// --- releasing, permission, failures ------------------------------------------------------------

TEST(X11Input, ReleaseAllLeavesNothingDownAndALockKeyAsTheUserHadIt) {
    XvfbServer x({.width = 640, .height = 480});
    Stack s(x);
    XInputObserver obs(x.display(), false);
    const auto locked = [&] {
        XkbStateRec state{};
        XkbGetState(obs.display(), XkbUseCoreKbd, &state);
        return static_cast<unsigned>(state.locked_mods);
    };
    ASSERT_EQ(locked(), 0u);
    s.handle(cm::PointerAbsolute{0.2f, 0.2f, 0});
    s.handle(cm::MouseButton{MouseButton::left, true});
    s.handle(cm::PointerRelative{40, 30});
    s.handle(cm::MouseButton{MouseButton::right, true});
    s.handle(cm::SetStickyModifiers{KeyModifiers{KeyModifiers::command, KeyModifiers::shift,
                                                 KeyModifiers::option, KeyModifiers::control}});
    s.handle(cm::KeyCombo{wire::KeyCode::keypadClear, {}}); // Num Lock
    s.sync();
    EXPECT_TRUE(obs.pointer().mask & Button1Mask);
    EXPECT_TRUE(obs.pointer().mask & Button3Mask);
    EXPECT_TRUE(obs.keyDown("Control_L"));
    EXPECT_TRUE(obs.keyDown("Shift_L"));
    EXPECT_TRUE(obs.keyDown("Alt_L"));
    EXPECT_NE(locked(), 0u);
    s.injector->releaseAll(); // what disconnection, the screen lock and exit do
    s.sync();
    EXPECT_FALSE(obs.anyButtonDown());
    EXPECT_FALSE(obs.anyKeyDown());
    EXPECT_EQ(locked(), 0u);
}

TEST(X11Input, WithoutADisplayOrXTestNothingIsPostedAndTheReasonIsSaid) {
    const std::string gone = ":4999"; // no server listens there
    XvfbServer noXTest({.width = 320, .height = 200, .xtest = false});
    struct Case {
        std::string display;
        std::string reason;
    };
    const Case cases[] = {
        {"", "no DISPLAY is set"},
        {gone, "cannot connect to X display " + gone},
        {noXTest.display(), "the X server at " + noXTest.display() + " has no XTest extension"},
    };
    for (const auto& c : cases) {
        const auto status = platform::InputPermission::check(c.display);
        EXPECT_FALSE(status.permitted) << c.display;
        EXPECT_EQ(status.reason, c.reason);

        X11InputBackend::Options o;
        o.display = c.display;
        X11InputBackend backend(o);
        EXPECT_FALSE(backend.permission().permitted);
        EXPECT_EQ(backend.permission().reason, c.reason);
        EXPECT_EQ(backend.connections(), 0u);
        // Verbs are taken and dropped (the backend retries the connection meanwhile),
        // counted, never sent.
        backend.movePointerTo({1, 1});
        backend.key(30, true);
        backend.typeText(U"text");
        backend.flush();
        EXPECT_EQ(backend.stats().motions + backend.stats().keys + backend.stats().flushes, 0u);
        EXPECT_GT(backend.stats().dropped, 0u);
    }
    XvfbServer ok({.width = 320, .height = 200});
    EXPECT_TRUE(platform::InputPermission::check(ok.display()).permitted);
    X11InputBackend::Options o;
    o.display = ok.display();
    X11InputBackend backend(o);
    EXPECT_TRUE(backend.permission().permitted);
    EXPECT_EQ(backend.permission().reason, "");
    EXPECT_EQ(backend.connections(), 1u);
}

TEST(X11Input, ALostServerStopsPostingWithoutCrashing) {
    auto x = std::make_unique<XvfbServer>(XvfbServer::Options{.width = 320, .height = 200});
    // No reconnecting during the test: the freed display number may be taken at once by an X
    // server of another test running in parallel, and the backend would rightly use it.
    Stack s(*x, 16, std::chrono::hours(1));
    ASSERT_TRUE(s.injector->permission().permitted);
    s.handle(cm::SetStickyModifiers{KeyModifiers::shift}); // held while the server goes away
    x->stop();
    for (int i = 0; i < 50; ++i) {
        s.handle(cm::PointerRelative{1, 1});
        s.handle(cm::TextInput{"€"});
        std::this_thread::sleep_for(1ms);
    }
    s.injector->releaseAll();
    EXPECT_FALSE(s.injector->permission().permitted);
    EXPECT_FALSE(s.injector->permission().reason.empty());
}

} // namespace
} // namespace quillon
