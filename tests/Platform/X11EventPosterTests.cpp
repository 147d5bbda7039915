// test-labels: x11
// test-timeout: 180
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/EventStream/X11Desktop.hpp"
#include "Platform/EventStream/X11EventPoster.hpp"
#include "Platform/EventStream/X11OverviewOpener.hpp"
#include "Platform/Permission/InputPermission.hpp"

#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

// After gtest: Xlib defines macros (None, Bool, ...) that clash with its templates.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <fstream>
#include <sstream>

namespace quillon::platform {
namespace {

using namespace std::chrono_literals;
using quillon::testing::ChildProcess;
using quillon::testing::TempDir;
using quillon::testing::waitUntil;
using quillon::testing::XInputObserver;
using quillon::testing::XvfbServer;
using Rec = XInputObserver::Record;

// --- events as the sink makes them ------------------------------------------------------------

Event pointerEvent(EventType type, double x, double y, int button = 0) {
    Event e;
    e.type = type;
    e.location = {x, y};
    e.mouseButton = button;
    return e;
}

Event keyEvent(std::uint16_t code, bool down, std::uint64_t flags = 0) {
    Event e;
    e.type = down ? EventType::keyDown : EventType::keyUp;
    e.keyCode = code;
    e.keyDown = down;
    e.flags = flags;
    return e;
}

Event wheelEvent(std::int32_t vertical, std::int32_t horizontal, std::int64_t phase,
                 bool momentum = false) {
    Event e;
    e.type = EventType::scrollWheel;
    e.wheelCount = 2;
    e.wheel1 = vertical;
    e.wheel2 = horizontal;
    e.setIntegerField(EventField::scrollIsContinuous, 1);
    e.setIntegerField(EventField::scrollPointDeltaAxis1, vertical);
    e.setIntegerField(EventField::scrollPointDeltaAxis2, horizontal);
    e.setIntegerField(momentum ? EventField::momentumPhase : EventField::scrollPhase, phase);
    return e;
}

Event gestureEvent(std::int64_t kind, std::int64_t phase, double zoom = 0) {
    Event e;
    e.type = EventType::gesture;
    e.setIntegerField(EventField::gestureKind, kind);
    e.setIntegerField(EventField::gesturePhase, phase);
    if (kind == 8) {
        e.setDoubleField(EventField::gestureZoomAmount, zoom);
    }
    return e;
}

// The twelve events of one synthesised dock swipe (three phases, two pairs each).
std::vector<Event> dockSwipe(bool right) {
    std::vector<Event> out;
    const auto bare = [] {
        Event e;
        e.type = EventType::gesture;
        e.tap = EventTap::session;
        e.hasSource = false;
        e.setIntegerField(EventField::eventType, 29);
        return e;
    };
    for (const std::int64_t p : {1, 2, 4}) {
        Event a;
        a.type = EventType::dockControl;
        a.tap = EventTap::session;
        a.hasSource = false;
        a.setIntegerField(EventField::eventType, 30);
        a.setIntegerField(EventField::gestureKind, 23);
        a.setIntegerField(EventField::gesturePhase, p);
        a.setIntegerField(135, right ? 1 : 2147483649LL);
        a.setIntegerField(123, 1);
        a.setDoubleField(119, 0.0);
        a.setDoubleField(139, 1.401298464324817e-45);
        out.push_back(a);
        out.push_back(bare());
        Event c;
        c.type = EventType::dockControl;
        c.tap = EventTap::session;
        c.hasSource = false;
        c.setIntegerField(EventField::eventType, 30);
        c.setIntegerField(EventField::gestureKind, 23);
        c.setIntegerField(EventField::gesturePhase, p);
        c.setDoubleField(124, right ? -1.0 : 1.0);
        c.setIntegerField(123, 1);
        c.setIntegerField(134, p);
        c.setDoubleField(138, 3.0);
        c.setDoubleField(169, 1e9);
        c.setDoubleField(125, 0.1);
        if (p == 4) {
            c.setDoubleField(129, right ? -9999.0 : 9999.0);
        }
        out.push_back(c);
        out.push_back(bare());
    }
    return out;
}

// Text as the sink posts it: 20-code-unit chunks, each a key-0 down/up pair.
void typeLikeTheSink(EventPoster& poster, const std::u16string& text) {
    for (std::size_t i = 0; i < text.size(); i += 20) {
        const std::u16string chunk = text.substr(i, 20);
        for (const bool down : {true, false}) {
            Event e = keyEvent(0, down);
            e.unicode = chunk;
            poster.post(e);
        }
    }
}

X11EventPoster::Options optionsFor(const XvfbServer& x, InputSettings settings = {}) {
    X11EventPoster::Options o;
    o.display = x.display();
    o.geometry = std::make_shared<X11DisplayGeometry>(x.display(), 50ms);
    o.settings = [settings] { return settings; };
    return o;
}

std::vector<unsigned> pressedButtons(const std::vector<Rec>& records) {
    std::vector<unsigned> out;
    for (const auto& r : XInputObserver::only(records, Rec::buttonPress)) {
        out.push_back(r.detail);
    }
    return out;
}

// --- pointer ------------------------------------------------------------------------------------

TEST(X11EventPoster, MovesLandOnTheMainDisplayWhenThePrimaryIsNotAtTheOrigin) {
    XvfbServer x({.width = 1600, .height = 700});
    x.setMonitors({{"left", 0, 0, 800, 700, false}, {"right", 800, 100, 800, 600, true}});
    X11EventPoster poster(optionsFor(x));
    XInputObserver obs(x.display(), false);

    struct Case {
        Point p;
        int x, y;
    };
    const Case cases[] = {
        {{0, 0}, 800, 100},
        {{10.4, 20.6}, 810, 121},
        {{799, 599}, 1599, 699},
        // Past the edges: kept on the main display, as the Mac confines the pointer to it.
        {{800, 600}, 1599, 699},
        {{-50, -1}, 800, 100},
    };
    for (const auto& c : cases) {
        poster.post(pointerEvent(EventType::mouseMoved, c.p.x, c.p.y));
        poster.sync();
        const auto p = obs.pointer();
        EXPECT_EQ(p.x, c.x) << c.p.x << "," << c.p.y;
        EXPECT_EQ(p.y, c.y) << c.p.x << "," << c.p.y;
    }

    // At Xft.dpi 192 a point is two pixels.
    x.setXftDpi(192);
    X11EventPoster::Options o = optionsFor(x);
    ASSERT_TRUE(waitUntil([&] { return o.geometry->pixelsPerPoint() == 2.0; }, 5s));
    X11EventPoster scaled(o);
    scaled.post(pointerEvent(EventType::mouseMoved, 100, 50));
    scaled.sync();
    EXPECT_EQ(obs.pointer().x, 1000);
    EXPECT_EQ(obs.pointer().y, 200);
}

TEST(X11EventPoster, ButtonsDragsAndMultiClicksArriveAsALinuxUserExpects) {
    XvfbServer x({.width = 800, .height = 600});
    X11EventPoster poster(optionsFor(x));
    XInputObserver obs(x.display());

    // A drag: press, two drag moves, release.
    poster.post(pointerEvent(EventType::leftMouseDown, 100, 100));
    poster.post(pointerEvent(EventType::leftMouseDragged, 150, 120));
    poster.post(pointerEvent(EventType::leftMouseDragged, 200, 140));
    poster.sync();
    EXPECT_TRUE(obs.pointer().mask & Button1Mask);
    poster.post(pointerEvent(EventType::leftMouseUp, 200, 140));
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
    poster.post(pointerEvent(EventType::rightMouseDown, 10, 10, 1));
    poster.post(pointerEvent(EventType::rightMouseUp, 10, 10, 1));
    poster.post(pointerEvent(EventType::otherMouseDown, 20, 20, 2));
    poster.post(pointerEvent(EventType::otherMouseUp, 20, 20, 2));
    for (int click = 1; click <= 2; ++click) {
        for (const auto t : {EventType::leftMouseDown, EventType::leftMouseUp}) {
            Event e = pointerEvent(t, 300, 200);
            e.setIntegerField(EventField::mouseClickState, click);
            poster.post(e);
        }
    }
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

TEST(X11EventPoster, KeyTableMatchesTheKeysOfARealKeymap) {
    XvfbServer x({.width = 320, .height = 200});
    quillon::testing::XConnection c(x.display());
    // macOS key code -> keysym name at the first level of a US keymap.
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
    for (const auto& [mac, name] : keys) {
        const auto code = wire::evdevKeyFor(mac, wire::CommandKeyRole::control);
        ASSERT_TRUE(code) << mac;
        const KeySym sym = XkbKeycodeToKeysym(c, static_cast<KeyCode>(*code + 8), 0, 0);
        const char* got = XKeysymToString(sym);
        EXPECT_STREQ(got ? got : "(none)", name) << "mac key " << mac;
    }
    // Command is Control by default, Super on request; both sides.
    const auto sym = [&](std::uint16_t mac, wire::CommandKeyRole role) {
        const char* s = XKeysymToString(
            XkbKeycodeToKeysym(c, static_cast<KeyCode>(*wire::evdevKeyFor(mac, role) + 8), 0, 0));
        return std::string(s ? s : "");
    };
    EXPECT_EQ(sym(55, wire::CommandKeyRole::control), "Control_L");
    EXPECT_EQ(sym(54, wire::CommandKeyRole::control), "Control_R");
    EXPECT_EQ(sym(55, wire::CommandKeyRole::super), "Super_L");
    EXPECT_EQ(sym(54, wire::CommandKeyRole::super), "Super_R");
    // Every JIS, F13-F20 and keypad key has a code; fn and codes off the keyboards do not.
    for (const std::uint16_t mac :
         {93, 94, 95, 105, 107, 113, 106, 64, 79, 80, 90, 83, 84, 85, 86, 87, 88, 91, 61}) {
        EXPECT_TRUE(wire::evdevKeyFor(mac, wire::CommandKeyRole::control)) << mac;
    }
    for (const std::uint16_t mac : {63, 52, 66, 68, 70, 77, 108, 112, 127, 128, 0xFFFF}) {
        EXPECT_FALSE(wire::evdevKeyFor(mac, wire::CommandKeyRole::control)) << mac;
    }
}

TEST(X11EventPoster, CommandCArrivesAsControlCOrSuperCAndSharedModifiersStayHeld) {
    XvfbServer x({.width = 320, .height = 200});
    InputSettings settings;
    X11EventPoster::Options o = optionsFor(x);
    o.settings = [&settings] { return settings; };
    X11EventPoster poster(o);
    XInputObserver obs(x.display());

    const auto commandC = [&] {
        poster.post(keyEvent(55, true));
        poster.post(keyEvent(8, true, EventFlags::command));
        poster.post(keyEvent(8, false, EventFlags::command));
        poster.post(keyEvent(55, false));
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

    settings.command = wire::CommandKeyRole::super;
    rec = commandC();
    press = XInputObserver::only(rec, Rec::keyPress);
    ASSERT_EQ(press.size(), 2u);
    EXPECT_EQ(press[0].keysym, "Super_L");
    EXPECT_EQ(press[1].keysym, "c");
    EXPECT_TRUE(press[1].state & Mod4Mask);
    EXPECT_FALSE(press[1].state & ControlMask);
    obs.clear();

    // Command (as Control) and Control latched together: lifting one keeps Control down.
    settings.command = wire::CommandKeyRole::control;
    poster.post(keyEvent(55, true));
    poster.post(keyEvent(59, true));
    poster.post(keyEvent(55, false));
    poster.sync();
    EXPECT_TRUE(obs.keyDown("Control_L"));
    poster.post(keyEvent(59, false));
    poster.sync();
    EXPECT_FALSE(obs.anyKeyDown());

    // Modifier changes posted as flagsChanged press and release by their flag.
    Event flags;
    flags.type = EventType::flagsChanged;
    flags.keyCode = 56;
    flags.flags = EventFlags::shift;
    poster.post(flags);
    poster.sync();
    EXPECT_TRUE(obs.keyDown("Shift_L"));
    flags.flags = 0;
    poster.post(flags);
    poster.sync();
    EXPECT_FALSE(obs.anyKeyDown());

    // A key with no Linux key (fn) posts nothing.
    obs.clear();
    const auto before = poster.stats();
    poster.post(keyEvent(63, true));
    poster.post(keyEvent(63, false));
    poster.sync();
    EXPECT_TRUE(obs.settle(100ms).empty());
    EXPECT_EQ(poster.stats().dropped, before.dropped + 2);
    EXPECT_EQ(poster.stats().keys, before.keys);
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

    X11EventPoster::Options o = optionsFor(x);
    o.textPoolSize = poolSize;
    X11EventPoster poster(o);
    // No window manager: keys go to the window under the pointer, once the terminal has
    // shown it (the shell may be running before the window is).
    poster.post(pointerEvent(EventType::mouseMoved, 40, 40));
    poster.sync();
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
    const std::u16string line = u"héllo wörld €😀 中文\n";
    typeLikeTheSink(poster, line + line);
    // A chunk boundary between the halves of a surrogate pair (units 19 and 20).
    typeLikeTheSink(poster, u"abcdefghijklmnopqrs😀\r\n");

    const std::string expected = "héllo wörld €😀 中文\nhéllo wörld €😀 中文\nabcdefghijklmnopqrs😀\n";
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
    EXPECT_GT(poster.stats().remaps, 0u);
    return got;
}

TEST(X11EventPoster, TextArrivesExactlyInARealApplicationTwiceInARow) {
    EXPECT_EQ(typeIntoTerminal(16), kTypedExpected);
}

// Three spare keycodes for six characters the keymap lacks: slots are remapped while the
// terminal may still be reading the earlier keys, and no character may come out wrong.
TEST(X11EventPoster, TextSurvivesReusingASmallPoolOfSpareKeycodes) {
    EXPECT_EQ(typeIntoTerminal(3), kTypedExpected);
}

TEST(X11EventPoster, TextDropsLoneSurrogatesAndNonCharactersAndLiftsHeldModifiers) {
    XvfbServer x({.width = 320, .height = 200});
    X11EventPoster poster(optionsFor(x));
    XInputObserver obs(x.display());

    poster.post(keyEvent(55, true)); // Command latched (Control)
    obs.clear();
    // Lone low surrogate, lone high surrogate followed by a letter, U+FFFE, U+FDD0, BEL, then
    // "A" (Shift level) and a tab.
    typeLikeTheSink(poster,
                    std::u16string{0xDC00, 0xD800, u'x', 0xFFFE, 0xFDD0, 0x07, u'A', u'\t'});
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
    poster.post(keyEvent(55, false));
    poster.sync();
    EXPECT_FALSE(obs.anyKeyDown());

    // Caps Lock on: text still comes out as written, and the lock stays on afterwards.
    const auto locked = [&] {
        XkbStateRec st{};
        XkbGetState(obs.display(), XkbUseCoreKbd, &st);
        return (st.locked_mods & LockMask) != 0;
    };
    poster.post(keyEvent(57, true));
    poster.post(keyEvent(57, false));
    poster.sync();
    ASSERT_TRUE(locked());
    obs.clear();
    typeLikeTheSink(poster, u"aB");
    poster.sync();
    typed.clear();
    for (const auto& r : XInputObserver::only(obs.settle(), Rec::keyPress)) {
        if (r.keysym != "Caps_Lock" && r.keysym != "Shift_L") {
            typed.push_back(r.keysym);
        }
    }
    EXPECT_EQ(typed, (std::vector<std::string>{"a", "B"}));
    EXPECT_TRUE(locked());
}

// --- scrolling and gestures -------------------------------------------------------------------

TEST(X11EventPoster, ScrollPixelsBecomeWheelClicksWithTheRemainderKept) {
    XvfbServer x({.width = 320, .height = 200});
    InputSettings settings;
    X11EventPoster::Options o = optionsFor(x);
    o.settings = [&settings] { return settings; };
    X11EventPoster poster(o);
    XInputObserver obs(x.display());
    poster.post(pointerEvent(EventType::mouseMoved, 100, 100));
    obs.clear();

    // Three changes of dy = -3 at gain 3: the finger moves up, the page scrolls down, as
    // wheel "down" (button 5) does.
    for (int i = 0; i < 3; ++i) {
        poster.post(wheelEvent(-9, 0, 2));
        poster.post(gestureEvent(6, 2)); // the scroll companion adds nothing
    }
    poster.sync();
    auto rec = obs.settle();
    EXPECT_EQ(pressedButtons(rec), (std::vector<unsigned>{5, 5}));
    EXPECT_EQ(XInputObserver::only(rec, Rec::buttonRelease).size(), 2u);
    EXPECT_DOUBLE_EQ(poster.scrollRemainder().first, -7);
    obs.clear();

    // The kept 7 px count toward the next scroll; momentum events count too; the other
    // direction and the horizontal axis (positive: content right, button 6).
    poster.post(wheelEvent(-3, 0, 1, true)); // -10: one click
    poster.post(wheelEvent(25, 0, 2, true)); // +25: two clicks of 4, 5 kept
    poster.post(wheelEvent(0, 0, 3, true));
    poster.post(wheelEvent(0, 12, 2));  // one click of 6, 2 kept
    poster.post(wheelEvent(0, -30, 2)); // 2 kept - 30 = -28: two clicks of 7, -8 kept
    poster.sync();
    rec = obs.settle();
    EXPECT_EQ(pressedButtons(rec), (std::vector<unsigned>{5, 4, 4, 6, 7, 7}));
    EXPECT_DOUBLE_EQ(poster.scrollRemainder().first, 5);
    EXPECT_DOUBLE_EQ(poster.scrollRemainder().second, -8);
    obs.clear();

    // Pixels per click from the settings; absurd deltas are capped, not replayed for minutes.
    // The kept half click stays half a click whatever the setting becomes.
    settings.scrollPixelsPerClick = 4;
    poster.post(wheelEvent(6, 0, 2)); // half a click + 1.5 clicks: two clicks
    poster.sync();
    rec = obs.settle();
    EXPECT_EQ(pressedButtons(rec), (std::vector<unsigned>{4, 4}));
    poster.post(wheelEvent(std::numeric_limits<std::int32_t>::min(), 0, 2));
    EXPECT_EQ(poster.stats().wheelClicks, 2u + 6u + 2u + 100u);
}

TEST(X11EventPoster, ZoomBecomesControlWheelAndOtherGesturesDoNothing) {
    XvfbServer x({.width = 320, .height = 200});
    X11EventPoster poster(optionsFor(x));
    XInputObserver obs(x.display());
    poster.post(pointerEvent(EventType::mouseMoved, 100, 100));
    obs.clear();

    poster.post(gestureEvent(8, 1, 0.0));
    poster.post(gestureEvent(8, 2, 0.25));  // two clicks in, 0.05 kept
    poster.post(gestureEvent(8, 2, -0.15)); // -0.1: one click out
    poster.post(gestureEvent(8, 4, 0.0));
    // Smart zoom, series begin/end and scroll companions: explicitly nothing.
    for (const std::int64_t kind : {22, 61, 62, 6}) {
        poster.post(gestureEvent(kind, 1));
        poster.post(gestureEvent(kind, 4));
    }
    poster.sync();
    const auto rec = obs.settle();
    const auto presses = XInputObserver::only(rec, Rec::buttonPress);
    EXPECT_EQ(pressedButtons(rec), (std::vector<unsigned>{4, 4, 5}));
    for (const auto& p : presses) {
        EXPECT_TRUE(p.state & ControlMask);
    }
    EXPECT_FALSE(obs.anyKeyDown());
    const auto keys = XInputObserver::only(rec, Rec::keyPress);
    EXPECT_EQ(keys.size(), 2u); // Control around the clicks of each of the two events
}

TEST(X11EventPoster, DockSwipesSwitchWorkspacesAndPlainF11TogglesShowingTheDesktop) {
    XvfbServer x({.width = 640, .height = 480, .windowManager = true, .desktops = 4});
    quillon::testing::XConnection c(x.display());
    const auto current = [&] { return rootCardinal(c, "_NET_CURRENT_DESKTOP"); };
    const auto showing = [&] { return rootCardinal(c, "_NET_SHOWING_DESKTOP").value_or(0); };
    X11EventPoster poster(optionsFor(x));
    ASSERT_EQ(current(), 0);

    const auto swipe = [&](bool right) {
        for (const Event& e : dockSwipe(right)) {
            poster.post(e);
        }
    };
    const std::pair<bool, long> steps[] = {
        {true, 1}, {true, 2}, {false, 1}, {false, 0}, {false, 0}, // no wrap at the left end
        {true, 1}, {true, 2}, {true, 3},  {true, 3},              // nor at the right end
    };
    for (const auto& step : steps) {
        const bool right = step.first;
        const long expected = step.second;
        swipe(right);
        EXPECT_TRUE(waitUntil([&] { return current() == expected; }, 10s))
            << (right ? "right" : "left") << " -> " << expected << ", at "
            << current().value_or(-1);
        // Settle before the next swipe: the window manager answers asynchronously.
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(current(), expected);
    }

    ASSERT_EQ(showing(), 0);
    poster.post(keyEvent(103, true));
    poster.post(keyEvent(103, false));
    EXPECT_TRUE(waitUntil([&] { return showing() == 1; }, 10s));
    poster.post(keyEvent(103, true));
    poster.post(keyEvent(103, false));
    EXPECT_TRUE(waitUntil([&] { return showing() == 0; }, 10s));

    // F11 with a modifier is an ordinary key.
    XInputObserver obs(x.display(), false);
    poster.post(keyEvent(56, true));
    poster.post(keyEvent(103, true, EventFlags::shift));
    poster.sync();
    EXPECT_TRUE(obs.keyDown("F11"));
    poster.post(keyEvent(103, false, EventFlags::shift));
    poster.post(keyEvent(56, false));
    poster.sync();
    EXPECT_FALSE(obs.anyKeyDown());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(showing(), 0);
}

// --- batching, permission, failures -------------------------------------------------------------

TEST(X11EventPoster, FlushesOncePerBatchAndOncePerPostOutsideOne) {
    XvfbServer x({.width = 320, .height = 200});
    X11EventPoster poster(optionsFor(x));
    XInputObserver obs(x.display(), false);
    const auto base = poster.stats().flushes;
    {
        EventBatch batch;
        for (int i = 0; i < 100; ++i) {
            poster.post(pointerEvent(EventType::mouseMoved, i, i));
        }
        EXPECT_EQ(poster.stats().flushes, base);
    }
    EXPECT_EQ(poster.stats().flushes, base + 1);
    poster.sync();
    EXPECT_EQ(obs.pointer().x, 99);
    poster.post(pointerEvent(EventType::mouseMoved, 5, 6));
    poster.post(pointerEvent(EventType::mouseMoved, 7, 8));
    EXPECT_EQ(poster.stats().flushes, base + 3);
    poster.sync();
    EXPECT_EQ(obs.pointer().x, 7);
}

TEST(X11EventPoster, WithoutADisplayOrXTestNothingIsPostedAndTheReasonIsSaid) {
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
        const auto status = InputPermission::check(c.display);
        EXPECT_FALSE(status.permitted) << c.display;
        EXPECT_EQ(status.reason, c.reason);

        X11EventPoster::Options o;
        o.display = c.display;
        o.settings = [] { return InputSettings{}; };
        X11EventPoster poster(o);
        EXPECT_FALSE(poster.permitted());
        EXPECT_EQ(poster.reason(), c.reason);
        // Events are taken and dropped by the backend (it retries the connection meanwhile),
        // counted, never sent.
        poster.post(pointerEvent(EventType::mouseMoved, 1, 1));
        poster.post(keyEvent(0, true));
        typeLikeTheSink(poster, u"text");
        poster.flush();
        EXPECT_EQ(poster.stats().motions + poster.stats().keys + poster.stats().flushes, 0u);
        EXPECT_GT(poster.stats().dropped, 0u);
    }
    XvfbServer ok({.width = 320, .height = 200});
    EXPECT_TRUE(InputPermission::check(ok.display()).permitted);
    X11EventPoster::Options o;
    o.display = ok.display();
    o.settings = [] { return InputSettings{}; };
    X11EventPoster poster(o);
    EXPECT_TRUE(poster.permitted());
    EXPECT_EQ(poster.reason(), "");
}

TEST(X11EventPoster, ALostServerStopsPostingWithoutCrashing) {
    auto x = std::make_unique<XvfbServer>(XvfbServer::Options{.width = 320, .height = 200});
    X11EventPoster::Options o = optionsFor(*x);
    // No reconnecting during the test: the freed display number may be taken at once by an X
    // server of another test running in parallel, and the poster would rightly use it.
    o.reconnectInterval = std::chrono::hours(1);
    X11EventPoster poster(o);
    ASSERT_TRUE(poster.permitted());
    poster.post(keyEvent(56, true)); // held while the server goes away
    x->stop();
    for (int i = 0; i < 50; ++i) {
        poster.post(pointerEvent(EventType::mouseMoved, i, i));
        typeLikeTheSink(poster, u"€");
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(poster.permitted());
    EXPECT_FALSE(poster.reason().empty());
}

TEST(X11EventPoster, ClosingThePosterReleasesWhatItHolds) {
    XvfbServer x({.width = 320, .height = 200});
    XInputObserver obs(x.display(), false);
    {
        X11EventPoster poster(optionsFor(x));
        poster.post(pointerEvent(EventType::leftMouseDown, 10, 10));
        poster.post(keyEvent(56, true));
        poster.post(keyEvent(0, true));
        poster.sync();
        ASSERT_TRUE(obs.anyButtonDown());
        ASSERT_TRUE(obs.keyDown("a"));
    }
    EXPECT_FALSE(obs.anyButtonDown());
    EXPECT_FALSE(obs.anyKeyDown());
}

// --- overview -----------------------------------------------------------------------------------

TEST(X11OverviewOpener, TapsTheConfiguredCombination) {
    using KS = std::vector<unsigned long>;
    EXPECT_EQ(X11OverviewOpener::parseCombination("Super"), (KS{XK_Super_L}));
    EXPECT_EQ(X11OverviewOpener::parseCombination("ctrl + Alt+Up"),
              (KS{XK_Control_L, XK_Alt_L, XK_Up}));
    EXPECT_EQ(X11OverviewOpener::parseCombination("Super+F3"), (KS{XK_Super_L, XK_F3}));
    for (const char* bad : {"", "+", "Super+", "Super+Nonsense", "Super++Tab"}) {
        EXPECT_FALSE(X11OverviewOpener::parseCombination(bad)) << bad;
    }

    XvfbServer x({.width = 320, .height = 200});
    XInputObserver obs(x.display());
    std::string combination = "Super";
    X11OverviewOpener opener(x.display(), [&] { return combination; });
    opener.openOverview();
    auto rec =
        obs.waitFor([](auto& r) { return !XInputObserver::only(r, Rec::keyRelease).empty(); });
    ASSERT_EQ(XInputObserver::only(rec, Rec::keyPress).size(), 1u);
    EXPECT_EQ(XInputObserver::only(rec, Rec::keyPress)[0].keysym, "Super_L");
    obs.clear();

    combination = "Control+Alt+Down";
    opener.openOverview();
    rec = obs.waitFor([](auto& r) { return XInputObserver::only(r, Rec::keyRelease).size() >= 3; });
    std::vector<std::string> pressed;
    for (const auto& r : XInputObserver::only(rec, Rec::keyPress)) {
        pressed.push_back(r.keysym);
    }
    EXPECT_EQ(pressed, (std::vector<std::string>{"Control_L", "Alt_L", "Down"}));
    EXPECT_FALSE(obs.anyKeyDown());

    obs.clear();
    combination = "Hyperdrive";
    opener.openOverview(); // logged, nothing pressed
    EXPECT_TRUE(obs.settle(100ms).empty());
}

} // namespace
} // namespace quillon::platform
