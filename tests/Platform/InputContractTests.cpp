// test-labels: wayland;x11;injection;gnome
// test-timeout: 600
// One contract for every display server: a table of control messages (moves, buttons, keys,
// text, the wheel, release-all) through the host's injector into each backend, checked by
// what a client of that display server sees. Each fixture says only how to start its server
// and backend and how to observe; one server start per fixture runs the whole table.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/GnomeRemoteDesktopBackend.hpp"
#include "Platform/Input/KdeFakeInputBackend.hpp"
#include "Platform/Input/WlrootsInputBackend.hpp"
#include "Platform/Input/X11InputBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"

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
using platform::PointerButton::left;
using platform::PointerButton::right;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;

// What a client of the display server saw since the last look, in common terms.
struct Seen {
    double x = 0, y = 0;                 // where the pointer is (points of the selected area)
    std::set<int> buttonsDown;           // Linux button codes
    std::set<std::string> keysDown;      // keysym names of keys down now
    std::vector<int> buttonPresses;      // Linux button codes, in order
    std::vector<std::string> keyPresses; // keysym names (Shift left out), in order
    std::vector<bool> controlAtPress;    // Control in effect at each of keyPresses
    int wheelClicks = 0;                 // > 0 up (away from the user), < 0 down
};

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
                                   .scheduler = std::make_shared<platform::ManualScheduler>()});
    }
    EventInjector& injector() { return *injector_; }
    platform::Defaults& defaults() { return defaults_; }

private:
    testing::TempDir dir_;
    platform::Defaults defaults_{dir_.path() + "/defaults.json"};
    std::shared_ptr<EventInjector> injector_;
};

int waylandButton(std::uint32_t code) {
    return static_cast<int>(code);
}

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
        for (const auto& [mask, code] :
             {std::pair{Button1Mask, left}, {Button3Mask, right}, {Button2Mask, 274}}) {
            if ((p.mask & static_cast<unsigned>(mask)) != 0) {
                s.buttonsDown.insert(code);
            }
        }
        for (const char* key : {"Control_L", "Shift_L", "Alt_L", "Super_L", "c", "Caps_Lock"}) {
            if (observer_.keyDown(key)) {
                s.keysDown.insert(key);
            }
        }
        using Rec = testing::XInputObserver::Record;
        for (const auto& r : records) {
            if (r.kind == Rec::buttonPress) {
                if (r.detail == 4 || r.detail == 5) {
                    s.wheelClicks += r.detail == 4 ? 1 : -1;
                } else if (r.detail <= 3) {
                    s.buttonPresses.push_back(r.detail == 1 ? left : r.detail == 3 ? right : 274);
                }
            } else if (r.kind == Rec::keyPress && r.keysym != "Shift_L") {
                s.keyPresses.push_back(r.keysym);
                s.controlAtPress.push_back((r.state & ControlMask) != 0);
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
        s.buttonsDown.insert(waylandButton(b));
    }
    // Key codes down, by the names the US layout gives them.
    for (const auto k : observer.keysDown()) {
        switch (k) {
        case 29:
            s.keysDown.insert("Control_L");
            break;
        case 42:
            s.keysDown.insert("Shift_L");
            break;
        case 56:
            s.keysDown.insert("Alt_L");
            break;
        case 125:
            s.keysDown.insert("Super_L");
            break;
        case 46:
            s.keysDown.insert("c");
            break;
        default:
            s.keysDown.insert("key" + std::to_string(k));
        }
    }
    double vertical = 0;
    int discrete = 0;
    for (const auto& r : records) {
        if (r.kind == Rec::buttonPress) {
            s.buttonPresses.push_back(waylandButton(r.code));
        } else if (r.kind == Rec::keyPress && r.keysym != "Shift_L") {
            s.keyPresses.push_back(r.keysym);
            s.controlAtPress.push_back(r.ctrl);
        } else if (r.kind == Rec::axis && r.axisIndex == 0) {
            vertical += r.value;
        } else if (r.kind == Rec::axisDiscrete && r.axisIndex == 0) {
            discrete += r.discrete;
        }
    }
    // Wayland's vertical axis grows towards the user: a negative value scrolls up. Steps where
    // the compositor sends them, else the value's sign.
    s.wheelClicks = discrete != 0 ? -discrete : (vertical < 0 ? 1 : vertical > 0 ? -1 : 0);
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

struct Case {
    const char* name;
    std::vector<wire::ControlMessage> messages; // then releaseAll() when `release`
    bool release;
    std::function<void(const Seen&, const platform::Rect& area)> expect;
};

const std::vector<Case>& contract() {
    static const std::vector<Case> cases = {
        {"an absolute move lands on its point of the selected area",
         {cm::PointerAbsolute{0.25f, 0.5f, 0}},
         false,
         [](const Seen& s, const platform::Rect& a) {
             EXPECT_NEAR(s.x, a.width * 0.25, 1);
             EXPECT_NEAR(s.y, a.height * 0.5, 1);
         }},
        {"a relative move goes on from there",
         {cm::PointerRelative{40, -30}},
         false,
         [](const Seen& s, const platform::Rect& a) {
             EXPECT_NEAR(s.x, a.width * 0.25 + 40, 1);
             EXPECT_NEAR(s.y, a.height * 0.5 - 30, 1);
         }},
        {"a press holds the left button",
         {cm::MouseButton{MouseButton::left, true}},
         false,
         [](const Seen& s, const platform::Rect&) {
             EXPECT_EQ(s.buttonPresses, std::vector<int>{left});
             EXPECT_EQ(s.buttonsDown, std::set<int>{left});
         }},
        {"a release lets it go; a right click is one press",
         {cm::MouseButton{MouseButton::left, false}, cm::MultiClick{MouseButton::right, 1}},
         false,
         [](const Seen& s, const platform::Rect&) {
             EXPECT_EQ(s.buttonPresses, std::vector<int>{right});
             EXPECT_TRUE(s.buttonsDown.empty());
         }},
        {"Command-C is c with Control, nothing left down",
         {cm::KeyCombo{8, KeyModifiers::command}},
         false,
         [](const Seen& s, const platform::Rect&) {
             ASSERT_EQ(s.keyPresses, (std::vector<std::string>{"Control_L", "c"}));
             EXPECT_TRUE(s.controlAtPress[1]);
             EXPECT_TRUE(s.keysDown.empty());
         }},
        {"text on the layout arrives as those characters, without a latched Control",
         {cm::SetStickyModifiers{KeyModifiers::control}, cm::TextInput{"Hi, Go!"},
          cm::SetStickyModifiers{}},
         false,
         [](const Seen& s, const platform::Rect&) {
             std::vector<std::string> typed;
             for (std::size_t i = 0; i < s.keyPresses.size(); ++i) {
                 if (s.keyPresses[i] != "Control_L") {
                     typed.push_back(s.keyPresses[i]);
                     EXPECT_FALSE(s.controlAtPress[i]) << s.keyPresses[i];
                 }
             }
             EXPECT_EQ(typed,
                       (std::vector<std::string>{"H", "i", "comma", "space", "G", "o", "exclam"}));
             EXPECT_TRUE(s.keysDown.empty());
         }},
        {"a finger moving down turns the wheel up",
         {cm::Scroll{0, 10.0f / 3, ScrollPhase::changed}},
         false,
         [](const Seen& s, const platform::Rect&) { EXPECT_GT(s.wheelClicks, 0); }},
        {"and moving up turns it down",
         {cm::Scroll{0, -20.0f / 3, ScrollPhase::changed}},
         false,
         [](const Seen& s, const platform::Rect&) { EXPECT_LT(s.wheelClicks, 0); }},
        {"releasing all lets go of held buttons and latched modifiers",
         {cm::MouseButton{MouseButton::left, true},
          cm::SetStickyModifiers{KeyModifiers::control | KeyModifiers::shift}},
         true,
         [](const Seen& s, const platform::Rect&) {
             EXPECT_TRUE(s.buttonsDown.empty());
             EXPECT_TRUE(s.keysDown.empty());
         }},
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
        c.expect(server.look(), area);
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
