// test-labels: wayland;injection;concurrency
// test-timeout: 240
// The KDE backend under a real headless KWin, observed by a Wayland client of our own.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Input/KdeFakeInputBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include "tests/support/KwinClipboard.hpp"
#include "tests/support/KwinFixture.hpp"
#include "tests/support/WaylandInputObserver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <optional>
#include <thread>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using platform::KdeFakeInputBackend;
using platform::PointerButton::left;
using testing::KwinServer;
using testing::WaylandInputObserver;
using Rec = WaylandInputObserver::Record;
namespace cm = wire::cm;
using wire::KeyModifiers;

constexpr int kLeftCtrl = 29, kC = 46;

struct Session {
    Session()
        : geometry(std::make_shared<platform::WaylandDisplayGeometry>(kwin.display())),
          backend(
              {.display = kwin.display(), .geometry = geometry, .busAddress = kwin.busAddress()}),
          observer(kwin.display()), defaults(dir.path() + "/defaults.json"),
          // The host's injector over this backend, for what is composed of its verbs.
          injector(EventInjector::create(
              {.backend =
                   std::shared_ptr<platform::InputBackend>(std::shared_ptr<void>(), &backend),
               .geometry = geometry,
               .defaults = defaults,
               .scheduler = std::make_shared<platform::ManualScheduler>()})) {
        EXPECT_TRUE(backend.permission().permitted) << backend.permission().reason;
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

    KwinServer kwin;
    std::shared_ptr<platform::WaylandDisplayGeometry> geometry;
    KdeFakeInputBackend backend;
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

// One compositor for the pointer and keyboard cases: KWin takes seconds to start.
TEST(KdeInput, PointerButtonsKeysTextWheelAndReleaseAll) {
    Session s;
    ASSERT_EQ(s.geometry->mainBounds(), (platform::Rect{0, 0, 1600, 900}));

    // Moves.
    struct Step {
        const char* what;
        std::function<void(KdeFakeInputBackend&)> act;
        double x, y;
    };
    const Step steps[] = {
        {"to the middle",
         [](auto& b) {
             b.movePointerTo({800, 450});
         },
         800, 450},
        {"by (10,-20)", [](auto& b) { b.movePointerBy(10, -20); }, 810, 430},
        // KWin keeps its pointer on whole points.
        {"to a fraction",
         [](auto& b) {
             b.movePointerTo({100.5, 200.25});
         },
         101, 200},
        {"past the top-left", [](auto& b) { b.movePointerBy(-300, -300); }, 0, 0},
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

    // Text on the layout is typed, without the Control the tablet holds.
    rec = s.after(
        [&] {
            s.injector->handle(cm::SetStickyModifiers{KeyModifiers::control});
            s.injector->handle(cm::TextInput{"Hello, World! "});
            s.injector->handle(cm::SetStickyModifiers{});
        },
        300ms);
    EXPECT_EQ(WaylandInputObserver::text(rec), "Hello, World! ");
    for (const auto& r : WaylandInputObserver::only(rec, Rec::keyPress)) {
        if (!r.text.empty()) {
            EXPECT_FALSE(r.ctrl) << r.text;
        }
    }
    EXPECT_EQ(s.backend.pastes(), 0u);

    // The wheel: values in proportion to the units (no steps through fake input).
    rec = s.after([&] {
        s.backend.wheel(120, 0);
        s.backend.wheel(0, -60);
    });
    std::vector<std::pair<int, double>> axes;
    for (const auto& r : WaylandInputObserver::only(rec, Rec::axis)) {
        axes.emplace_back(r.axisIndex, r.value);
    }
    EXPECT_EQ(axes, (std::vector<std::pair<int, double>>{{0, -15}, {1, -7.5}}));

    // The overview taps the configured combination, nothing when the layout lacks a key.
    for (const auto& [combination, expected] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"Super+Tab", {"Super_L", "Tab"}}, {"Super+Nonesuch", {}}}) {
        s.defaults.set("overviewKey", combination);
        rec =
            s.after([&] { s.injector->handle(cm::Gesture{wire::TrackpadGesture::threeFingerUp}); });
        std::vector<std::string> pressed, released;
        for (const auto& r : rec) {
            if (r.kind == Rec::keyPress) {
                pressed.push_back(r.keysym);
            } else if (r.kind == Rec::keyRelease) {
                released.push_back(r.keysym);
            }
        }
        EXPECT_EQ(pressed, expected) << combination;
        EXPECT_EQ(released, std::vector<std::string>(expected.rbegin(), expected.rend()))
            << combination;
        EXPECT_TRUE(s.observer.keysDown().empty()) << combination;
    }

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
}

// The key presses and releases of `records` by keysym, with Control's state at each press.
std::vector<std::string> keyStrokes(const std::vector<Rec>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) {
        if (r.kind == Rec::keyPress) {
            out.push_back("+" + r.keysym + (r.ctrl ? "(ctrl)" : ""));
        } else if (r.kind == Rec::keyRelease) {
            out.push_back("-" + r.keysym);
        }
    }
    return out;
}

// Characters the layout lacks go through the clipboard: the text is offered there exactly,
// Control+V is tapped (without the modifier the caller holds), and afterwards the user's own
// clipboard comes back, in the types it was in (an image too); an empty text when there was
// none; a copy made meanwhile stands.
TEST(KdeInput, TextTheLayoutLacksIsPastedAndTheUsersClipboardComesBack) {
    Session s;
    testing::KwinClipboard app(s.kwin.display());
    const std::string text = "héllo wörld €😀 中文";

    struct Case {
        const char* what;
        std::optional<std::string> userText;        // copied before the paste; nothing: cleared
        std::optional<std::string> copiedMeanwhile; // copied after Control+V
        std::string after; // the clipboard's content once the paste is over
        std::string mime = "text/plain;charset=utf-8";
        std::chrono::milliseconds answerDelay{0}; // of the user's application
    };
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    const Case cases[] = {
        {"the user's text comes back", "the user's text", std::nullopt, "the user's text"},
        {"no text before: an empty text, not ours", std::nullopt, std::nullopt, ""},
        {"an image comes back as it was", png, std::nullopt, png, "image/png"},
        {"a copy made meanwhile stands", "earlier", "made meanwhile", "made meanwhile"},
        // The user's clipboard is read in the background, so a slow application neither holds
        // up the paste nor loses its text: its answer comes after the paste and still counts.
        {"a slow application's text comes back too", "slow to answer", std::nullopt,
         "slow to answer", "text/plain;charset=utf-8", 700ms},
    };
    std::uint64_t pastes = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.userText) {
            app.copy(*c.userText, {c.mime}, c.answerDelay);
        } else {
            app.clear();
        }
        const auto dropped = s.backend.dropped();
        auto rec = s.after([&] {
            // A Shift the tablet holds is lifted around the paste.
            s.injector->handle(cm::SetStickyModifiers{KeyModifiers::shift});
            s.injector->handle(cm::TextInput{"héllo wörld €😀 中文"});
            s.injector->handle(cm::SetStickyModifiers{});
        });
        EXPECT_EQ(keyStrokes(rec),
                  (std::vector<std::string>{"+Shift_L", "-Shift_L", "+Control_L", "+v(ctrl)", "-v",
                                            "-Control_L", "+Shift_L", "-Shift_L"}));
        EXPECT_EQ(s.backend.pastes(), ++pastes);
        EXPECT_EQ(s.backend.dropped(), dropped);
        // What a pasting application reads on that Control+V.
        EXPECT_EQ(app.paste(), text);

        const auto seen = app.changes();
        if (c.copiedMeanwhile) {
            app.copy(*c.copiedMeanwhile);
        }
        if (!c.copiedMeanwhile) {
            ASSERT_TRUE(app.waitForChange(seen)) << "the clipboard was not restored";
        } else {
            std::this_thread::sleep_for(1500ms); // past the paste's hold
        }
        EXPECT_EQ(app.paste(c.mime), c.after);
        EXPECT_TRUE(s.observer.keysDown().empty());
    }
}

TEST(KdeInput, DesktopsSwitchThroughKWinsDbusWithoutWrapping) {
    KwinServer kwin;
    auto geometry = std::make_shared<platform::WaylandDisplayGeometry>(kwin.display());
    KdeFakeInputBackend backend(
        {.display = kwin.display(), .geometry = geometry, .busAddress = kwin.busAddress()});
    testing::DbusPeer peer(kwin.busAddress());
    // The current desktop, as KWin says on its bus.
    const auto current = [&] {
        std::optional<int> value;
        testing::waitUntil(
            [&] {
                value = peer.callInt("org.kde.KWin", "/KWin", "org.kde.KWin", "currentDesktop");
                return value.has_value();
            },
            5s);
        return value.value_or(-1);
    };
    ASSERT_EQ(current(), 1);
    EXPECT_TRUE(backend.desktopAction(platform::DesktopAction::workspaceLeft));
    EXPECT_EQ(current(), 1);
    EXPECT_TRUE(backend.desktopAction(platform::DesktopAction::workspaceRight));
    EXPECT_EQ(current(), 2);
    EXPECT_TRUE(backend.desktopAction(platform::DesktopAction::workspaceRight));
    EXPECT_TRUE(backend.desktopAction(platform::DesktopAction::workspaceRight));
    EXPECT_EQ(current(), 4);
    EXPECT_TRUE(backend.desktopAction(platform::DesktopAction::workspaceRight));
    EXPECT_EQ(current(), 4);
    EXPECT_TRUE(backend.desktopAction(platform::DesktopAction::workspaceLeft));
    EXPECT_EQ(current(), 3);
    EXPECT_EQ(backend.dropped(), 0u);
}

TEST(KdeInput, WithoutTheDesktopEntryGrantTheReasonSaysWhatToInstall) {
    KwinServer kwin({.grantFakeInput = false});
    auto geometry = std::make_shared<platform::WaylandDisplayGeometry>(kwin.display());
    KdeFakeInputBackend backend({.display = kwin.display(), .geometry = geometry});
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_FALSE(backend.permission().permitted);
    EXPECT_EQ(backend.permission().reason,
              "KWin at " + kwin.display() +
                  " does not offer org_kde_kwin_fake_input to this program: install a desktop "
                  "entry whose Exec is " +
                  exe +
                  " with X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input, then log in again");
    backend.movePointerTo({5, 5});
    EXPECT_EQ(backend.dropped(), 1u);
}

} // namespace
} // namespace quillon
