// test-labels: injection;concurrency
// test-timeout: 120
// Momentum ticking on a real queue while other threads drive the injector, as the transport
// queues and the main thread do.
#include "InjectionTestSupport.hpp"

#include "Platform/Dispatch/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
using wire::ScrollPhase;
namespace cm = wire::cm;
using namespace std::chrono_literals;

namespace {

class MomentumThreadsTest : public ::testing::Test {
protected:
    ScratchDefaults defaults;
    std::shared_ptr<platform::RecordingInputBackend> backend =
        std::make_shared<platform::RecordingInputBackend>();
    std::shared_ptr<platform::SerialQueue> queue =
        std::make_shared<platform::SerialQueue>("quillon-momentum");
    std::shared_ptr<EventInjector> injector;

    void SetUp() override {
        defaults->set("momentumDecay", 1.0); // momentum runs until a scroll stops it
        injector =
            EventInjector::create({.backend = backend,
                                   .geometry = std::make_shared<platform::FixedDisplayGeometry>(
                                       platform::Rect{0, 0, 1440, 900}),
                                   .defaults = *defaults,
                                   .scheduler = queue});
    }

    std::size_t wheels() {
        std::size_t n = 0;
        for (const auto& v : backend->verbs()) {
            n += v.kind == platform::InputVerb::Kind::wheel ? 1 : 0;
        }
        return n;
    }

    // Began, four changes of -3 (wheel -108 each), ended: momentum of -108 a tick.
    void flick() {
        injector->handle(cm::Scroll{0, 0, ScrollPhase::began});
        for (int i = 0; i < 4; ++i) {
            injector->handle(cm::Scroll{0, -3, ScrollPhase::changed});
        }
        injector->handle(cm::Scroll{0, 0, ScrollPhase::ended});
    }
};

TEST_F(MomentumThreadsTest, ABeganStopsRunningMomentumAndNoTickFollowsIt) {
    for (int round = 0; round < 24; ++round) {
        backend->clear();
        // Rounds alternate between stopping a well-running momentum and racing the first
        // ticks (the began arrives around the 8 ms first deadline).
        const bool waitForTicks = round % 2 == 0;
        std::thread driver([&] {
            flick();
            if (waitForTicks) {
                ASSERT_TRUE(eventually([&] { return wheels() >= 4 + 3; }));
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 20)));
            }
            injector->handle(cm::Scroll{0, 1, ScrollPhase::began}); // a wheel of +36
        });
        driver.join();
        EXPECT_FALSE(injector->momentumRunning());
        std::this_thread::sleep_for(30ms); // several periods: a stray tick would show
        const auto verbs = backend->take();
        ASSERT_FALSE(verbs.empty());
        EXPECT_EQ(verbs.back(), "wheel(36,0)") << "round " << round;
        for (std::size_t i = 0; i + 1 < verbs.size(); ++i) {
            EXPECT_EQ(verbs[i], "wheel(-108,0)") << "round " << round << " verb " << i;
        }
    }
}

TEST_F(MomentumThreadsTest, StatisticsReadDuringMomentumAreNeverTorn) {
    flick();
    injector->resetScrollStats();
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    // Each tick adds exactly 9 points; the gain was reset with the total: any pair read must
    // agree with that.
    std::thread reader([&] {
        double last = 0;
        while (!stop) {
            const auto [total, peak] = injector->scrollStats();
            EXPECT_EQ(peak, 0);
            EXPECT_GE(total, last);
            EXPECT_EQ(std::fmod(total, 9.0), 0) << total;
            last = total;
            ++reads;
        }
    });
    ASSERT_TRUE(eventually([&] { return injector->scrollStats().first >= 9 * 10; }));
    // Pointer traffic on a third thread meanwhile.
    std::thread pointer([&] {
        for (int i = 0; i < 2000; ++i) {
            injector->handle(cm::PointerRelative{1, -1});
        }
    });
    pointer.join();
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
}

TEST_F(MomentumThreadsTest, DestroyingTheInjectorDuringMomentumEndsTheTicks) {
    flick();
    ASSERT_TRUE(eventually([&] { return wheels() >= 4 + 2; }));
    injector.reset();
    const auto count = backend->count();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(backend->count(), count);
}

TEST_F(MomentumThreadsTest, AScrollProbeAndTheTabletsScrollsInterleaveWholeMessages) {
    defaults->set("momentumEnabled", false);
    std::promise<void> done;
    injector->probeScroll(true, [&] { done.set_value(); });
    for (int i = 0; i < 50; ++i) {
        injector->handle(cm::Scroll{0, -1, ScrollPhase::changed});
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    // The probe's changes (-9 points) and ours (-3) arrive whole, whichever thread made them.
    std::size_t probe = 0, ours = 0;
    for (const auto& v : backend->take()) {
        probe += v == "wheel(-108,0)" ? 1 : 0;
        ours += v == "wheel(-36,0)" ? 1 : 0;
    }
    EXPECT_EQ(probe, 20u);
    EXPECT_EQ(ours, 50u);
    EXPECT_EQ(injector->scrollStats().first, 20 * 9 + 50 * 3);
}

} // namespace
