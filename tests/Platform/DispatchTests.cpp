// test-labels: platform;concurrency
// test-timeout: 120
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>

using namespace quillon::platform;
using quillon::testing::waitUntil;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string currentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// Collects values from any thread.
template <typename T> class Recorder {
public:
    void add(T v) {
        std::lock_guard lock(m_);
        values_.push_back(std::move(v));
    }
    std::vector<T> values() const {
        std::lock_guard lock(m_);
        return values_;
    }
    std::size_t size() const {
        std::lock_guard lock(m_);
        return values_.size();
    }

private:
    mutable std::mutex m_;
    std::vector<T> values_;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// SerialQueue: order, thread, sync

TEST(SerialQueue, RunsItemsInOrderOnOneNamedThread) {
    struct Case {
        std::string label;
        std::string threadName;
    };
    const std::vector<Case> cases = {
        {"short", "short"},
        {"com.corvane.transport", "com.corvane.tra"},
        // Cut on a character boundary: "é" would straddle byte 15.
        {"abcdefghijklmn\xC3\xA9z", "abcdefghijklmn"},
    };
    for (const auto& c : cases) {
        SerialQueue q(c.label);
        EXPECT_EQ(q.label(), c.label);
        Recorder<int> order;
        Recorder<std::string> names;
        std::atomic<int> seenCurrent{0};
        for (int i = 0; i < 500; ++i) {
            q.async([&, i] {
                order.add(i);
                seenCurrent += q.isCurrent() ? 1 : 0;
                if (i == 0) {
                    names.add(currentThreadName());
                }
            });
        }
        q.sync([] {}); // everything queued before has run
        const auto got = order.values();
        for (int i = 0; i < 500; ++i) {
            ASSERT_EQ(got[i], i);
        }
        EXPECT_EQ(seenCurrent.load(), 500);
        EXPECT_FALSE(q.isCurrent());
        EXPECT_EQ(names.values(), std::vector<std::string>{c.threadName});
    }
}

TEST(SerialQueue, SyncWaitsFromOutsideAndRunsInlineFromInside) {
    SerialQueue q("sync");
    SerialQueue other("other");
    std::vector<std::string> log; // touched only on q's thread, read after sync
    q.async([&] {
        std::this_thread::sleep_for(20ms);
        log.push_back("earlier");
    });
    q.sync([&] { log.push_back("outside"); });
    EXPECT_EQ(log, (std::vector<std::string>{"earlier", "outside"}));

    // From inside: runs at once, ahead of items queued before it, and does not deadlock.
    q.sync([&] {
        q.async([&] { log.push_back("queued"); });
        q.sync([&] { log.push_back("nested"); });
        log.push_back("after-nested");
    });
    q.sync([] {});
    EXPECT_EQ(log,
              (std::vector<std::string>{"earlier", "outside", "nested", "after-nested", "queued"}));

    // Across queues and with an exception: the caller gets the exception, the queue lives on.
    std::string where;
    other.sync([&] { q.sync([&] { where = currentThreadName(); }); });
    EXPECT_EQ(where, "sync");
    EXPECT_THROW(q.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    bool alive = false;
    q.sync([&] { alive = true; });
    EXPECT_TRUE(alive);
}

TEST(SerialQueue, AnEscapedExceptionDoesNotStopTheQueue) {
    SerialQueue q("throws");
    std::atomic<bool> after{false};
    q.async([] { throw std::runtime_error("handler failed"); });
    q.scheduleOnce(0ns, [] { throw std::logic_error("timer failed"); });
    q.scheduleOnce(1ms, [&] { after = true; });
    EXPECT_TRUE(waitUntil([&] { return after.load(); }, 5s));
}

// ---------------------------------------------------------------------------------------------
// SerialQueue: timers

TEST(SerialQueueTimer, OneShotFiresOnceNotEarlyEvenWithoutItsHandle) {
    SerialQueue q("once");
    const auto start = Clock::now();
    Recorder<Clock::time_point> fired;
    q.scheduleOnce(30ms, [&] { fired.add(Clock::now()); }); // handle dropped at once
    std::atomic<bool> sentinel{false};
    q.scheduleOnce(80ms, [&] { sentinel = true; });
    ASSERT_TRUE(waitUntil([&] { return sentinel.load(); }, 5s));
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_GE(fired.values()[0] - start, 30ms);
}

TEST(SerialQueueTimer, RepeatingKeepsItsGridWhenHandlersTakeTime) {
    constexpr auto interval = 20ms;
    constexpr int ticks = 10;
    Recorder<Clock::time_point> at;
    std::shared_ptr<TimerHandle> timer;
    std::mutex timerMutex;
    SerialQueue q("grid"); // declared last: its thread ends before the state above goes
    const auto scheduled = Clock::now();
    {
        std::lock_guard lock(timerMutex);
        timer = q.scheduleRepeating(interval, interval, [&] {
            at.add(Clock::now());
            // Half a period of work per tick: a timer that re-arms "now + interval" would
            // slide by 10 ms a tick.
            std::this_thread::sleep_for(10ms);
            if (at.size() == ticks) {
                std::lock_guard lock(timerMutex);
                timer->cancel();
            }
        });
    }
    ASSERT_TRUE(waitUntil([&] { return at.size() >= ticks; }, 10s));
    const auto times = at.values();
    ASSERT_EQ(times.size(), static_cast<std::size_t>(ticks)); // cancel from its handler held
    for (int k = 0; k < ticks; ++k) {
        EXPECT_GE(times[k] - scheduled, interval * (k + 1)) << "tick " << k << " early";
    }
    // Sliding would put the last tick at 290 ms instead of 200 ms; the margin leaves room for
    // a loaded machine.
    EXPECT_LT(times[ticks - 1] - scheduled, interval * ticks + 70ms);
}

TEST(SerialQueueTimer, RepeatingSkipsMissedTicksInsteadOfBursting) {
    constexpr auto interval = 20ms;
    std::atomic<int> count{0};
    std::atomic<bool> done{false};
    std::shared_ptr<TimerHandle> timer;
    std::mutex timerMutex;
    SerialQueue q("skip");
    const auto start = Clock::now();
    {
        std::lock_guard lock(timerMutex);
        timer = q.scheduleRepeating(0ns, interval, [&] {
            if (++count == 1) {
                std::this_thread::sleep_for(interval * 5); // five periods late
            }
            if (Clock::now() - start >= interval * 10) {
                std::lock_guard lock(timerMutex);
                timer->cancel();
                done = true;
            }
        });
    }
    ASSERT_TRUE(waitUntil([&] { return done.load(); }, 10s));
    // Grid points 0..10 would give 11 runs with a burst; skipping gives the first, one
    // catch-up and at most grid points 6..10.
    EXPECT_LE(count.load(), 7);
    EXPECT_GE(count.load(), 3);
}

TEST(SerialQueueTimer, CancelBeforeAndAfterFiringAndFromAnyThread) {
    SerialQueue q("cancel");
    std::atomic<int> early{0}, late{0};
    auto a = q.scheduleOnce(30ms, [&] { ++late; });
    a->cancel();
    auto b = q.scheduleOnce(0ns, [&] { ++early; });
    std::atomic<bool> sentinel{false};
    q.scheduleOnce(60ms, [&] { sentinel = true; });
    ASSERT_TRUE(waitUntil([&] { return sentinel.load(); }, 5s));
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(early.load(), 1);
    b->cancel(); // after it fired: harmless
    b->cancel(); // and idempotent
    a->cancel();

    // A fast timer cancelled from another thread while it runs: stops, no race.
    std::atomic<int> ticks{0};
    auto fast = q.scheduleRepeating(0ns, 1ms, [&] { ++ticks; });
    ASSERT_TRUE(waitUntil([&] { return ticks.load() >= 3; }, 5s));
    std::thread canceller([&] { fast->cancel(); });
    canceller.join();
    q.sync([] {}); // a handler that was already running when cancel returned has finished
    const int frozen = ticks.load();
    std::atomic<bool> later{false};
    q.scheduleOnce(20ms, [&] { later = true; });
    ASSERT_TRUE(waitUntil([&] { return later.load(); }, 5s));
    EXPECT_EQ(ticks.load(), frozen);
}

TEST(SerialQueueTimer, CancelOnTheQueueStopsTheNextRunEvenWhenAlreadyDue) {
    SerialQueue q("cancel-on-q");
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> cancelled{false};
        std::atomic<int> afterCancel{0};
        auto timer = q.scheduleOnce(0ns, [&] {
            if (cancelled) {
                ++afterCancel;
            }
        });
        auto repeating = q.scheduleRepeating(0ns, 1ms, [&] {
            if (cancelled) {
                ++afterCancel;
            }
        });
        // Whatever is already due or queued behind this item, nothing runs once cancel returned.
        q.sync([&] {
            std::this_thread::sleep_for(2ms);
            timer->cancel();
            repeating->cancel();
            cancelled = true;
        });
        q.sync([] {});
        std::this_thread::sleep_for(3ms);
        q.sync([] {});
        ASSERT_EQ(afterCancel.load(), 0) << "round " << round;
    }
}

TEST(SerialQueueTimer, NothingRunsAfterTheQueueIsDestroyed) {
    std::atomic<int> ran{0};
    std::atomic<bool> firstStarted{false};
    std::shared_ptr<TimerHandle> timer;
    {
        SerialQueue q("ending");
        q.async([&] {
            firstStarted = true;
            std::this_thread::sleep_for(30ms);
        });
        for (int i = 0; i < 10; ++i) {
            q.async([&] { ++ran; });
        }
        timer = q.scheduleOnce(1ms, [&] { ++ran; });
        q.scheduleRepeating(1ms, 1ms, [&] { ++ran; });
        ASSERT_TRUE(waitUntil([&] { return firstStarted.load(); }, 5s));
    } // waits for the running item, drops the rest
    EXPECT_EQ(ran.load(), 0);
    timer->cancel(); // a handle that outlives its queue stays safe

    // A queue destroyed from one of its own handlers (its last owner released there): the
    // handler finishes, the item behind it never runs.
    auto owned = std::make_shared<SerialQueue>("self-end");
    SerialQueue* raw = owned.get();
    std::atomic<bool> go{false}, released{false};
    std::atomic<int> afterward{0};
    raw->async([&, keep = std::move(owned)]() mutable {
        while (!go) {
            std::this_thread::yield();
        }
        keep.reset();
        released = true;
    });
    raw->async([&] { ++afterward; });
    go = true;
    ASSERT_TRUE(waitUntil([&] { return released.load(); }, 5s));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(afterward.load(), 0);
}

// ---------------------------------------------------------------------------------------------
// ManualScheduler

TEST(ManualScheduler, RunsDueHandlersInDeadlineOrderOnlyWhenAdvanced) {
    ManualScheduler s;
    std::vector<std::string> log;
    s.scheduleOnce(30ms, [&] { log.push_back("once@30"); });
    s.scheduleOnce(10ms, [&] { log.push_back("once@10"); });
    s.scheduleOnce(10ms, [&] { log.push_back("once@10b"); }); // same deadline: schedule order
    auto rep = s.scheduleRepeating(
        5ms, 10ms, [&] { log.push_back("rep@" + std::to_string(s.now().count() / 1000000)); });
    EXPECT_EQ(s.pendingCount(), 4u);
    EXPECT_TRUE(log.empty());

    s.advance(4ms);
    EXPECT_TRUE(log.empty());
    s.advance(31ms); // to 35 ms: every tick of the repeating timer, none skipped
    EXPECT_EQ(log, (std::vector<std::string>{"rep@5", "once@10", "once@10b", "rep@15", "rep@25",
                                             "once@30", "rep@35"}));
    EXPECT_EQ(s.now(), 35ms);
    EXPECT_EQ(s.pendingCount(), 1u);
    rep->cancel();
    EXPECT_EQ(s.pendingCount(), 0u);
    s.advance(100ms);
    EXPECT_EQ(log.size(), 7u);
}

TEST(ManualScheduler, HandlersMayScheduleAndCancelReentrantly) {
    ManualScheduler s;
    std::vector<std::string> log;
    std::shared_ptr<TimerHandle> victim, self;
    victim = s.scheduleOnce(20ms, [&] { log.push_back("victim"); });
    s.scheduleOnce(10ms, [&] {
        log.push_back("first");
        victim->cancel();
        // Due inside the same advance: runs in it, at its own deadline.
        s.scheduleOnce(5ms, [&] { log.push_back("spawned@" + std::to_string(s.now() / 1ms)); });
    });
    int selfRuns = 0;
    self = s.scheduleRepeating(1ms, 1ms, [&] {
        if (++selfRuns == 3) {
            self->cancel();
        }
    });
    s.advance(50ms);
    EXPECT_EQ(log, (std::vector<std::string>{"first", "spawned@15"}));
    EXPECT_EQ(selfRuns, 3);
    EXPECT_EQ(s.pendingCount(), 0u);
    EXPECT_THROW(s.scheduleRepeating(0ns, 0ns, [] {}), std::invalid_argument);
}

TEST(ManualScheduler, HandlesOutliveTheScheduler) {
    std::shared_ptr<TimerHandle> h;
    {
        ManualScheduler s;
        h = s.scheduleOnce(1ms, [] {});
    }
    h->cancel();
}

// ---------------------------------------------------------------------------------------------
// MainQueue

TEST(IoContextMainQueue, RunsPostsInOrderAndDelayedWorkByDeadline) {
    IoContextMainQueue q;
    std::vector<std::string> log;
    q.postAfter(20ms, [&] { log.push_back("after20"); });
    q.postAfter(5ms, [&] { log.push_back("after5"); });
    for (int i = 0; i < 3; ++i) {
        q.post([&, i] { log.push_back("post" + std::to_string(i)); });
    }
    bool mainSeen = false;
    std::thread other([&] {
        EXPECT_FALSE(q.isMainThread());
        q.post([&] { mainSeen = q.isMainThread(); });
    });
    other.join();
    EXPECT_TRUE(q.runUntil([&] { return log.size() == 5; }, 5s));
    EXPECT_EQ(log, (std::vector<std::string>{"post0", "post1", "post2", "after5", "after20"}));
    EXPECT_TRUE(mainSeen);
    EXPECT_FALSE(q.runUntil([] { return false; }, 10ms));
}

TEST(IoContextMainQueue, RunUntilStopAndRunFor) {
    IoContextMainQueue q;
    std::atomic<int> n{0};
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            q.post([&] { ++n; });
        }
        q.post([&] { q.stop(); });
    });
    q.run(); // returns once the posted stop ran
    poster.join();
    EXPECT_EQ(n.load(), 100);

    // A stop() before run() is not lost.
    q.stop();
    q.run();

    // runFor keeps serving work posted while it runs.
    std::thread late([&] {
        std::this_thread::sleep_for(10ms);
        q.post([&] { ++n; });
    });
    q.runFor(100ms);
    late.join();
    EXPECT_EQ(n.load(), 101);
}
