// test-labels: uinput;injection;e2e
// test-timeout: 900
// test-main: own
// The uinput backend for real: this machine has no /dev/uinput, so the cases run inside a
// virtual machine (tests/support/VirtualMachine.hpp) whose sessions read the devices through
// libinput: headless Sway (seatd, the libinput backend) and Xorg (dummy video, libinput input).
// One boot runs every case, session by session.
//
// The same executable is both sides. On the host, main() lists the guest cases, boots the
// machine once, runs this executable inside it for each session, and turns each guest case's
// outcome into a host test of the same name ("Sway/Moves", "Xorg/Moves", ...). Inside the guest
// (QUILLON_VM_GUEST=sway|xorg) the cases run against the session.
// GoogleTest before Xlib, whose None and Bool macros it would trip over.
#include <gtest/gtest.h>

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/InputBackendFactory.hpp"
#include "Platform/Input/SwayIpc.hpp"
#include "Platform/Input/UinputDevice.hpp"
#include "Platform/Input/UinputInputBackend.hpp"
#include "Platform/Input/UinputSession.hpp"
#include "Platform/Locale/Translation.hpp"

#include "tests/support/AvahiFixture.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/DbusFixture.hpp"
#include "tests/support/InputContract.hpp"
#include "tests/support/VirtualMachine.hpp"
#include "tests/support/WaylandInputObserver.hpp"
#include "tests/support/XInputObserver.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <linux/input-event-codes.h>
#include <nlohmann/json.hpp>
#include <xkbcommon/xkbcommon.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace cm = wire::cm;
using platform::kWheelUnitsPerClick;
using platform::Point;
using platform::UinputInputBackend;
using testing::ChildProcess;
using testing::TempDir;
using testing::waitUntil;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;

std::string guestSession() {
    const char* s = std::getenv("QUILLON_VM_GUEST");
    return s != nullptr ? s : "";
}

bool waylandGuest() {
    return guestSession() == "sway";
}

// ---------------------------------------------------------------------------------------------
// Inside the guest: what the session saw, in one vocabulary for Wayland and X11.

struct Seen {
    enum Kind { motion, press, release, keyPress, keyRelease, wheelClicks, wheelSmooth, paste };
    Kind kind = motion;
    int button = 0;      // press/release: BTN_LEFT, BTN_RIGHT, BTN_MIDDLE
    std::string keysym;  // keys: the keysym name at the event's level ("c", "Control_L")
    std::string text;    // keyPress: the character typed; paste: the pasted text
    bool ctrl = false;   // keys: Control active
    double x = 0, y = 0; // motion and buttons: the pointer
    int axis = 0;        // wheel: 0 vertical, 1 horizontal
    double amount = 0;   // wheel: clicks, evdev's sign (away from the user and right: > 0)
};

std::vector<Seen::Kind> kindsOf(const std::vector<Seen>& all, std::set<Seen::Kind> keep) {
    std::vector<Seen::Kind> out;
    for (const auto& s : all) {
        if (keep.count(s.kind) != 0) {
            out.push_back(s.kind);
        }
    }
    return out;
}

std::vector<Seen> only(const std::vector<Seen>& all, Seen::Kind kind) {
    std::vector<Seen> out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                 [&](const Seen& s) { return s.kind == kind; });
    return out;
}

// The text that arrived, typed and pasted, in order (the V of Control+V is no text).
std::string received(const std::vector<Seen>& all) {
    std::string out;
    for (const auto& s : all) {
        if (s.kind == Seen::paste) {
            out += s.text;
        } else if (s.kind == Seen::keyPress && !s.ctrl) {
            out += s.text;
        }
    }
    return out;
}

std::string typed(const std::vector<Seen>& all) {
    std::string out;
    for (const auto& s : only(all, Seen::keyPress)) {
        out += s.text;
    }
    return out;
}

class Observed {
public:
    virtual ~Observed() = default;
    // What the input contract looks at (tests/support/InputContract.hpp).
    virtual testing::Seen look(std::chrono::milliseconds quiet) = 0;
    virtual std::vector<Seen> waitFor(const std::function<bool(const std::vector<Seen>&)>& done,
                                      std::chrono::milliseconds timeout) = 0;
    virtual std::vector<Seen> settle(std::chrono::milliseconds quiet) = 0;
    virtual void clear() = 0;
    virtual Point pointer() = 0;
    virtual bool anythingDown() = 0;
};

class WaylandObserved : public Observed {
public:
    explicit WaylandObserved(const std::string& display) : o_(display, true) {}
    testing::Seen look(std::chrono::milliseconds quiet) override {
        return testing::lookWayland(o_, quiet);
    }

    std::vector<Seen> waitFor(const std::function<bool(const std::vector<Seen>&)>& done,
                              std::chrono::milliseconds timeout) override {
        return convert(o_.waitFor([&](const auto& r) { return done(convert(r)); }, timeout));
    }
    std::vector<Seen> settle(std::chrono::milliseconds quiet) override {
        return convert(o_.settle(quiet));
    }
    void clear() override {
        o_.settle(50ms);
        o_.clear();
    }
    Point pointer() override { return {o_.pointerX(), o_.pointerY()}; }
    bool anythingDown() override {
        o_.settle(100ms);
        return !o_.buttonsDown().empty() || !o_.keysDown().empty();
    }

private:
    using Rec = testing::WaylandInputObserver::Record;
    static std::vector<Seen> convert(const std::vector<Rec>& records) {
        std::vector<Seen> out;
        bool discreteInFrame[2] = {false, false};
        for (const auto& r : records) {
            switch (r.kind) {
            case Rec::motion:
                out.push_back({.kind = Seen::motion, .x = r.x, .y = r.y});
                break;
            case Rec::buttonPress:
            case Rec::buttonRelease:
                out.push_back({.kind = r.kind == Rec::buttonPress ? Seen::press : Seen::release,
                               .button = static_cast<int>(r.code),
                               .x = r.x,
                               .y = r.y});
                break;
            case Rec::keyPress:
            case Rec::keyRelease:
                out.push_back({.kind = r.kind == Rec::keyPress ? Seen::keyPress : Seen::keyRelease,
                               .keysym = r.keysym,
                               .text = r.text,
                               .ctrl = r.ctrl});
                break;
            case Rec::paste:
                out.push_back({.kind = Seen::paste, .text = r.text});
                break;
            // Wayland's vertical axis grows towards the user: evdev's sign is the opposite.
            case Rec::axisDiscrete:
                discreteInFrame[r.axisIndex] = true;
                out.push_back({.kind = Seen::wheelClicks,
                               .axis = r.axisIndex,
                               .amount = double(r.axisIndex == 0 ? -r.discrete : r.discrete)});
                break;
            case Rec::axisValue120:
                out.push_back({.kind = Seen::wheelSmooth,
                               .axis = r.axisIndex,
                               .amount = (r.axisIndex == 0 ? -r.discrete : r.discrete) / 120.0});
                break;
            case Rec::frame:
                discreteInFrame[0] = discreteInFrame[1] = false;
                break;
            default:
                break;
            }
        }
        return out;
    }
    testing::WaylandInputObserver o_;
};

class XObserved : public Observed {
public:
    explicit XObserved(const std::string& display) : o_(display) {}
    testing::Seen look(std::chrono::milliseconds quiet) override {
        return testing::lookX11(o_, quiet);
    }

    std::vector<Seen> waitFor(const std::function<bool(const std::vector<Seen>&)>& done,
                              std::chrono::milliseconds timeout) override {
        return convert(o_.waitFor([&](const auto& r) { return done(convert(r)); }, timeout));
    }
    std::vector<Seen> settle(std::chrono::milliseconds quiet) override {
        return convert(o_.settle(quiet));
    }
    void clear() override {
        o_.settle(50ms);
        o_.clear();
    }
    Point pointer() override {
        const auto p = o_.pointer();
        return {static_cast<double>(p.x), static_cast<double>(p.y)};
    }
    bool anythingDown() override {
        o_.settle(100ms);
        return o_.anyKeyDown() || o_.anyButtonDown();
    }

private:
    using Rec = testing::XInputObserver::Record;
    static std::vector<Seen> convert(const std::vector<Rec>& records) {
        std::vector<Seen> out;
        for (const auto& r : records) {
            switch (r.kind) {
            case Rec::motion:
                out.push_back({.kind = Seen::motion, .x = double(r.x), .y = double(r.y)});
                break;
            case Rec::buttonPress:
            case Rec::buttonRelease: {
                const bool press = r.kind == Rec::buttonPress;
                if (r.detail >= 4 && r.detail <= 7) {
                    // Core wheel clicks come as a press and a release: count the press.
                    if (press) {
                        const double sign = r.detail == 4 || r.detail == 7 ? 1 : -1;
                        out.push_back({.kind = Seen::wheelClicks,
                                       .axis = r.detail <= 5 ? 0 : 1,
                                       .amount = sign});
                    }
                    break;
                }
                const int button = r.detail == 1   ? BTN_LEFT
                                   : r.detail == 2 ? BTN_MIDDLE
                                                   : BTN_RIGHT;
                out.push_back({.kind = press ? Seen::press : Seen::release,
                               .button = button,
                               .x = double(r.x),
                               .y = double(r.y)});
                break;
            }
            case Rec::keyPress:
            case Rec::keyRelease: {
                Seen s{.kind = r.kind == Rec::keyPress ? Seen::keyPress : Seen::keyRelease,
                       .keysym = r.keysym,
                       .ctrl = (r.state & ControlMask) != 0};
                char utf8[16] = {};
                const xkb_keysym_t sym =
                    xkb_keysym_from_name(r.keysym.c_str(), XKB_KEYSYM_NO_FLAGS);
                if (sym != XKB_KEY_NoSymbol && xkb_keysym_to_utf8(sym, utf8, sizeof utf8) > 0 &&
                    static_cast<unsigned char>(utf8[0]) >= 0x20) {
                    s.text = utf8;
                }
                out.push_back(s);
                break;
            }
            case Rec::scroll:
                // X's vertical scroll valuator grows downwards (button 5).
                out.push_back({.kind = Seen::wheelSmooth,
                               .axis = r.axis,
                               .amount = r.axis == 0 ? -r.value : r.value});
                break;
            case Rec::paste:
                out.push_back({.kind = Seen::paste, .text = r.text});
                break;
            }
        }
        return out;
    }
    testing::XInputObserver o_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The input devices the session has, by name (a name twice for two devices).
std::multiset<std::string> sessionDevices() {
    std::multiset<std::string> names;
    if (guestSession() == "sway") {
        const auto reply = platform::SwayIpc().request(static_cast<platform::SwayIpc::Type>(100),
                                                       {}); // GET_INPUTS
        if (reply) {
            for (const auto& input : nlohmann::json::parse(*reply, nullptr, false)) {
                if (input.is_object() && input.contains("name")) {
                    names.insert(input["name"].get<std::string>());
                }
            }
        }
    } else if (Display* dpy = XOpenDisplay(nullptr)) {
        int n = 0;
        if (XIDeviceInfo* info = XIQueryDevice(dpy, XIAllDevices, &n)) {
            for (int i = 0; i < n; ++i) {
                if (info[i].enabled) {
                    names.insert(info[i].name);
                }
            }
            XIFreeDeviceInfo(info);
        }
        XCloseDisplay(dpy);
    }
    return names;
}

bool devicesPresent() {
    const auto names = sessionDevices();
    return names.count("Quillon pointer") != 0 && names.count("Quillon absolute pointer") != 0 &&
           names.count("Quillon keyboard") != 0;
}

// The session's geometry, the backend on it with the host's injector over it, the devices the
// session has taken in, and an observer window with the pointer and keyboard focus. One for the
// whole guest run: the devices are made once, as the host makes them.
struct Rig : testing::ContractServer {
    std::shared_ptr<platform::DisplayGeometry> sessionGeometry;
    std::unique_ptr<UinputInputBackend> uinput;
    std::unique_ptr<Observed> observed;
    std::string problem;

    Rig() {
        UinputInputBackend::Options options;
        if (waylandGuest()) {
            const std::string display = std::getenv("WAYLAND_DISPLAY");
            auto geometry = std::make_shared<platform::WaylandDisplayGeometry>(display);
            options = platform::uinputForWayland(display, geometry);
            sessionGeometry = std::move(geometry);
        } else {
            auto geometry = std::make_shared<platform::X11DisplayGeometry>(std::string());
            options = platform::uinputForX11({}, geometry);
            sessionGeometry = std::move(geometry);
        }
        uinput = std::make_unique<UinputInputBackend>(std::move(options));
        startInjector();
        if (!uinput->permission().permitted) {
            problem = uinput->permission().reason;
            return;
        }
        if (!waitUntil(devicesPresent, 60s)) {
            problem = "the session never listed the Quillon devices; it has:";
            for (const auto& name : sessionDevices()) {
                problem += " \"" + name + "\"";
            }
            problem += "\n" + readFile("/tmp/" + guestSession() + ".log");
            return;
        }
        if (waylandGuest()) {
            observed = std::make_unique<WaylandObserved>(std::getenv("WAYLAND_DISPLAY"));
        } else {
            observed = std::make_unique<XObserved>(std::getenv("DISPLAY"));
        }
        // Warm up: a move puts the pointer over the observer's window.
        uinput->movePointerTo({640, 360});
        observed->waitFor([](const auto& s) { return !only(s, Seen::motion).empty(); }, 10s);
        observed->clear();
    }

    const char* name() const override { return "uinput"; }
    platform::InputBackend& backend() override { return *uinput; }
    std::shared_ptr<const platform::DisplayGeometry> geometry() override { return sessionGeometry; }
    // The guest is slow (software emulation): quiet for longer before a look.
    testing::Seen look() override {
        uinput->flush();
        return observed->look(400ms);
    }

    // What the session saw of `act`, once it has been quiet for `quiet`.
    std::vector<Seen> after(const std::function<void()>& act,
                            std::chrono::milliseconds quiet = 400ms) {
        observed->clear();
        act();
        uinput->flush();
        return observed->settle(quiet);
    }
    // The same for control messages through the host's injector.
    std::vector<Seen> afterMessages(const std::vector<wire::ControlMessage>& messages,
                                    std::chrono::milliseconds quiet = 400ms) {
        return after(
            [&] {
                for (const auto& m : messages) {
                    injector().handle(m);
                }
            },
            quiet);
    }
};

Rig* rig = nullptr;

class InGuest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(rig, nullptr);
        ASSERT_TRUE(rig->problem.empty()) << rig->problem;
        rig->injector().releaseAll();
        rig->observed->clear();
    }
    UinputInputBackend& backend() { return *rig->uinput; }
    Observed& observed() { return *rig->observed; }
    bool nearly(Point a, Point b) { return std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1; }
};

// Cases for every session, and for one session only.
using Uinput = InGuest;
using UinputOnSway = InGuest;
using UinputOnXorg = InGuest;

TEST_F(Uinput, DevicesAreNamedForTheUser) {
    const auto names = sessionDevices();
    for (const char* name : {"Quillon pointer", "Quillon absolute pointer", "Quillon keyboard"}) {
        EXPECT_EQ(names.count(name), 1u) << name;
    }
    EXPECT_EQ(names.count("Quillon wheel"), 0u);
    EXPECT_TRUE(backend().permission().permitted);
}

TEST_F(Uinput, AbsoluteMovesLandOnThePointAndRelativeMovesBySteps) {
    rig->after([&] { backend().movePointerTo({100, 200}); });
    EXPECT_TRUE(nearly(observed().pointer(), {100, 200}))
        << observed().pointer().x << "," << observed().pointer().y;
    // Fractions of a unit are kept: four moves of 2.5 are ten units.
    rig->after([&] {
        backend().movePointerBy(15, -7);
        for (int i = 0; i < 4; ++i) {
            backend().movePointerBy(2.5, 0);
        }
    });
    EXPECT_TRUE(nearly(observed().pointer(), {125, 193}))
        << observed().pointer().x << "," << observed().pointer().y;
    // The far corner of the area, and beyond it clamped.
    rig->after([&] { backend().movePointerTo({5000, 5000}); });
    EXPECT_TRUE(nearly(observed().pointer(), {1279, 719}))
        << observed().pointer().x << "," << observed().pointer().y;
}

TEST_F(UinputOnXorg, AbsoluteMovesLandOnTheSelectedMonitorOfTwo) {
    // Two monitors side by side on the one screen; the tablet's area is the right one. The
    // absolute device still spans the whole screen.
    const auto xrandr = [](std::vector<std::string> args) {
        args.insert(args.begin(), "xrandr");
        ChildProcess p({.argv = args, .outputFile = "/tmp/xrandr.txt"});
        return p.wait(20s);
    };
    xrandr({"--setmonitor", "quillon-left", "640/169x720/190+0+0", "none"});
    xrandr({"--setmonitor", "quillon-right", "640/169x720/190+640+0", "none"});
    struct Cleanup {
        std::function<void()> f;
        ~Cleanup() { f(); }
    } cleanup{[&] {
        xrandr({"--delmonitor", "quillon-left"});
        xrandr({"--delmonitor", "quillon-right"});
        std::this_thread::sleep_for(2500ms); // the rig's geometry follows within two seconds
    }};
    auto geometry = std::make_shared<platform::X11DisplayGeometry>(
        std::string(), 200ms, [] { return std::string("quillon-right"); });
    ASSERT_TRUE(waitUntil([&] { return geometry->state().originX == 640; }, 10s))
        << geometry->state().originX << " " << geometry->selectionNote();
    UinputInputBackend right(platform::uinputForX11({}, geometry));
    ASSERT_TRUE(
        waitUntil([] { return sessionDevices().count("Quillon absolute pointer") == 2; }, 30s));
    std::this_thread::sleep_for(1s);
    rig->after([&] { right.movePointerTo({100, 200}); });
    EXPECT_TRUE(nearly(observed().pointer(), {740, 200}))
        << observed().pointer().x << "," << observed().pointer().y;
    rig->after([&] { right.movePointerTo({-50, 5000}); });
    EXPECT_TRUE(nearly(observed().pointer(), {640, 719}))
        << observed().pointer().x << "," << observed().pointer().y;
}

TEST_F(Uinput, DragHoldsTheButtonFromPressToRelease) {
    rig->after([&] { backend().movePointerTo({200, 200}); });
    const auto seen = rig->after([&] {
        backend().button(BTN_LEFT, true);
        backend().movePointerTo({260, 230});
        backend().movePointerTo({300, 250});
        backend().button(BTN_LEFT, false);
    });
    const auto buttons = kindsOf(seen, {Seen::press, Seen::release});
    ASSERT_EQ(buttons, (std::vector<Seen::Kind>{Seen::press, Seen::release}));
    const auto press = only(seen, Seen::press)[0];
    const auto release = only(seen, Seen::release)[0];
    EXPECT_EQ(press.button, BTN_LEFT);
    EXPECT_TRUE(nearly({press.x, press.y}, {200, 200})) << press.x << "," << press.y;
    EXPECT_TRUE(nearly({release.x, release.y}, {300, 250})) << release.x << "," << release.y;
    // The motion came between them.
    std::vector<Seen::Kind> order = kindsOf(seen, {Seen::press, Seen::motion, Seen::release});
    EXPECT_EQ(order.front(), Seen::press);
    EXPECT_EQ(order.back(), Seen::release);
    EXPECT_GE(only(seen, Seen::motion).size(), 1u);
}

TEST_F(Uinput, DoubleClickIsTwoPairsOnOnePoint) {
    rig->after([&] { backend().movePointerTo({400, 300}); });
    const auto seen = rig->afterMessages({cm::PointerAbsolute{400.0f / 1280, 300.0f / 720, 0},
                                          cm::MultiClick{MouseButton::left, 2}});
    EXPECT_EQ(kindsOf(seen, {Seen::press, Seen::release}),
              (std::vector<Seen::Kind>{Seen::press, Seen::release, Seen::press, Seen::release}));
    for (const auto& s : seen) {
        if (s.kind != Seen::motion) {
            EXPECT_TRUE(nearly({s.x, s.y}, {400, 300})) << s.x << "," << s.y;
        }
    }
}

// The whole table every backend keeps (tests/support/InputContract.hpp): moves, a press and a
// release, a right click, Command-C as Control-C, text with a latched Control let go around it,
// the wheel both ways, and release-all.
TEST_F(Uinput, KeepsTheInputContract) {
    testing::runContract(*rig);
}

TEST_F(Uinput, TextOfTheLayoutIsTypedWithoutTheHeldModifiers) {
    const auto seen =
        rig->afterMessages({cm::SetStickyModifiers{KeyModifiers::command},
                            cm::TextInput{"Hello, world 42! (a-z)"}, cm::SetStickyModifiers{}});
    EXPECT_EQ(typed(seen), "Hello, world 42! (a-z)");
    for (const auto& s : only(seen, Seen::keyPress)) {
        if (!s.text.empty()) {
            EXPECT_FALSE(s.ctrl) << s.keysym;
        }
    }
    EXPECT_EQ(only(seen, Seen::paste).size(), 0u);
    EXPECT_EQ(backend().stats().pastes, 0u);
}

TEST_F(Uinput, CapsLockOnStillTypesTheExactText) {
    // The session turns the keyboard's Caps Lock light on; the text is typed as given anyway,
    // and Caps Lock is on again afterwards.
    rig->after([&] {
        backend().key(KEY_CAPSLOCK, true);
        backend().key(KEY_CAPSLOCK, false);
    });
    const auto seen = rig->after([&] { backend().typeText(U"abC"); });
    EXPECT_EQ(typed(seen), "abC");
    const auto after = rig->after([&] {
        backend().key(KEY_A, true);
        backend().key(KEY_A, false);
    });
    EXPECT_EQ(typed(after), "A") << "Caps Lock is the user's again";
    rig->after([&] {
        backend().key(KEY_CAPSLOCK, true);
        backend().key(KEY_CAPSLOCK, false);
    });
}

TEST_F(Uinput, TextBeyondTheLayoutIsPastedExactly) {
    const auto pastesBefore = backend().stats().pastes;
    auto seen = rig->afterMessages({cm::TextInput{"héllo wörld €😀 中文"}}, 800ms);
    auto pastes = only(seen, Seen::paste);
    ASSERT_EQ(pastes.size(), 1u) << typed(seen);
    EXPECT_EQ(pastes[0].text, "héllo wörld €😀 中文");
    EXPECT_EQ(backend().stats().pastes, pastesBefore + 1);
    // Control+V and nothing typed besides.
    const auto presses = only(seen, Seen::keyPress);
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(presses[1].keysym, "v");
    EXPECT_TRUE(presses[1].ctrl);

    // A longer text goes in runs of 20 characters, each pasted or typed: every run's paste
    // reads its own text, in order (the next run waits until the last one's text has been read).
    // The typing runs on a thread of its own, as the host's input worker does, while the
    // observer, like any application, reads what it is given meanwhile.
    const std::string longer = "第一段中文字符，第二段。Zweite Zeile mit Umlauten: äöü ß — "
                               "third run ends here 😀 and a last run typed.";
    observed().clear();
    std::thread worker([&] { rig->injector().handle(cm::TextInput{longer}); });
    seen = observed().waitFor([&](const auto& s) { return received(s) == longer; }, 30s);
    worker.join();
    seen = observed().settle(400ms);
    EXPECT_EQ(received(seen), longer);
    EXPECT_GE(only(seen, Seen::paste).size(), 3u);
}

TEST_F(Uinput, WheelClicksAndAQuarterClick) {
    auto seen = rig->after([&] {
        backend().wheel(kWheelUnitsPerClick, 0);
        backend().wheel(0, -2 * kWheelUnitsPerClick);
    });
    double vertical = 0, horizontal = 0;
    for (const auto& s : only(seen, Seen::wheelClicks)) {
        (s.axis == 0 ? vertical : horizontal) += s.amount;
    }
    EXPECT_EQ(vertical, 1);
    EXPECT_EQ(horizontal, -2);

    // A quarter click: a fractional value where the session carries high resolution. libinput
    // holds back a wheel's first movements until they reach half a click (a resting finger
    // must not scroll), so the wheel starts turning with half a click and then a quarter
    // follows.
    seen = rig->after([&] {
        backend().wheel(kWheelUnitsPerClick / 2, 0);
        backend().wheel(kWheelUnitsPerClick / 4, 0);
    });
    auto smooth = only(seen, Seen::wheelSmooth);
    if (guestSession() == "xorg") {
        ASSERT_FALSE(smooth.empty());
        EXPECT_DOUBLE_EQ(smooth.back().amount, 0.25);
        EXPECT_EQ(smooth.back().axis, 0);
        double sum = 0;
        for (const auto& s : smooth) {
            sum += s.amount;
        }
        EXPECT_DOUBLE_EQ(sum, 0.75);
        EXPECT_EQ(only(seen, Seen::wheelClicks).size(), 0u);
    } else {
        // Sway 1.7 (wlroots 0.15) has no wl_pointer.axis_value120: a compositor that sends it
        // carries the quarter as 30; this one hands on whole clicks only, so one more quarter
        // makes the click.
        for (const auto& s : smooth) {
            EXPECT_DOUBLE_EQ(s.amount, 0.25);
        }
        if (smooth.empty()) {
            EXPECT_EQ(only(seen, Seen::wheelClicks).size(), 0u);
            seen = rig->after([&] { backend().wheel(kWheelUnitsPerClick / 4, 0); });
            const auto clicks = only(seen, Seen::wheelClicks);
            ASSERT_EQ(clicks.size(), 1u);
            EXPECT_EQ(clicks[0].amount, 1);
        }
    }
}

// What a Wayland compositor is handed for a quarter click: libinput, which they read devices
// through, reports the wheel in 120ths of a click, 30 for the quarter, which a compositor with
// wl_pointer version 8 passes on as axis_value120 (Sway 1.7's wlroots has version 7 and passes
// whole clicks: WheelClicksAndAQuarterClick).
TEST_F(UinputOnSway, AQuarterClickReachesLibinputAsThirtyOf120) {
    std::string node;
    for (const auto& e : std::filesystem::directory_iterator("/sys/class/input")) {
        const std::string name = e.path().filename();
        if (name.rfind("event", 0) == 0 &&
            readFile(e.path() / "device/name") == "Quillon pointer\n") {
            node = "/dev/input/" + name;
        }
    }
    ASSERT_FALSE(node.empty());
    ChildProcess events({.argv = {"stdbuf", "-oL", "libinput", "debug-events", "--device", node},
                         .outputFile = "/tmp/libinput-events.txt"});
    ASSERT_TRUE(
        waitUntil([&] { return events.output().find("DEVICE_ADDED") != std::string::npos; }, 30s))
        << events.output();
    // Half a click first: libinput holds a wheel's first movement back until it is that far.
    backend().wheel(kWheelUnitsPerClick / 2, 0);
    backend().wheel(kWheelUnitsPerClick / 4, 0);
    // "POINTER_SCROLL_WHEEL ... vert -7.50/-30.0* horiz ...": degrees, then 120ths of a click
    // (a wheel turned away from the user scrolls up: negative).
    const std::regex wheel("POINTER_SCROLL_WHEEL[^\n]*vert ([-0-9.]+)/([-0-9.]+)");
    std::vector<double> v120;
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string out = events.output();
            v120.clear();
            for (auto it = std::sregex_iterator(out.begin(), out.end(), wheel);
                 it != std::sregex_iterator(); ++it) {
                v120.push_back(std::stod((*it)[2]));
            }
            return v120.size() >= 2;
        },
        10s))
        << events.output();
    EXPECT_EQ(v120, (std::vector<double>{-60, -30})) << events.output();
}

TEST_F(UinputOnXorg, SmoothScrollingOnX11TurnsAKernelWheelBesideXTest) {
    TempDir dir;
    platform::Defaults defaults(dir.path() + "/defaults.json");
    defaults.set("scroll", "smooth");
    auto session = platform::makeSessionInput(defaults);
    EXPECT_EQ(session.choice.kind, platform::InputBackendKind::x11);
    EXPECT_EQ(session.choice.note, "");
    auto& x11 = *session.backend;
    EXPECT_EQ(x11.name(), "x11");
    ASSERT_TRUE(waitUntil([] { return sessionDevices().count("Quillon wheel") == 1; }, 30s));
    std::this_thread::sleep_for(1s);
    // Half a click starts the wheel (libinput), then a quarter: parts of a click arrive, where
    // the pointer was just moved (through XTest).
    auto seen = rig->after([&] {
        x11.movePointerTo({300, 200});
        x11.wheel(kWheelUnitsPerClick / 2, 0);
        x11.wheel(kWheelUnitsPerClick / 4, 0);
        x11.flush();
    });
    auto smooth = only(seen, Seen::wheelSmooth);
    ASSERT_FALSE(smooth.empty());
    EXPECT_DOUBLE_EQ(smooth.back().amount, 0.25);
    EXPECT_TRUE(nearly(observed().pointer(), {300, 200}));
    // Keys stay with XTest, and so does a wheel turned with Control down (zoom): Control and a
    // whole click, in order.
    seen = rig->after([&] {
        x11.key(KEY_B, true);
        x11.key(KEY_B, false);
        x11.key(KEY_LEFTCTRL, true);
        x11.wheel(-kWheelUnitsPerClick, 0);
        x11.key(KEY_LEFTCTRL, false);
        x11.flush();
    });
    EXPECT_EQ(typed(seen), "b");
    const auto clicks = only(seen, Seen::wheelClicks);
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0].amount, -1);
    EXPECT_EQ(kindsOf(seen, {Seen::keyPress, Seen::keyRelease, Seen::wheelClicks}),
              (std::vector<Seen::Kind>{Seen::keyPress, Seen::keyRelease, Seen::keyPress,
                                       Seen::wheelClicks, Seen::keyRelease}));
    x11.sync();
    EXPECT_FALSE(observed().anythingDown());
}

TEST_F(Uinput, ZoomIsControlWithWheelClicks) {
    const auto seen = rig->afterMessages(
        {cm::Magnify{0, ScrollPhase::began}, cm::Magnify{0.2f, ScrollPhase::changed}});
    const auto presses = only(seen, Seen::keyPress);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].keysym, "Control_L");
    double clicks = 0;
    for (const auto& s : only(seen, Seen::wheelClicks)) {
        clicks += s.amount;
    }
    EXPECT_EQ(clicks, 2);
    EXPECT_FALSE(observed().anythingDown());
}

// The overview's combination is pressed with the keys of the session's layout.
TEST_F(Uinput, TheOverviewKeyIsPressedOnTheSessionsLayout) {
    rig->defaults().set("overviewKey", "Super+Tab");
    const auto seen = rig->afterMessages({cm::Gesture{wire::TrackpadGesture::threeFingerUp}});
    rig->defaults().remove("overviewKey");
    std::vector<std::string> keys;
    for (const auto& s : seen) {
        if (s.kind == Seen::keyPress || s.kind == Seen::keyRelease) {
            keys.push_back((s.kind == Seen::keyPress ? "+" : "-") + s.keysym);
        }
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"+Super_L", "+Tab", "-Tab", "-Super_L"}));
}

// Buttons pressed on both pointers (one after an absolute move, one after a relative one) and
// latched modifiers: release-all leaves nothing down.
TEST_F(Uinput, ReleaseAllLeavesNothingDown) {
    rig->afterMessages({cm::PointerAbsolute{0.5f, 0.5f, 0},
                        cm::MouseButton{MouseButton::left, true}, cm::PointerRelative{5, 5},
                        cm::MouseButton{MouseButton::right, true},
                        cm::SetStickyModifiers{KeyModifiers::shift | KeyModifiers::option}});
    EXPECT_TRUE(observed().anythingDown());
    rig->after([&] { rig->injector().releaseAll(); });
    EXPECT_FALSE(observed().anythingDown());
}

TEST_F(UinputOnSway, WithoutADisplayServerKeysFollowTheSystemsLayout) {
    // What a text console gets: no pointer space (absolute moves dropped), the system's
    // layout, no clipboard. The session here stands in for the console's reader.
    UinputInputBackend console(platform::uinputForConsole());
    ASSERT_TRUE(console.permission().permitted) << console.permission().reason;
    ASSERT_TRUE(waitUntil([] { return sessionDevices().count("Quillon keyboard") == 2; }, 30s));
    std::this_thread::sleep_for(500ms);
    const auto seen = rig->after([&] {
        console.movePointerTo({10, 10});
        console.typeText(U"Quillon 1, é");
    });
    EXPECT_EQ(typed(seen), "Quillon 1, ");
    EXPECT_EQ(only(seen, Seen::motion).size(), 0u);
    EXPECT_EQ(console.stats().dropped, 2u); // the move and the é
    EXPECT_EQ(console.stats().pastes, 0u);
}

// The package's rule as udev applies it: /dev/uinput carries the uaccess tag (logind then gives
// the user of the seat's active session an ACL on it), and udev kept the tag for the static
// node, which exists before the module is loaded.
TEST_F(UinputOnSway, ThePackagesUdevRuleGivesUinputToTheSeatsUser) {
    ChildProcess info({.argv = {"udevadm", "info", "--query=property", "--name=/dev/uinput"},
                       .outputFile = "/tmp/udevadm-info.txt"});
    ASSERT_TRUE(info.wait(20s));
    const std::string properties = info.output();
    std::string tags;
    std::istringstream lines(properties);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("TAGS=", 0) == 0) {
            tags = line;
        }
    }
    EXPECT_NE(tags.find(":uaccess:"), std::string::npos) << properties;
    EXPECT_TRUE(std::filesystem::exists("/run/udev/static_node-tags/uaccess/uinput"));
}

TEST_F(UinputOnSway, AUserWithoutAccessIsToldWhyAndWhatToDo) {
    // /dev/uinput here is root's alone (no uaccess rule, no login): this program as nobody.
    ChildProcess::Options o;
    o.argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
              std::filesystem::read_symlink("/proc/self/exe")};
    o.env = {{"QUILLON_UINPUT_PROBE", "1"}, {"QUILLON_VM_GUEST", std::nullopt}};
    o.outputFile = "/tmp/uinput-probe.txt";
    ChildProcess probe(o);
    ASSERT_TRUE(probe.wait(60s));
    const std::string out = probe.output();
    EXPECT_NE(out.find("permitted: no\n"), std::string::npos) << out;
    EXPECT_NE(out.find("reason: /dev/uinput is not writable by nobody: Quillon's udev rule gives "
                       "the user logged in at the seat access to it"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"sudo scripts/install-uinput-access\""), std::string::npos) << out;
}

// ---------------------------------------------------------------------------------------------
// Inside the guest: the host as a user runs it, on this session through uinput.

TEST_F(Uinput, HeadlessHostPairedByTheClientMovesTypesAndStopsAtTheLock) {
    testing::AvahiFixture avahi;
    testing::DbusFixture session(testing::DbusFixture::Kind::session);
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "/config/corvane");
    std::ofstream(dir.path() + "/config/corvane/defaults.json") << R"({"inputBackend":"uinput"})";

    ChildProcess::Options options;
    options.argv = {QUILLON_BINARY_DIR "/Quillon/quillon", "--headless"};
    options.env = avahi.environment();
    options.env["DBUS_SESSION_BUS_ADDRESS"] = session.address();
    options.env["XDG_DATA_HOME"] = dir.path() + "/data";
    options.env["XDG_CONFIG_HOME"] = dir.path() + "/config";
    options.env["XDG_CACHE_HOME"] = dir.path() + "/cache";
    options.outputFile = dir.path() + "/console.txt";
    options.pipeStdin = true;
    ChildProcess host(options);
    const auto consoleHas = [&](const std::string& text) {
        return host.output().find(text) != std::string::npos;
    };
    ASSERT_TRUE(waitUntil([&] { return consoleHas("Type help for the commands"); }, 60s))
        << host.output();
    EXPECT_TRUE(consoleHas("Input permission granted")) << host.output();

    host.writeStdin("pair\n");
    std::smatch match;
    std::string out;
    ASSERT_TRUE(waitUntil(
        [&] {
            out = host.output();
            return std::regex_search(out, match, std::regex("Pairing code: ([0-9]{6})\n"));
        },
        20s))
        << out;
    const std::string state = dir.path() + "/client-state";
    const auto client = [&](std::vector<std::string> args, const std::string& name) {
        ChildProcess::Options o;
        o.argv = {QUILLON_BINARY_DIR "/tools/corvane-client"};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = avahi.environment();
        o.outputFile = dir.path() + "/" + name;
        o.pipeStdin = true;
        return std::make_unique<ChildProcess>(o);
    };
    {
        auto pairing =
            client({"pair", "--pin", match[1], "--state", state, "--name", "VM iPad"}, "pair.txt");
        const auto status = pairing->wait(60s);
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << pairing->output();
    }
    std::unique_ptr<ChildProcess> tablet;
    ASSERT_TRUE(waitUntil(
        [&] {
            tablet = client({"hello", "--state", state}, "hello.txt");
            return waitUntil(
                       [&] {
                           return tablet->output().find("helloAck") != std::string::npos ||
                                  !tablet->running();
                       },
                       30s) &&
                   tablet->output().find("helloAck") != std::string::npos;
        },
        90s));
    // The host's own devices (beside the rig's) join the session before input arrives.
    ASSERT_TRUE(waitUntil(
        [] {
            const auto names = sessionDevices();
            return names.count("Quillon keyboard") == 2 &&
                   names.count("Quillon absolute pointer") == 2;
        },
        30s));

    // Absolute positions are fractions of the display: a quarter across, half way down.
    observed().clear();
    tablet->writeStdin("move 0.25 0.5\n");
    observed().waitFor([](const auto& s) { return !only(s, Seen::motion).empty(); }, 10s);
    EXPECT_TRUE(waitUntil(
        [&] {
            return nearly(observed().pointer(), {320, 360});
        },
        10s))
        << observed().pointer().x << "," << observed().pointer().y;

    // ⌘C arrives as Control+C.
    observed().clear();
    tablet->writeStdin("key 8 command\n");
    auto seen = observed().waitFor(
        [](const auto& s) {
            const auto p = only(s, Seen::keyPress);
            return !p.empty() && p.back().keysym == "c";
        },
        10s);
    ASSERT_FALSE(only(seen, Seen::keyPress).empty());
    EXPECT_TRUE(only(seen, Seen::keyPress).back().ctrl);

    // A button the tablet holds is down in the session until the lock below lets it go.
    tablet->writeStdin("button left down\n");
    EXPECT_TRUE(waitUntil([&] { return observed().anythingDown(); }, 10s));

    // A long text (ten seconds of typing at the least), and the screen locks while it is
    // typed: typing stops, and nothing more comes once what was under way has arrived.
    observed().clear();
    const std::string text(10000, 'x');
    tablet->writeStdin("text " + text + "\n");
    // Not settle(): typing paced by millisecond pauses is never quiet until the text is done.
    ASSERT_GE(
        typed(observed().waitFor([](const auto& s) { return typed(s).size() >= 20; }, 30s)).size(),
        20u);
    testing::DbusPeer screensaver(session.address());
    screensaver.requestName("org.freedesktop.ScreenSaver"); // only the locker's own signals count
    screensaver.emitBool("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "ActiveChanged", true);
    ASSERT_TRUE(
        waitUntil([&] { return consoleHas("Screen locked; all connections dropped"); }, 20s));
    const std::size_t settled = typed(observed().settle(2s)).size();
    EXPECT_LT(settled, text.size());
    EXPECT_EQ(typed(observed().settle(2s)).size(), settled);
    EXPECT_FALSE(observed().anythingDown());

    ASSERT_TRUE(host.signal(SIGTERM));
    const auto status = host.wait(30s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    // Its devices went with it.
    EXPECT_TRUE(waitUntil(
        [] {
            const auto names = sessionDevices();
            return names.count("Quillon keyboard") == 1 &&
                   names.count("Quillon absolute pointer") == 1;
        },
        20s));
}

// ---------------------------------------------------------------------------------------------
// On the host: one boot, every guest case reported under its own name.

struct GuestOutcome {
    bool ran = false;
    bool passed = false;
    bool skipped = false;
    std::string messages;
};

struct GuestRun {
    testing::VirtualMachine::Result vm;
    std::map<std::string, GuestOutcome> cases;           // "sway/Uinput.Name"
    std::map<std::string, std::string> sanitizerReports; // by session: what ASan/UBSan said
    std::string problem;                                 // the machine did not run the cases
};

// The part of the guest's log a session's run wrote, and a sanitizer's report in it.
std::string sanitizerReport(const std::string& log, const std::string& session) {
    const auto start = log.find("== " + session + " ");
    if (start == std::string::npos) {
        return {};
    }
    const auto end = log.find("\n== ", start + 1);
    const std::string part = log.substr(start, end == std::string::npos ? end : end - start);
    for (const char* marker :
         {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
        if (const auto at = part.find(marker); at != std::string::npos) {
            return part.substr(at, 4000);
        }
    }
    return {};
}

const std::vector<std::string> kSessions = {"sway", "xorg"};

// The sessions to boot: all, or those QUILLON_VM_SESSIONS names ("sway", "xorg") while working
// on one of them.
bool booted(const std::string& session) {
    const char* only = std::getenv("QUILLON_VM_SESSIONS");
    return only == nullptr || std::string(only).find(session) != std::string::npos;
}

std::string suiteFor(const std::string& session) {
    return session == "sway" ? "UinputOnSway" : "UinputOnXorg";
}

std::string selfPath() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::string guestScript() {
    std::ostringstream s;
    s << "set -u\n"
         ". " QUILLON_SOURCE_DIR "/tests/vm/session.sh\n"
         "export HOME=/root XDG_RUNTIME_DIR=/tmp/root-runtime XDG_STATE_HOME=/tmp/state\n"
         "export XDG_CONFIG_HOME=/tmp/config XDG_DATA_HOME=/tmp/data XDG_CACHE_HOME=/tmp/cache\n"
         "export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1\n"
         "export G_SLICE=always-malloc\n"
         "mkdir -p -m 700 /tmp/root-runtime\n"
         // The package's udev rule where the package puts it, before udev starts.
         "install -D -m 644 " QUILLON_SOURCE_DIR "/data/70-quillon-uinput.rules "
         "/usr/lib/udev/rules.d/70-quillon-uinput.rules\n"
         "vm_udev\n";
    for (const auto& session : kSessions) {
        if (!booted(session)) {
            continue;
        }
        s << "echo \"== " << session << " $(cat /proc/uptime)\"\n"
          << "if vm_" << session << "; then\n"
          << "  QUILLON_VM_GUEST=" << session << " " << selfPath()
          << " --gtest_filter='Uinput.*:" << suiteFor(session)
          << ".*' --gtest_output=json:/mnt/work/" << session << ".json\n"
          << "  vm_stop_" << session << "\n"
          << "fi\n";
    }
    s << "echo \"== done $(cat /proc/uptime)\"\n";
    return s.str();
}

GuestRun& guestRun() {
    static GuestRun run = [] {
        GuestRun r;
        testing::VirtualMachine vm;
        try {
            r.vm = vm.run({.guestScript = guestScript()});
        } catch (const std::exception& e) {
            r.problem = e.what();
            return r;
        }
        std::printf("virtual machine: %.1f s\n", r.vm.seconds);
        if (r.vm.timedOut) {
            r.problem = "the virtual machine did not finish in time";
        }
        for (const auto& session : kSessions) {
            r.sanitizerReports[session] = sanitizerReport(r.vm.guestLog, session);
            std::ifstream in(vm.workDir() + "/" + session + ".json");
            const auto json = nlohmann::json::parse(in, nullptr, false);
            if (json.is_discarded()) {
                continue;
            }
            for (const auto& suite : json.value("testsuites", nlohmann::json::array())) {
                for (const auto& test : suite.value("testsuite", nlohmann::json::array())) {
                    GuestOutcome o;
                    o.ran = test.value("status", "") == "RUN";
                    o.skipped = test.value("result", "") == "SKIPPED";
                    o.passed = !test.contains("failures");
                    for (const auto& f : test.value("failures", nlohmann::json::array())) {
                        o.messages += f.value("failure", "") + "\n";
                    }
                    r.cases[session + "/" + suite.value("name", "") + "." +
                            test.value("name", "")] = o;
                }
            }
        }
        return r;
    }();
    return run;
}

class HostSide : public ::testing::Test {
public:
    HostSide(std::string session, std::string name)
        : session_(std::move(session)), name_(std::move(name)) {}
    void TestBody() override {
        if (!booted(session_)) {
            GTEST_SKIP() << "QUILLON_VM_SESSIONS leaves " << session_ << " out";
        }
        auto& run = guestRun();
        if (!run.vm.cannotStart.empty()) {
            GTEST_SKIP() << "QEMU cannot start here: " << run.vm.cannotStart;
        }
        ASSERT_TRUE(run.problem.empty()) << run.problem << "\n" << run.vm.guestLog;
        const auto it = run.cases.find(session_ + "/" + name_);
        ASSERT_NE(it, run.cases.end())
            << "the guest did not report " << name_ << " on " << session_ << ":\n"
            << run.vm.guestLog.substr(
                   run.vm.guestLog.size() > 20000 ? run.vm.guestLog.size() - 20000 : 0);
        if (it->second.skipped) {
            GTEST_SKIP() << it->second.messages;
        }
        EXPECT_TRUE(it->second.passed) << it->second.messages;
        // A sanitizer speaks at the exit of the guest's run, after the cases' results.
        EXPECT_EQ(run.sanitizerReports[session_], "");
    }

private:
    std::string session_, name_;
};

} // namespace
} // namespace quillon

// Its own main(): the host side registers a test per guest case and session and narrows the
// filter to them, between reading the command line and running.
int main(int argc, char** argv) {
    using namespace quillon;
    i18n::initialise();
    if (std::getenv("QUILLON_UINPUT_PROBE") != nullptr) {
        // The backend as a user without access to /dev/uinput sees it (see above).
        UinputInputBackend backend({});
        const auto permission = backend.permission();
        std::printf("permitted: %s\nreason: %s\n", permission.permitted ? "yes" : "no",
                    permission.reason.c_str());
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (!guestSession().empty()) {
        // Inside the guest: the rig for the whole run, then the cases.
        struct RigEnvironment : ::testing::Environment {
            void SetUp() override { rig = new Rig(); }
            void TearDown() override {
                delete rig;
                rig = nullptr;
            }
        };
        ::testing::AddGlobalTestEnvironment(new RigEnvironment);
        return RUN_ALL_TESTS();
    }
    // On the host: one test per guest case and session; the guest cases themselves do not run.
    const auto* unit = ::testing::UnitTest::GetInstance();
    std::vector<std::string> names;
    for (int i = 0; i < unit->total_test_suite_count(); ++i) {
        const auto* suite = unit->GetTestSuite(i);
        for (int j = 0; j < suite->total_test_count(); ++j) {
            names.push_back(std::string(suite->name()) + "." + suite->GetTestInfo(j)->name());
        }
    }
    for (const auto& session : kSessions) {
        const std::string suite = session == "sway" ? "Sway" : "Xorg";
        for (const auto& name : names) {
            const std::string guestSuite = name.substr(0, name.find('.'));
            if (guestSuite != "Uinput" && guestSuite != suiteFor(session)) {
                continue;
            }
            ::testing::RegisterTest(
                suite.c_str(), name.substr(name.find('.') + 1).c_str(), nullptr, nullptr, __FILE__,
                __LINE__,
                [session, name]() -> ::testing::Test* { return new HostSide(session, name); });
        }
    }
    std::string filter = ::testing::GTEST_FLAG(filter);
    if (filter == "*") {
        filter = "Sway.*:Xorg.*";
    }
    filter += filter.find('-') == std::string::npos ? "-Uinput*" : ":Uinput*";
    ::testing::GTEST_FLAG(filter) = filter;
    return RUN_ALL_TESTS();
}
