// test-labels: x11;concurrency
// test-timeout: 120
// One X11 backend behind the injector, driven from two delivering threads and the momentum
// queue at once, and asked for its permission from another: one connection, used safely.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/X11InputBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using quillon::testing::XInputObserver;
using quillon::testing::XvfbServer;
namespace cm = wire::cm;

TEST(X11InputThreads, TwoDeliveringThreadsAndMomentumShareOneConnectionSafely) {
    XvfbServer x({.width = 640, .height = 480});
    quillon::testing::TempDir dir;
    platform::Defaults defaults(dir.path() + "/defaults.json");
    defaults.set("momentumDecay", 1.0); // ticks until stopped
    auto geometry = std::make_shared<platform::X11DisplayGeometry>(x.display(), 20ms);
    platform::X11InputBackend::Options o;
    o.display = x.display();
    o.geometry = geometry;
    auto backend = std::make_shared<platform::X11InputBackend>(o);
    auto timers = std::make_shared<platform::SerialQueue>("quillon-momentum");
    auto injector = EventInjector::create(
        {.backend = backend, .geometry = geometry, .defaults = defaults, .scheduler = timers});
    XInputObserver obs(x.display(), false);

    constexpr int kRounds = 2000;
    std::atomic<bool> done{false};
    injector->handle(cm::Scroll{0, -3, wire::ScrollPhase::changed});
    injector->handle(cm::Scroll{0, 0, wire::ScrollPhase::ended}); // momentum meanwhile
    std::thread moves([&] {
        for (int i = 0; i < kRounds; ++i) {
            injector->handle(cm::PointerAbsolute{static_cast<float>(i % 600) / 640, 0.5f, 0},
                             i % 10 == 9 ? EventInjector::Flush::now : EventInjector::Flush::later);
        }
    });
    std::thread keys([&] {
        for (int i = 0; i < kRounds / 10; ++i) {
            injector->handle(cm::KeyCombo{0, wire::KeyModifiers::shift});
        }
    });
    std::thread reader([&] {
        while (!done.load()) {
            EXPECT_TRUE(injector->permission().permitted);
            (void)injector->scrollStats();
        }
    });
    moves.join();
    keys.join();
    EXPECT_TRUE(injector->momentumRunning());
    injector->releaseAll();
    done = true;
    reader.join();

    backend->sync();
    EXPECT_NEAR(obs.pointer().x, (kRounds - 1) % 600, 1);
    EXPECT_GT(backend->stats().wheelClicks, 0u);
    EXPECT_FALSE(obs.anyButtonDown());
    EXPECT_FALSE(obs.anyKeyDown());
}

} // namespace
} // namespace quillon
