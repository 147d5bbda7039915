// test-labels: wayland;x11;injection;gnome
// test-timeout: 600
// One contract for every display server: a table of control messages (moves, buttons, keys,
// text, the wheel, release-all) through the host's injector into each backend, checked by
// what a client of that display server sees: the whole sequence of button, key and wheel
// events, what is left down and where the pointer is, so nothing else may happen. Each fixture
// says only how to start its server and backend and how to observe; one server start per
// fixture runs the whole table.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/GnomeRemoteDesktopBackend.hpp"
#include "Platform/Input/KdeFakeInputBackend.hpp"
#include "Platform/Input/WlrootsInputBackend.hpp"
#include "Platform/Input/X11InputBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Input/InputGate.hpp"

#include "tests/support/GnomeShellFixture.hpp"
#include "tests/support/KwinFixture.hpp"
#include "tests/support/SwayFixture.hpp"
#include "tests/support/WaylandInputObserver.hpp"
#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

// After gtest: Xlib defines macros that clash with its templates.
#include <X11/Xlib.h>

#include <cmath>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace cm = wire::cm;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;

// What a client of the display server saw since the last look, in common terms: every button,
// key and wheel event in order ("+left", "-left", "+Control_L", "-c", "wheel up"; a run of wheel
// events one way is one entry, as servers split a turn differently), where the pointer is and
// what is still down. Motion is left out of `events`: the servers coalesce it differently, and
// where it ends is `x`, `y`.
struct Seen {
    double x = 0, y = 0;                  // where the pointer is (points of the selected area)
    std::vector<std::string> events;      // in order
    std::set<std::string> down;           // buttons and keys down now
    std::vector<std::string> withControl; // keys other than Control pressed with Control in effect

    void add(std::string event) {
        if (event.starts_with("wheel") && !events.empty() && events.back() == event) {
            return;
        }
        events.push_back(std::move(event));
    }
};

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

// A display server with the host's input stack on it. Subclasses start the server and the
// backend, and report what their client window sees.
class Server {
public:
    virtual ~Server() = default;
    virtual const char* name() const = 0;
    virtual platform::InputBackend& backend() = 0;
    virtual std::shared_ptr<const platform::DisplayGeometry> geometry() = 0;
    // Everything delivered since the last look, once the server has handled what was sent.
    virtual Seen look() = 0;

    // The host's injector over the backend (made once the subclass is up).
    void startInjector() {
        injector_ =
            EventInjector::create({.backend = std::shared_ptr<platform::InputBackend>(
                                       std::shared_ptr<void>(), &backend()),
                                   .geometry = geometry(),
                                   .defaults = defaults_,
                                   .gate = std::make_shared<InputGate>(),
                                   .scheduler = std::make_shared<platform::ManualScheduler>()});
    }
    EventInjector& injector() { return *injector_; }
    platform::Defaults& defaults() { return defaults_; }

private:
    testing::TempDir dir_;
    platform::Defaults defaults_{dir_.path() + "/defaults.json"};
    std::shared_ptr<EventInjector> injector_;
};

// --- X11 (Xvfb) --------------------------------------------------------------------------------

class X11Server : public Server {
public:
    X11Server()
        : x_({.width = 1280, .height = 800}),
          geometry_(std::make_shared<platform::X11DisplayGeometry>(x_.display(), 50ms)),
          backend_([this] {
              platform::X11InputBackend::Options o;
              o.display = x_.display();
              o.geometry = geometry_;
              return o;
          }()),
          observer_(x_.display()) {
        startInjector();
        observer_.clear();
    }
    const char* name() const override { return "x11"; }
    platform::InputBackend& backend() override { return backend_; }
    std::shared_ptr<const platform::DisplayGeometry> geometry() override { return geometry_; }
    Seen look() override {
        backend_.sync();
        const auto records = observer_.settle(150ms);
        observer_.clear();
        Seen s;
        const auto p = observer_.pointer();
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
            if (observer_.keyDown(key)) {
                s.down.insert(key);
                named = true;
            }
        }
        if (!named && observer_.anyKeyDown()) {
            s.down.insert("another key");
        }
        using Rec = testing::XInputObserver::Record;
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
            case Rec::motion:
                break;
            }
        }
        return s;
    }

private:
    testing::XvfbServer x_;
    std::shared_ptr<platform::X11DisplayGeometry> geometry_;
    platform::X11InputBackend backend_;
    testing::XInputObserver observer_;
};

// --- Wayland compositors -----------------------------------------------------------------------

// What a Wayland client window covering the output sees.
Seen lookWayland(testing::WaylandInputObserver& observer) {
    using Rec = testing::WaylandInputObserver::Record;
    const auto records = observer.settle(250ms);
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

class SwayCompositor : public Server {
public:
    SwayCompositor()
        : geometry_(std::make_shared<platform::WaylandDisplayGeometry>(sway_.display())),
          backend_(
              {.display = sway_.display(), .geometry = geometry_, .swaySocket = sway_.ipcSocket()}),
          observer_(sway_.display()) {
        startInjector();
        // The backend's devices appear with its first verbs; the window then has both.
        backend_.movePointerTo({10, 10});
        backend_.sync();
        observer_.waitFor(
            [&](const auto&) { return observer_.pointerInside() && observer_.keyboardFocus(); });
        observer_.settle(100ms);
        observer_.clear();
    }
    const char* name() const override { return "wlroots"; }
    platform::InputBackend& backend() override { return backend_; }
    std::shared_ptr<const platform::DisplayGeometry> geometry() override { return geometry_; }
    Seen look() override {
        backend_.sync();
        return lookWayland(observer_);
    }

private:
    testing::SwayServer sway_;
    std::shared_ptr<platform::WaylandDisplayGeometry> geometry_;
    platform::WlrootsInputBackend backend_;
    testing::WaylandInputObserver observer_;
};

class KwinCompositor : public Server {
public:
    KwinCompositor()
        : geometry_(std::make_shared<platform::WaylandDisplayGeometry>(kwin_.display())),
          backend_({.display = kwin_.display(),
                    .geometry = geometry_,
                    .busAddress = kwin_.busAddress()}),
          observer_(kwin_.display()) {
        startInjector();
        backend_.movePointerTo({10, 10});
        backend_.sync();
        observer_.waitFor(
            [&](const auto&) { return observer_.pointerInside() && observer_.keyboardFocus(); });
        observer_.settle(100ms);
        observer_.clear();
    }
    const char* name() const override { return "kde"; }
    platform::InputBackend& backend() override { return backend_; }
    std::shared_ptr<const platform::DisplayGeometry> geometry() override { return geometry_; }
    Seen look() override {
        backend_.sync();
        return lookWayland(observer_);
    }

private:
    testing::KwinServer kwin_;
    std::shared_ptr<platform::WaylandDisplayGeometry> geometry_;
    platform::KdeFakeInputBackend backend_;
    testing::WaylandInputObserver observer_;
};

class GnomeShell : public Server {
public:
    GnomeShell()
        : geometry_(std::make_shared<platform::WaylandDisplayGeometry>(shell_.display())),
          backend_({.busAddress = shell_.busAddress(),
                    .waylandDisplay = shell_.display(),
                    .geometry = geometry_}),
          observer_(shell_.display()) {
        startInjector();
        // GNOME Shell starts in its overview, above every window: Escape leaves it.
        backend_.key(1, true);
        backend_.key(1, false);
        testing::waitUntil(
            [&] {
                backend_.movePointerTo({20, 20});
                backend_.movePointerTo({10, 10});
                backend_.sync();
                observer_.settle(50ms);
                return observer_.pointerInside() && observer_.keyboardFocus();
            },
            10s);
        observer_.settle(100ms);
        observer_.clear();
    }
    const char* name() const override { return "gnome"; }
    platform::InputBackend& backend() override { return backend_; }
    std::shared_ptr<const platform::DisplayGeometry> geometry() override { return geometry_; }
    Seen look() override {
        backend_.sync();
        return lookWayland(observer_);
    }

private:
    testing::GnomeShellServer shell_;
    std::shared_ptr<platform::WaylandDisplayGeometry> geometry_;
    platform::GnomeRemoteDesktopBackend backend_;
    testing::WaylandInputObserver observer_;
};

// --- The contract ------------------------------------------------------------------------------

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

void runContract(Server& server) {
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

TEST(InputContract, X11) {
    X11Server server;
    runContract(server);
}

TEST(InputContract, Wlroots) {
    SwayCompositor server;
    runContract(server);
}

TEST(InputContract, Kde) {
    KwinCompositor server;
    runContract(server);
}

TEST(InputContract, Gnome) {
    GnomeShell server;
    runContract(server);
}

} // namespace
} // namespace quillon
