// test-labels: wayland;injection
// test-timeout: 180
// The wlroots backend under a real headless Sway, observed by a Wayland client of our own.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Input/WlrootsInputBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include "tests/support/SwayFixture.hpp"
#include "tests/support/WaylandInputObserver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using platform::Point;
using platform::WlrootsInputBackend;
using platform::PointerButton::left;
using testing::SwayServer;
using testing::WaylandInputObserver;
using Rec = WaylandInputObserver::Record;
namespace cm = wire::cm;
using wire::KeyModifiers;

constexpr int kLeftCtrl = 29, kC = 46;

// A compositor, the backend under test and an observer window with the pointer and keyboard
// focus. The backend comes first: its devices give the seat a pointer and a keyboard, and the
// observer binds them as they appear (events before that would be lost).
struct Session {
    explicit Session(SwayServer::Options options = {}, std::string displaySetting = "primary")
        : sway(std::move(options)),
          geometry(std::make_shared<platform::WaylandDisplayGeometry>(
              sway.display(), [displaySetting] { return displaySetting; })),
          backend(
              {.display = sway.display(), .geometry = geometry, .swaySocket = sway.ipcSocket()}),
          observer(sway.display()), defaults(dir.path() + "/defaults.json"),
          // The host's injector over this backend, for what is composed of its verbs.
          injector(EventInjector::create(
              {.backend =
                   std::shared_ptr<platform::InputBackend>(std::shared_ptr<void>(), &backend),
               .geometry = geometry,
               .defaults = defaults,
               .scheduler = std::make_shared<platform::ManualScheduler>()})) {
        EXPECT_TRUE(backend.permission().permitted) << backend.permission().reason;
        // Warm up: a move gives the observer the pointer; the window has the keyboard focus.
        backend.movePointerTo({10, 10});
        backend.sync();
        observer.waitFor(
            [&](const auto&) { return observer.pointerInside() && observer.keyboardFocus(); });
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

    SwayServer sway;
    std::shared_ptr<platform::WaylandDisplayGeometry> geometry;
    WlrootsInputBackend backend;
    WaylandInputObserver observer;
    testing::TempDir dir;
    platform::Defaults defaults;
    std::shared_ptr<EventInjector> injector;
};

// Kinds only, for whole-sequence comparisons.
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

TEST(WlrootsInput, AbsoluteMovesLandOnTheOutputAndRelativeMovesStopAtItsEdges) {
    Session s;
    ASSERT_EQ(s.geometry->mainBounds(), (platform::Rect{0, 0, 1600, 900}));
    ASSERT_EQ(s.observer.width(), 1600);

    struct Step {
        const char* what;
        std::function<void(WlrootsInputBackend&)> act;
        double x, y;
    };
    const Step steps[] = {
        {"to the middle",
         [](auto& b) {
             b.movePointerTo({800, 450});
         },
         800, 450},
        {"by (10,-20)", [](auto& b) { b.movePointerBy(10, -20); }, 810, 430},
        {"by a fraction", [](auto& b) { b.movePointerBy(0.5, 0.25); }, 810.5, 430.25},
        {"to a fraction",
         [](auto& b) {
             b.movePointerTo({100.5, 200.25});
         },
         100.5, 200.25},
        {"to the origin",
         [](auto& b) {
             b.movePointerTo({0, 0});
         },
         0, 0},
        {"past the top-left", [](auto& b) { b.movePointerBy(-30, -30); }, 0, 0},
        {"outside, clamped",
         [](auto& b) {
             b.movePointerTo({5000, -40});
         },
         1599, 0},
        {"past the bottom-right", [](auto& b) { b.movePointerBy(5000, 5000); }, 1599, 899},
        {"not a number",
         [](auto& b) {
             b.movePointerTo({NAN, 300});
         },
         0, 300},
    };
    for (const auto& step : steps) {
        s.after([&] { step.act(s.backend); }, 100ms);
        EXPECT_NEAR(s.observer.pointerX(), step.x, 0.01) << step.what;
        EXPECT_NEAR(s.observer.pointerY(), step.y, 0.01) << step.what;
    }
    EXPECT_EQ(s.backend.dropped(), 0u);
}

TEST(WlrootsInput, AbsoluteMovesReachTheSelectedAreaOfTwoOutputs) {
    const SwayServer::Options twoOutputs{
        .outputs = {{"", 0, 0, 1600, 900, 1}, {"", 1600, 0, 800, 600, 2}}};
    {
        Session s(twoOutputs, "primary"); // the observer's output, HEADLESS-1
        ASSERT_EQ(s.geometry->mainBounds(), (platform::Rect{0, 0, 1600, 900}));
        s.after([&] { s.backend.movePointerTo({800, 450}); });
        EXPECT_EQ(s.observer.pointerX(), 800);
        EXPECT_EQ(s.observer.pointerY(), 450);
        s.after([&] { s.backend.movePointerTo({5000, 100}); });
        EXPECT_TRUE(s.observer.pointerInside()) << "kept on the selected output";
        EXPECT_EQ(s.observer.pointerX(), 1599);
        EXPECT_EQ(s.observer.pointerY(), 100);
    }
    {
        Session s(twoOutputs, "all"); // 2000 x 900 points
        ASSERT_EQ(s.geometry->mainBounds(), (platform::Rect{0, 0, 2000, 900}));
        s.after([&] { s.backend.movePointerTo({1234.5, 678}); });
        EXPECT_EQ(s.observer.pointerX(), 1234.5);
        EXPECT_EQ(s.observer.pointerY(), 678);
        s.after([&] { s.backend.movePointerTo({1700, 100}); });
        EXPECT_FALSE(s.observer.pointerInside()) << "onto the second output";
        s.after([&] { s.backend.movePointerTo({0, 899}); });
        EXPECT_TRUE(s.observer.pointerInside());
        EXPECT_EQ(s.observer.pointerX(), 0);
        EXPECT_EQ(s.observer.pointerY(), 899);
    }
}

TEST(WlrootsInput, DragHoldsTheLeftButtonAndDoubleClickIsTwoPairs) {
    Session s;
    s.after([&] { s.backend.movePointerTo({100, 100}); });
    auto rec = s.after([&] {
        s.backend.button(left, true);
        s.backend.movePointerTo({300, 200});
        s.backend.button(left, false);
    });
    const auto presses = WaylandInputObserver::only(rec, Rec::buttonPress);
    const auto releases = WaylandInputObserver::only(rec, Rec::buttonRelease);
    ASSERT_EQ(presses.size(), 1u);
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(presses[0].code, 272u);
    EXPECT_EQ(presses[0].x, 100);
    EXPECT_EQ(releases[0].code, 272u);
    EXPECT_EQ(releases[0].x, 300);
    EXPECT_EQ(releases[0].y, 200);
    EXPECT_EQ(kinds(rec, {Rec::buttonPress, Rec::motion, Rec::buttonRelease}),
              (std::vector{Rec::buttonPress, Rec::motion, Rec::buttonRelease}));

    rec = s.after([&] {
        for (int i = 0; i < 2; ++i) {
            s.backend.button(left, true);
            s.backend.button(left, false);
        }
    });
    EXPECT_EQ(
        kinds(rec, {Rec::buttonPress, Rec::buttonRelease, Rec::motion}),
        (std::vector{Rec::buttonPress, Rec::buttonRelease, Rec::buttonPress, Rec::buttonRelease}));
    EXPECT_TRUE(s.observer.buttonsDown().empty());
}

TEST(WlrootsInput, CommandCArrivesAsControlC) {
    Session s;
    const auto rec = s.after([&] {
        s.backend.key(kLeftCtrl, true);
        s.backend.key(kC, true);
        s.backend.key(kC, false);
        s.backend.key(kLeftCtrl, false);
    });
    const auto presses = WaylandInputObserver::only(rec, Rec::keyPress);
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(presses[0].keysym, "Control_L");
    EXPECT_EQ(presses[1].keysym, "c");
    EXPECT_TRUE(presses[1].ctrl) << "wlroots derives no modifiers from virtual keys: we send them";
    EXPECT_FALSE(presses[1].shift);
    EXPECT_EQ(WaylandInputObserver::only(rec, Rec::keyRelease).size(), 2u);
    EXPECT_TRUE(s.observer.keysDown().empty());
}

TEST(WlrootsInput, TextArrivesAsThoseCharactersWithoutTheHeldModifiers) {
    Session s;
    const std::u32string text = U"héllo wörld €😀 中文 ABC";
    auto rec = s.after([&] { s.backend.typeText(text); }, 300ms);
    EXPECT_EQ(WaylandInputObserver::text(rec), "héllo wörld €😀 中文 ABC");

    // Control held by the caller does not turn the text into shortcuts, and stays held after.
    rec = s.after(
        [&] {
            s.backend.key(kLeftCtrl, true);
            s.backend.typeText(U"a€");
            s.backend.key(kC, true);
            s.backend.key(kC, false);
            s.backend.key(kLeftCtrl, false);
        },
        300ms);
    const auto presses = WaylandInputObserver::only(rec, Rec::keyPress);
    ASSERT_EQ(presses.size(), 4u);
    EXPECT_EQ(presses[1].text, "a");
    EXPECT_FALSE(presses[1].ctrl);
    EXPECT_EQ(presses[2].text, "€");
    EXPECT_FALSE(presses[2].ctrl);
    EXPECT_EQ(presses[3].keysym, "c");
    EXPECT_TRUE(presses[3].ctrl);
    EXPECT_TRUE(s.observer.keysDown().empty());

    // Text typed after the keymap switched back uses the user's layout again.
    rec = s.after([&] {
        s.backend.key(kC, true);
        s.backend.key(kC, false);
    });
    EXPECT_EQ(WaylandInputObserver::text(rec), "c");
}

TEST(WlrootsInput, WheelClicksAndHighResolutionValues) {
    Session s;
    struct Case {
        const char* what;
        std::vector<std::pair<int, int>> calls; // (vertical, horizontal) units
        std::vector<double> values;             // axis values seen, in order
        std::vector<int> discrete;              // discrete steps seen, in order
        int axis;
    };
    const Case cases[] = {
        {"one click away from the user scrolls up", {{120, 0}}, {-15}, {-1}, 0},
        {"two clicks towards the user", {{-240, 0}}, {30}, {2}, 0},
        {"halves: a step once a click is complete", {{60, 0}, {60, 0}}, {-7.5, -7.5}, {-1}, 0},
        {"a quarter and no step", {{30, 0}}, {-3.75}, {}, 0},
        {"right", {{0, 120}}, {15}, {1}, 1},
    };
    for (const auto& c : cases) {
        const auto rec = s.after([&] {
            for (const auto& [v, h] : c.calls) {
                s.backend.wheel(v, h);
            }
        });
        std::vector<double> values;
        std::vector<int> discrete;
        for (const auto& r : rec) {
            if (r.kind == Rec::axis) {
                EXPECT_EQ(r.axisIndex, c.axis) << c.what;
                values.push_back(r.value);
            } else if (r.kind == Rec::axisDiscrete) {
                discrete.push_back(r.discrete);
            } else if (r.kind == Rec::axisSource) {
                EXPECT_EQ(r.source, 0u) << c.what; // wheel
            }
        }
        EXPECT_EQ(values, c.values) << c.what;
        EXPECT_EQ(discrete, c.discrete) << c.what;
    }
}

TEST(WlrootsInput, ZoomIsControlWheelAndTheOverviewTapsSuper) {
    Session s;
    auto rec = s.after([&] { s.injector->handle(cm::Magnify{0.2f, wire::ScrollPhase::changed}); });
    EXPECT_EQ(kinds(rec, {Rec::keyPress, Rec::axisDiscrete, Rec::keyRelease}),
              (std::vector{Rec::keyPress, Rec::axisDiscrete, Rec::keyRelease}));
    const auto discrete = WaylandInputObserver::only(rec, Rec::axisDiscrete);
    ASSERT_EQ(discrete.size(), 1u);
    EXPECT_EQ(discrete[0].discrete, -2); // zoom in: the wheel away from the user
    EXPECT_TRUE(discrete[0].ctrl);
    EXPECT_EQ(WaylandInputObserver::only(rec, Rec::keyPress)[0].keysym, "Control_L");

    // A Control the caller holds stays held.
    rec = s.after([&] {
        s.injector->handle(cm::SetStickyModifiers{KeyModifiers::control});
        s.injector->handle(cm::Magnify{-0.2f, wire::ScrollPhase::changed});
    });
    EXPECT_EQ(kinds(rec, {Rec::keyPress, Rec::axisDiscrete, Rec::keyRelease}),
              (std::vector{Rec::keyPress, Rec::axisDiscrete}));
    EXPECT_EQ(s.observer.keysDown(), (std::set<std::uint32_t>{29}));
    s.after([&] { s.injector->handle(cm::SetStickyModifiers{}); });

    rec = s.after([&] { s.injector->handle(cm::Gesture{wire::TrackpadGesture::threeFingerUp}); });
    const auto presses = WaylandInputObserver::only(rec, Rec::keyPress);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].keysym, "Super_L");
    EXPECT_EQ(WaylandInputObserver::only(rec, Rec::keyRelease).size(), 1u);
    EXPECT_TRUE(s.observer.keysDown().empty());
}

TEST(WlrootsInput, TheOverviewTapsTheConfiguredCombination) {
    Session s;
    struct Case {
        const char* combination;
        std::vector<std::string> pressed; // released in reverse
    };
    const Case cases[] = {
        {"Super+Tab", {"Super_L", "Tab"}},
        {"Control+Alt+Up", {"Control_L", "Alt_L", "Up"}},
        {"F3", {"F3"}},
        {"Super+Nonesuch", {}}, // nothing rather than a lone Super
    };
    for (const auto& c : cases) {
        s.defaults.set("overviewKey", c.combination);
        const auto rec =
            s.after([&] { s.injector->handle(cm::Gesture{wire::TrackpadGesture::threeFingerUp}); });
        std::vector<std::string> pressed, released;
        for (const auto& r : rec) {
            if (r.kind == Rec::keyPress) {
                pressed.push_back(r.keysym);
            } else if (r.kind == Rec::keyRelease) {
                released.push_back(r.keysym);
            }
        }
        EXPECT_EQ(pressed, c.pressed) << c.combination;
        EXPECT_EQ(released, std::vector<std::string>(c.pressed.rbegin(), c.pressed.rend()))
            << c.combination;
        EXPECT_EQ(kinds(rec, {Rec::keyPress, Rec::keyRelease}).size(), 2 * c.pressed.size())
            << c.combination;
        EXPECT_TRUE(s.observer.keysDown().empty()) << c.combination;
    }
}

TEST(WlrootsInput, ReleaseAllLeavesNothingDown) {
    Session s;
    s.after([&] {
        s.injector->handle(cm::MouseButton{wire::MouseButton::left, true});
        s.injector->handle(cm::MouseButton{wire::MouseButton::right, true});
        s.injector->handle(cm::SetStickyModifiers{KeyModifiers::control | KeyModifiers::shift});
    });
    EXPECT_EQ(s.observer.buttonsDown(), (std::set<std::uint32_t>{272, 273}));
    EXPECT_EQ(s.observer.keysDown(), (std::set<std::uint32_t>{29, 42}));

    const auto rec = s.after([&] { s.injector->releaseAll(); });
    EXPECT_TRUE(s.observer.buttonsDown().empty());
    EXPECT_TRUE(s.observer.keysDown().empty());
    EXPECT_EQ(WaylandInputObserver::only(rec, Rec::buttonRelease).size(), 2u);
    EXPECT_EQ(WaylandInputObserver::only(rec, Rec::keyRelease).size(), 2u);
    EXPECT_TRUE(WaylandInputObserver::only(rec, Rec::keyPress).empty());
    EXPECT_TRUE(WaylandInputObserver::only(rec, Rec::buttonPress).empty());

    // A key typed afterwards carries no stale modifier.
    const auto after = s.after([&] {
        s.backend.key(kC, true);
        s.backend.key(kC, false);
    });
    const auto presses = WaylandInputObserver::only(after, Rec::keyPress);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_FALSE(presses[0].ctrl || presses[0].shift);
    EXPECT_EQ(presses[0].text, "c");
}

TEST(WlrootsInput, WorkspacesSwitchByNumberThroughSwayIpcWithoutWrapping) {
    Session s;
    ASSERT_EQ(s.sway.focusedWorkspace(), "1");
    using platform::DesktopAction;
    const auto act = [&](DesktopAction a) { EXPECT_TRUE(s.backend.desktopAction(a)); };
    act(DesktopAction::workspaceLeft);
    EXPECT_EQ(s.sway.focusedWorkspace(), "1");
    act(DesktopAction::workspaceRight);
    EXPECT_EQ(s.sway.focusedWorkspace(), "2");
    act(DesktopAction::workspaceRight);
    EXPECT_EQ(s.sway.focusedWorkspace(), "3");
    act(DesktopAction::workspaceLeft);
    EXPECT_EQ(s.sway.focusedWorkspace(), "2");
    act(DesktopAction::workspaceLeft);
    EXPECT_EQ(s.sway.focusedWorkspace(), "1");

    // Showing the desktop leaves the observer's workspace for an empty one, and comes back.
    act(DesktopAction::toggleShowDesktop);
    EXPECT_NE(s.sway.focusedWorkspace(), "1");
    act(DesktopAction::toggleShowDesktop);
    EXPECT_EQ(s.sway.focusedWorkspace(), "1");
    EXPECT_EQ(s.backend.dropped(), 0u);
}

TEST(WlrootsInput, ABurstLargerThanTheSocketBufferKeepsTheConnection) {
    // libwayland drops a connection whose outgoing buffer overflows: a long burst between two
    // flushes (a big paste, a fast drag) must not cost the host its devices. (No observer
    // during the burst: the compositor would drop a client that cannot keep up, too.)
    SwayServer sway;
    auto geometry = std::make_shared<platform::WaylandDisplayGeometry>(sway.display());
    WlrootsInputBackend backend({.display = sway.display(), .geometry = geometry});
    // A compositor that keeps up: nothing is lost.
    for (int i = 0; i < 20000; ++i) {
        backend.movePointerTo({double(i % 1600), double(i % 900)});
    }
    backend.typeText(std::u32string(3000, U'x'));
    backend.sync();
    EXPECT_TRUE(backend.permission().permitted) << backend.permission().reason;
    EXPECT_EQ(backend.dropped(), 0u);
    // A compositor that reads nothing for a while: the socket fills, moves are dropped and
    // counted, the connection stays.
    ASSERT_TRUE(::kill(sway.pid(), SIGSTOP) == 0);
    for (int i = 0; i < 20000; ++i) {
        backend.movePointerTo({double(i % 1600), double(i % 900)});
    }
    ::kill(sway.pid(), SIGCONT);
    backend.sync();
    EXPECT_TRUE(backend.permission().permitted) << backend.permission().reason;
    EXPECT_GT(backend.dropped(), 0u);

    // The same devices still work.
    WaylandInputObserver observer(sway.display());
    backend.movePointerTo({123, 456});
    backend.typeText(U"ok");
    backend.sync();
    observer.waitFor([&](const auto& all) { return WaylandInputObserver::text(all) == "ok"; });
    EXPECT_EQ(observer.pointerX(), 123);
    EXPECT_EQ(observer.pointerY(), 456);
    EXPECT_EQ(WaylandInputObserver::text(observer.settle()), "ok");
}

TEST(WlrootsInput, ALostCompositorIsSaidAndItsVerbsAreDropped) {
    auto sway = std::make_unique<SwayServer>();
    auto geometry = std::make_shared<platform::WaylandDisplayGeometry>(sway->display());
    WlrootsInputBackend backend({.display = sway->display(),
                                 .geometry = geometry,
                                 .swaySocket = sway->ipcSocket(),
                                 .reconnectInterval = 1h});
    ASSERT_TRUE(backend.permission().permitted);
    backend.button(left, true);
    backend.sync();
    sway->stop();

    backend.movePointerBy(1, 1);
    backend.button(left, false);
    backend.key(kC, true);
    backend.typeText(U"x");
    backend.flush();
    backend.sync();
    EXPECT_FALSE(backend.permission().permitted);
    EXPECT_NE(backend.permission().reason.find("lost the connection"), std::string::npos)
        << backend.permission().reason;
    backend.wheel(120, 0);
    EXPECT_FALSE(backend.desktopAction(platform::DesktopAction::workspaceRight));
    EXPECT_GE(backend.dropped(), 2u);
}

TEST(WlrootsInput, NoCompositorIsSaidPlainly) {
    testing::TempDir dir;
    auto geometry = std::make_shared<platform::WaylandDisplayGeometry>(dir.path() + "/wayland-9",
                                                                       nullptr, 50ms);
    EXPECT_EQ(geometry->mainBounds(), platform::Rect{});
    EXPECT_EQ(geometry->pixelsPerPoint(), 2.0);
    WlrootsInputBackend backend({.display = dir.path() + "/wayland-9", .geometry = geometry});
    EXPECT_FALSE(backend.permission().permitted);
    EXPECT_EQ(backend.permission().reason,
              "cannot connect to the Wayland compositor at " + dir.path() + "/wayland-9");
    backend.movePointerTo({1, 1});
    EXPECT_EQ(backend.dropped(), 1u);
}

} // namespace
} // namespace quillon
