// test-labels: wayland;gnome
// test-timeout: 300
// The GNOME backend under a real headless GNOME Shell, observed by a Wayland client of our own.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Input/GnomeRemoteDesktopBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include "tests/support/GnomeShellFixture.hpp"
#include "tests/support/WaylandInputObserver.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using platform::GnomeRemoteDesktopBackend;
using platform::PointerButton::left;
using testing::GnomeShellServer;
using testing::WaylandInputObserver;
using Rec = WaylandInputObserver::Record;
namespace cm = wire::cm;
using wire::KeyModifiers;

constexpr int kEscape = 1, kLeftCtrl = 29, kC = 46;

struct Session {
    explicit Session(GnomeShellServer::Options options = {})
        : shell(options),
          geometry(std::make_shared<platform::WaylandDisplayGeometry>(shell.display())),
          backend({.busAddress = shell.busAddress(),
                   .waylandDisplay = shell.display(),
                   .geometry = geometry}),
          observer(shell.display()), defaults(dir.path() + "/defaults.json"),
          // The host's injector over this backend, for what is composed of its verbs.
          injector(EventInjector::create(
              {.backend =
                   std::shared_ptr<platform::InputBackend>(std::shared_ptr<void>(), &backend),
               .geometry = geometry,
               .defaults = defaults,
               .scheduler = std::make_shared<platform::ManualScheduler>()})) {
        EXPECT_TRUE(backend.permission().permitted) << backend.permission().reason;
        // Warm up: the virtual devices appear with the session, and the first events may
        // come before the observer's seat has them.
        // GNOME Shell starts in its overview, above every window: Escape leaves it.
        backend.key(kEscape, true);
        backend.key(kEscape, false);
        testing::waitUntil(
            [&] {
                backend.movePointerTo({20, 20});
                backend.movePointerTo({10, 10});
                backend.sync();
                observer.settle(50ms);
                return observer.pointerInside() && observer.keyboardFocus();
            },
            10s);
        EXPECT_TRUE(observer.pointerInside());
        EXPECT_TRUE(observer.keyboardFocus());
        observer.settle(100ms);
        observer.clear();
    }

    std::vector<Rec> after(std::function<void()> act, std::chrono::milliseconds quiet = 200ms) {
        observer.clear();
        act();
        backend.sync();
        return observer.settle(quiet);
    }

    GnomeShellServer shell;
    std::shared_ptr<platform::WaylandDisplayGeometry> geometry;
    GnomeRemoteDesktopBackend backend;
    WaylandInputObserver observer;
    testing::TempDir dir;
    platform::Defaults defaults;
    std::shared_ptr<EventInjector> injector;
};

std::vector<Rec::Kind> kinds(const std::vector<Rec>& records,
                             std::initializer_list<Rec::Kind> keep) {
    std::vector<Rec::Kind> out;
    for (const auto& r : records) {
        if (std::find(keep.begin(), keep.end(), r.kind) != keep.end()) {
            out.push_back(r.kind);
        }
    }
    return out;
}

struct Step {
    const char* what;
    std::function<void(GnomeRemoteDesktopBackend&)> act;
    double x, y;
};

void expectMoves(Session& s, const std::vector<Step>& steps) {
    for (const auto& step : steps) {
        s.after([&] { step.act(s.backend); }, 150ms);
        EXPECT_NEAR(s.observer.pointerX(), step.x, 0.01) << step.what;
        EXPECT_NEAR(s.observer.pointerY(), step.y, 0.01) << step.what;
    }
}

// One shell for the pointer, keyboard and clipboard cases: GNOME Shell takes seconds to start.
TEST(GnomeInput, PointerButtonsKeysTextWheelAndReleaseAll) {
    Session s;
    ASSERT_EQ(s.geometry->mainBounds(), (platform::Rect{0, 0, 1600, 900}));
    EXPECT_EQ(s.backend.mode(), GnomeRemoteDesktopBackend::PointerMode::absolute);

    expectMoves(
        s, {
               {"to the middle",
                [](auto& b) {
                    b.movePointerTo({800, 450});
                },
                800, 450},
               {"by (10,-20)", [](auto& b) { b.movePointerBy(10, -20); }, 810, 430},
               {"outside, clamped",
                [](auto& b) {
                    b.movePointerTo({5000, 40});
                },
                1599, 40},
               {"past the bottom-right", [](auto& b) { b.movePointerBy(5000, 5000); }, 1599, 899},
               {"not a number",
                [](auto& b) {
                    b.movePointerTo({NAN, 300});
                },
                0, 300},
           });

    // A drag holds 272; a double click is two pairs.
    s.after([&] { s.backend.movePointerTo({100, 100}); });
    auto rec = s.after([&] {
        s.backend.button(left, true);
        s.backend.movePointerTo({300, 200});
        s.backend.button(left, false);
    });
    EXPECT_EQ(kinds(rec, {Rec::buttonPress, Rec::motion, Rec::buttonRelease}),
              (std::vector{Rec::buttonPress, Rec::motion, Rec::buttonRelease}));
    const auto presses = WaylandInputObserver::only(rec, Rec::buttonPress);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].code, 272u);
    EXPECT_EQ(presses[0].x, 100);
    rec = s.after([&] {
        for (int i = 0; i < 2; ++i) {
            s.backend.button(left, true);
            s.backend.button(left, false);
        }
    });
    EXPECT_EQ(
        kinds(rec, {Rec::buttonPress, Rec::buttonRelease}),
        (std::vector{Rec::buttonPress, Rec::buttonRelease, Rec::buttonPress, Rec::buttonRelease}));

    // Command-C as Control+c.
    rec = s.after([&] {
        s.backend.key(kLeftCtrl, true);
        s.backend.key(kC, true);
        s.backend.key(kC, false);
        s.backend.key(kLeftCtrl, false);
    });
    auto keys = WaylandInputObserver::only(rec, Rec::keyPress);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1].keysym, "c");
    EXPECT_TRUE(keys[1].ctrl);

    // Text on the layout is typed, without the Control the caller holds.
    rec = s.after(
        [&] {
            s.injector->handle(cm::SetStickyModifiers{KeyModifiers::control});
            s.injector->handle(cm::TextInput{"Hello, World!"});
            s.injector->handle(cm::SetStickyModifiers{});
        },
        300ms);
    EXPECT_EQ(WaylandInputObserver::text(rec), "Hello, World!");
    for (const auto& r : WaylandInputObserver::only(rec, Rec::keyPress)) {
        if (!r.text.empty()) {
            EXPECT_FALSE(r.ctrl) << r.text;
        }
    }
    EXPECT_EQ(s.backend.pastes(), 0u);

    // Text off the layout: the clipboard holds it when Control+V arrives, and the user's
    // clipboard comes back once the paste has read it.
    testing::GnomeClipboardPeer clipboard(s.shell.busAddress());
    const auto paste = [&](std::u32string_view text) {
        s.observer.clear();
        s.backend.typeText(text);
        s.backend.sync();
        return s.observer.waitFor([](const auto& all) {
            return WaylandInputObserver::only(all, Rec::keyRelease).size() == 2;
        });
    };
    const auto clipboardBecomes = [&](std::optional<std::string> expected) {
        std::optional<std::string> now;
        testing::waitUntil(
            [&] {
                now = clipboard.read();
                return now == expected;
            },
            5s);
        return now;
    };
    // With nothing on the clipboard before, the pasted text does not stay there.
    paste(U"ü");
    EXPECT_EQ(clipboard.read(), "ü");
    EXPECT_EQ(clipboardBecomes(""), "");

    clipboard.own("the user's text");
    rec = paste(U"héllo wörld €😀 中文");
    keys = WaylandInputObserver::only(rec, Rec::keyPress);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].keysym, "Control_L");
    EXPECT_EQ(keys[1].keysym, "v");
    EXPECT_TRUE(keys[1].ctrl);
    EXPECT_EQ(clipboard.read(), "héllo wörld €😀 中文"); // the paste, as the application reads it
    EXPECT_EQ(s.backend.pastes(), 2u);
    EXPECT_EQ(clipboardBecomes("the user's text"), "the user's text");

    // The wheel: whole clicks as discrete steps (10 each), parts of a click as smooth values.
    rec = s.after([&] {
        s.backend.wheel(240, 0);
        s.backend.wheel(0, -60);
    });
    std::vector<std::pair<int, double>> axes;
    int steps = 0;
    for (const auto& r : rec) {
        if (r.kind == Rec::axis) {
            axes.emplace_back(r.axisIndex, r.value);
        } else if (r.kind == Rec::axisDiscrete) {
            steps += r.discrete;
        }
    }
    EXPECT_EQ(steps, -2);
    EXPECT_EQ(axes, (std::vector<std::pair<int, double>>{{0, -10}, {0, -10}, {1, -5}}));

    // releaseAll leaves nothing down.
    s.after([&] {
        s.injector->handle(cm::MouseButton{wire::MouseButton::left, true});
        s.injector->handle(cm::SetStickyModifiers{KeyModifiers::control | KeyModifiers::shift});
    });
    EXPECT_EQ(s.observer.buttonsDown(), (std::set<std::uint32_t>{272}));
    EXPECT_EQ(s.observer.keysDown(), (std::set<std::uint32_t>{29, 42}));
    rec = s.after([&] { s.injector->releaseAll(); });
    EXPECT_TRUE(s.observer.buttonsDown().empty());
    EXPECT_TRUE(s.observer.keysDown().empty());
    EXPECT_TRUE(WaylandInputObserver::only(rec, Rec::keyPress).empty());
    EXPECT_TRUE(WaylandInputObserver::only(rec, Rec::buttonPress).empty());

    // Workspaces by GNOME's shortcut: the observer's window stays on the first one, so it
    // loses the keyboard on the next and has it back on return. Show desktop has no verb on
    // GNOME and is counted as dropped.
    s.injector->handle(cm::Gesture{wire::TrackpadGesture::threeFingerRight});
    s.backend.sync();
    s.observer.waitFor([&](const auto&) { return !s.observer.keyboardFocus(); });
    EXPECT_FALSE(s.observer.keyboardFocus());
    s.injector->handle(cm::Gesture{wire::TrackpadGesture::threeFingerLeft});
    s.backend.sync();
    s.observer.waitFor([&](const auto&) { return s.observer.keyboardFocus(); });
    EXPECT_TRUE(s.observer.keyboardFocus());
    EXPECT_EQ(s.backend.dropped(), 0u);
    s.injector->handle(cm::Gesture{wire::TrackpadGesture::showDesktop});
    EXPECT_EQ(s.backend.dropped(), 1u);
}

// Without PipeWire there is no screen cast stream: moves go by relative motion from the
// bottom-right corner, and still land where they should.
TEST(GnomeInput, WithoutPipeWireMovesGoRelativeFromTheCorner) {
    Session s({.pipewire = false});
    EXPECT_EQ(s.backend.mode(), GnomeRemoteDesktopBackend::PointerMode::relativeFromCorner);
    expectMoves(s, {
                       {"to the middle",
                        [](auto& b) {
                            b.movePointerTo({800, 450});
                        },
                        800, 450},
                       {"by (10,-20)", [](auto& b) { b.movePointerBy(10, -20); }, 810, 430},
                       {"to a point",
                        [](auto& b) {
                            b.movePointerTo({100, 700});
                        },
                        100, 700},
                       {"outside, clamped",
                        [](auto& b) {
                            b.movePointerTo({5000, 40});
                        },
                        1599, 40},
                   });
}

TEST(GnomeInput, ALostShellDropsInputAndSaysWhy) {
    GnomeShellServer shell;
    GnomeRemoteDesktopBackend backend(
        {.busAddress = shell.busAddress(), .waylandDisplay = shell.display()});
    ASSERT_TRUE(backend.permission().permitted) << backend.permission().reason;
    backend.key(kLeftCtrl, true);
    backend.sync();
    shell.stop();
    EXPECT_TRUE(testing::waitUntil([&] { return !backend.permission().permitted; }, 5s));
    EXPECT_EQ(backend.permission().reason,
              "GNOME Shell's remote desktop left the session bus (the compositor ended or "
              "restarted)");
    backend.movePointerTo({5, 5});
    backend.key(kC, true);
    EXPECT_EQ(backend.dropped(), 2u);
}

} // namespace
} // namespace quillon
