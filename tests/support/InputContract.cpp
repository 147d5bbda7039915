#include "tests/support/InputContract.hpp"

#include "Platform/Dispatch/SerialQueue.hpp"
#include "Quillon/Input/InputGate.hpp"

#include "tests/support/WaylandInputObserver.hpp"
#include "tests/support/XInputObserver.hpp"

#include <gtest/gtest.h>

// After gtest: Xlib defines macros that clash with its templates.
#include <X11/Xlib.h>

#include <cmath>
#include <functional>

namespace quillon::testing {

namespace {

namespace cm = wire::cm;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;

const char* buttonName(int code) {
    switch (code) {
    case platform::PointerButton::left:
        return "left";
    case platform::PointerButton::right:
        return "right";
    case platform::PointerButton::middle:
        return "middle";
    default:
        return "other";
    }
}

// Where the pointer is expected after the first two cases: a quarter across, half down, then
// moved by (40, -30); nothing after them moves it.
platform::Point afterMoves(const platform::Rect& a) {
    return {a.width * 0.25 + 40, a.height * 0.5 - 30};
}

struct Case {
    const char* name;
    std::vector<wire::ControlMessage> messages; // then releaseAll() when `release`
    bool release;
    std::vector<std::string> events;      // exactly these, in this order
    std::set<std::string> down;           // and exactly these held afterwards
    std::vector<std::string> withControl; // the keys pressed with Control in effect
    // Text: whether and when a server presses Shift to reach a character's level is its own
    // (wlroots types through a keymap of the text's characters): Shift is left out here.
    bool shiftIsTheLayouts = false;
    std::function<platform::Point(const platform::Rect& area)> at = afterMoves;
};

const std::vector<Case>& contract() {
    static const std::vector<Case> cases = {
        {.name = "an absolute move lands on its point of the selected area",
         .messages = {cm::PointerAbsolute{0.25f, 0.5f, 0}},
         .release = false,
         .at =
             [](const platform::Rect& a) {
                 return platform::Point{a.width * 0.25, a.height * 0.5};
             }},
        {.name = "a relative move goes on from there",
         .messages = {cm::PointerRelative{40, -30}},
         .release = false},
        {.name = "a press holds the left button",
         .messages = {cm::MouseButton{MouseButton::left, true}},
         .release = false,
         .events = {"+left"},
         .down = {"left"}},
        {.name = "a release lets it go; a right click is one press and release",
         .messages = {cm::MouseButton{MouseButton::left, false},
                      cm::MultiClick{MouseButton::right, 1}},
         .release = false,
         .events = {"-left", "+right", "-right"}},
        {.name = "Command-C is c with Control, nothing left down",
         .messages = {cm::KeyCombo{8, KeyModifiers::command}},
         .release = false,
         .events = {"+Control_L", "+c", "-c", "-Control_L"},
         .withControl = {"c"}},
        {.name = "text arrives as its characters; a latched Control lets go around it",
         .messages = {cm::SetStickyModifiers{KeyModifiers::control}, cm::TextInput{"Hi, Go!"},
                      cm::SetStickyModifiers{}},
         .release = false,
         .events = {"+Control_L", "-Control_L", "+H", "-H", "+i", "-i", "+comma", "-comma",
                    "+space", "-space", "+G", "-G", "+o", "-o", "+exclam", "-exclam", "+Control_L",
                    "-Control_L"},
         .shiftIsTheLayouts = true},
        {.name = "a finger moving down turns the wheel up",
         .messages = {cm::Scroll{0, 10.0f / 3, ScrollPhase::changed}},
         .release = false,
         .events = {"wheel up"}},
        {.name = "and moving up turns it down",
         .messages = {cm::Scroll{0, -20.0f / 3, ScrollPhase::changed}},
         .release = false,
         .events = {"wheel down"}},
        {.name = "releasing all lets go of held buttons and latched modifiers",
         .messages = {cm::MouseButton{MouseButton::left, true},
                      cm::SetStickyModifiers{KeyModifiers::control | KeyModifiers::shift}},
         .release = true,
         .events = {"+left", "+Shift_L", "+Control_L", "-left", "-Control_L", "-Shift_L"}},
    };
    return cases;
}

} // namespace

void Seen::add(std::string event) {
    if (event.starts_with("wheel") && !events.empty() && events.back() == event) {
        return;
    }
    events.push_back(std::move(event));
}

Seen lookX11(XInputObserver& observer, std::chrono::milliseconds quiet) {
    const auto records = observer.settle(quiet);
    observer.clear();
    Seen s;
    const auto p = observer.pointer();
    s.x = p.x;
    s.y = p.y;
    for (const auto& [mask, name] :
         {std::pair{Button1Mask, "left"}, {Button3Mask, "right"}, {Button2Mask, "middle"}}) {
        if ((p.mask & static_cast<unsigned>(mask)) != 0) {
            s.down.insert(name);
        }
    }
    bool named = false;
    for (const char* key : {"Control_L", "Shift_L", "Alt_L", "Super_L", "c"}) {
        if (observer.keyDown(key)) {
            s.down.insert(key);
            named = true;
        }
    }
    if (!named && observer.anyKeyDown()) {
        s.down.insert("another key");
    }
    using Rec = XInputObserver::Record;
    for (const auto& r : records) {
        switch (r.kind) {
        case Rec::buttonPress:
        case Rec::buttonRelease: {
            const bool press = r.kind == Rec::buttonPress;
            if (r.detail >= 4 && r.detail <= 7) {
                if (press) {
                    static const char* const wheel[] = {"wheel up", "wheel down", "wheel left",
                                                        "wheel right"};
                    s.add(wheel[r.detail - 4]);
                }
            } else {
                const char* name = r.detail == 1   ? "left"
                                   : r.detail == 3 ? "right"
                                   : r.detail == 2 ? "middle"
                                                   : "other";
                s.add((press ? "+" : "-") + std::string(name));
            }
            break;
        }
        case Rec::keyPress:
            s.add("+" + r.keysym);
            if ((r.state & ControlMask) != 0 && r.keysym != "Control_L") {
                s.withControl.push_back(r.keysym);
            }
            break;
        case Rec::keyRelease:
            s.add("-" + r.keysym);
            break;
        default: // motion (where it ends is x, y), smooth scroll values, pastes
            break;
        }
    }
    return s;
}

Seen lookWayland(WaylandInputObserver& observer, std::chrono::milliseconds quiet) {
    using Rec = WaylandInputObserver::Record;
    const auto records = observer.settle(quiet);
    Seen s;
    s.x = observer.pointerX();
    s.y = observer.pointerY();
    for (const auto b : observer.buttonsDown()) {
        s.down.insert(buttonName(static_cast<int>(b)));
    }
    // Key codes down, by the names the US layout gives them.
    for (const auto k : observer.keysDown()) {
        switch (k) {
        case 29:
            s.down.insert("Control_L");
            break;
        case 42:
            s.down.insert("Shift_L");
            break;
        case 56:
            s.down.insert("Alt_L");
            break;
        case 125:
            s.down.insert("Super_L");
            break;
        case 46:
            s.down.insert("c");
            break;
        default:
            s.down.insert("another key");
        }
    }
    for (const auto& r : records) {
        switch (r.kind) {
        case Rec::buttonPress:
        case Rec::buttonRelease:
            s.add((r.kind == Rec::buttonPress ? "+" : "-") +
                  std::string(buttonName(static_cast<int>(r.code))));
            break;
        case Rec::keyPress:
            s.add("+" + r.keysym);
            if (r.ctrl && r.keysym != "Control_L") {
                s.withControl.push_back(r.keysym);
            }
            break;
        case Rec::keyRelease:
            s.add("-" + r.keysym);
            break;
        case Rec::axis:
            // Wayland's vertical axis grows towards the user: a negative value scrolls up.
            if (r.value != 0) {
                s.add(r.axisIndex == 0 ? (r.value < 0 ? "wheel up" : "wheel down")
                                       : (r.value < 0 ? "wheel left" : "wheel right"));
            }
            break;
        default:
            break;
        }
    }
    observer.clear();
    return s;
}

void ContractServer::startInjector() {
    injector_ = EventInjector::create(
        {.backend = std::shared_ptr<platform::InputBackend>(std::shared_ptr<void>(), &backend()),
         .geometry = geometry(),
         .defaults = defaults_,
         .gate = std::make_shared<InputGate>(),
         .scheduler = std::make_shared<platform::ManualScheduler>()});
}

void runContract(ContractServer& server) {
    ASSERT_TRUE(server.backend().permission().permitted) << server.backend().permission().reason;
    server.defaults().set("momentumEnabled", false);
    const platform::Rect area = server.geometry()->mainBounds();
    ASSERT_GT(area.width, 0);
    server.look(); // what the warm-up left behind
    for (const auto& c : contract()) {
        SCOPED_TRACE(std::string(server.name()) + ": " + c.name);
        for (const auto& m : c.messages) {
            server.injector().handle(m);
        }
        if (c.release) {
            server.injector().releaseAll();
        }
        Seen seen = server.look();
        if (c.shiftIsTheLayouts) {
            std::erase_if(seen.events, [](const std::string& e) { return e.ends_with("Shift_L"); });
        }
        EXPECT_EQ(seen.events, c.events);
        EXPECT_EQ(seen.down, c.down);
        EXPECT_EQ(seen.withControl, c.withControl);
        const platform::Point at = c.at(area);
        EXPECT_NEAR(seen.x, at.x, 1);
        EXPECT_NEAR(seen.y, at.y, 1);
    }
}

} // namespace quillon::testing
