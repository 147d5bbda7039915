// test-labels: injection;concurrency
// test-timeout: 120
#include "InjectionTestSupport.hpp"

#include "Platform/Dispatch/SerialQueue.hpp"
#include "Quillon/Input/CGEventSink.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
using platform::EventType;
using wire::ScrollPhase;
namespace cm = wire::cm;
using namespace std::chrono_literals;

namespace {

bool isMomentum(const Event& e) {
    return e.type == EventType::scrollWheel && e.integerField(123).has_value();
}

// The sink runs momentum on its own SerialQueue while the injector is driven from another
// thread, as the transport queues drive it.
class MomentumThreadsTest : public ::testing::Test {
protected:
    ScratchDefaults defaults;
    std::shared_ptr<platform::RecordingPoster> poster =
        std::make_shared<platform::RecordingPoster>();
    std::shared_ptr<platform::FixedDisplayGeometry> geometry =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 1440, 900});
    std::shared_ptr<CGEventSink> sink;
    std::unique_ptr<EventInjector> injector;

    void SetUp() override {
        defaults->set("momentumDecay", 1.0); // momentum runs until a scroll stops it
        sink = std::make_shared<CGEventSink>(poster, geometry, nullptr, *defaults);
        injector = std::make_unique<EventInjector>(sink, GestureMapper(), *defaults);
    }

    std::size_t momentumCount() {
        std::size_t n = 0;
        for (const auto& e : poster->events()) {
            n += isMomentum(e) ? 1 : 0;
        }
        return n;
    }

    void flick() {
        injector->handle(cm::Scroll{0, 0, ScrollPhase::began});
        for (int i = 0; i < 4; ++i) {
            injector->handle(cm::Scroll{0, -3, ScrollPhase::changed});
        }
        injector->handle(cm::Scroll{0, 0, ScrollPhase::ended});
    }
};

TEST_F(MomentumThreadsTest, BeganStopsRunningMomentumBeforeItsFirstEventAndNoTickFollows) {
    for (int round = 0; round < 24; ++round) {
        poster->clear();
        // Rounds alternate between stopping a well-running momentum and racing the first
        // ticks (the began arrives around the 8 ms first deadline).
        const bool waitForTicks = round % 2 == 0;
        std::thread driver([&] {
            flick();
            if (waitForTicks) {
                ASSERT_TRUE(eventually([&] { return momentumCount() >= 3; }));
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 20)));
            }
            injector->handle(cm::Scroll{0, 0, ScrollPhase::began});
        });
        driver.join();
        EXPECT_FALSE(sink->momentumRunning());
        std::this_thread::sleep_for(30ms); // several periods: a stray tick would show
        const auto events = poster->take();
        // The second began's may-begin wheel: everything from it on is the began's own.
        std::size_t secondBegan = 0;
        int seen = 0;
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].type == EventType::scrollWheel && events[i].integerField(99) == 128 &&
                ++seen == 2) {
                secondBegan = i;
            }
        }
        ASSERT_EQ(seen, 2) << describe(events);
        for (std::size_t i = secondBegan; i < events.size(); ++i) {
            EXPECT_FALSE(isMomentum(events[i])) << "round " << round << "\n" << describe(events);
        }
        EXPECT_EQ(events.size() - secondBegan, 6u) << describe(events);
        if (waitForTicks) {
            // first began (4 events: the series is still open from the previous round's began,
            // or 6 in round 0), 4 changes, ended, and at least 3 ticks
            EXPECT_GE(secondBegan, 4u + 8u + 3u + 3u);
        }
    }
}

TEST_F(MomentumThreadsTest, StatisticsReadDuringMomentumAreNeverTorn) {
    flick();
    sink->setTotalScrolledY(0);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    // Each tick adds exactly 9 and leaves the gain at 3: any pair read must agree with that.
    std::thread reader([&] {
        double last = 0;
        while (!stop) {
            const auto [total, peak] = injector->scrollStats();
            EXPECT_EQ(peak, 3);
            EXPECT_GE(total, last);
            EXPECT_EQ(std::fmod(total, 9.0), 0) << total;
            last = total;
            ++reads;
        }
    });
    ASSERT_TRUE(eventually([&] { return sink->totalScrolledY() >= 9 * 10; }));
    // Pointer traffic on a third thread meanwhile (different state, same sink).
    std::thread pointer([&] {
        for (int i = 0; i < 2000; ++i) {
            injector->handle(cm::PointerRelative{1, -1});
        }
    });
    pointer.join();
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);

    // Reset while ticks run: the pair is (0, 0) or whatever ticks added since, never a
    // reset total with an old gain.
    std::atomic<bool> stop2{false};
    injector->resetScrollStats();
    std::thread resetter([&] {
        while (!stop2) {
            injector->resetScrollStats();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const auto [total, peak] = injector->scrollStats();
        EXPECT_EQ(peak, 0);
        EXPECT_EQ(std::fmod(total, 9.0), 0);
    }
    stop2 = true;
    resetter.join();
}

TEST_F(MomentumThreadsTest, DestroyingTheSinkDuringMomentumEndsTheTicks) {
    flick();
    ASSERT_TRUE(eventually([&] { return momentumCount() >= 2; }));
    injector.reset();
    sink.reset(); // joins the momentum queue
    const auto count = poster->count();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(poster->count(), count);
}

TEST_F(MomentumThreadsTest, ScrollProbeAndInjectorScrollsInterleaveWithoutTearingASeries) {
    defaults->set("momentumEnabled", false);
    std::promise<void> done;
    injector->probeScroll(true, [&] { done.set_value(); });
    for (int i = 0; i < 50; ++i) {
        injector->handle(cm::Scroll{0, -1, ScrollPhase::changed});
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    // Every wheel event is immediately followed by its own companion, whichever thread made
    // it.
    const auto events = poster->take();
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].type == EventType::scrollWheel && events[i].integerField(99) == 2) {
            ASSERT_LT(i + 1, events.size());
            EXPECT_EQ(events[i + 1].doubleField(119), static_cast<double>(events[i].wheel1)) << i;
        }
    }
    EXPECT_EQ(sink->totalScrolledY(), 20 * 9 + 50 * 3);
}

} // namespace
