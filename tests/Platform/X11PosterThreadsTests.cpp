// test-labels: x11;concurrency
// test-timeout: 120
// The poster is called from the injector's thread and from the momentum queue at once, and
// read (permission, statistics) from the main thread.
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/EventStream/X11EventPoster.hpp"

#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quillon::platform {
namespace {

using namespace std::chrono_literals;
using quillon::testing::XInputObserver;
using quillon::testing::XvfbServer;

TEST(X11PosterThreads, ConcurrentPostersShareOneConnectionSafely) {
    XvfbServer x({.width = 640, .height = 480});
    X11EventPoster::Options o;
    o.display = x.display();
    o.geometry = std::make_shared<X11DisplayGeometry>(x.display(), 20ms);
    o.settings = [] { return InputSettings{}; };
    X11EventPoster poster(o);
    XInputObserver obs(x.display(), false);

    constexpr int kRounds = 2000;
    std::atomic<bool> done{false};
    std::thread moves([&] {
        for (int i = 0; i < kRounds; ++i) {
            EventBatch batch; // as the transport does around a drain
            Event e;
            e.type = EventType::mouseMoved;
            e.location = {static_cast<double>(i % 600), static_cast<double>(i % 400)};
            poster.post(e);
        }
    });
    std::thread wheel([&] {
        for (int i = 0; i < kRounds; ++i) { // like momentum ticks: outside any batch
            Event e;
            e.type = EventType::scrollWheel;
            e.wheel1 = (i % 2 == 0) ? 10 : -10;
            e.setIntegerField(EventField::momentumPhase, 2);
            poster.canCreate(e);
            poster.post(e);
        }
    });
    std::thread reader([&] {
        while (!done.load()) {
            EXPECT_TRUE(poster.permitted());
            (void)poster.stats();
            (void)poster.scrollRemainder();
        }
    });
    moves.join();
    wheel.join();
    done = true;
    reader.join();

    poster.sync();
    const auto s = poster.stats();
    EXPECT_EQ(s.motions, static_cast<std::uint64_t>(kRounds));
    EXPECT_EQ(s.wheelClicks, static_cast<std::uint64_t>(kRounds));
    EXPECT_EQ(obs.pointer().x, (kRounds - 1) % 600);
    EXPECT_FALSE(obs.anyButtonDown());
}

} // namespace
} // namespace quillon::platform
