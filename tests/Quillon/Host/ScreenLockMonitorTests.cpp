// test-labels: coordinator;concurrency
// test-timeout: 60
#include "Quillon/Host/ScreenLockMonitor.hpp"

#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Session/SessionLockSource.hpp"
#include "tests/support/DbusFixture.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

// A main queue that only holds what is posted until the test runs it, so a test can tell
// "posted" from "delivered" and run a stop() in between.
class HeldMainQueue : public platform::MainQueue {
public:
    void post(std::function<void()> work) override {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
    }
    void postAfter(std::chrono::nanoseconds, std::function<void()> work) override {
        post(std::move(work));
    }
    bool isMainThread() const override { return true; }

    std::size_t pending() {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    void drain() {
        for (;;) {
            std::function<void()> item;
            {
                std::lock_guard lock(mutex_);
                if (items_.empty()) {
                    return;
                }
                item = std::move(items_.front());
                items_.pop_front();
            }
            item();
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> items_;
};

// A source the test speaks for: each observation reaches the monitor when the test says so, on
// the test's thread. Records how the monitor drives it.
class ScriptedLockSource : public platform::SessionLockSource {
public:
    void start(Observer observer) override {
        calls.push_back("start");
        observer_ = std::move(observer);
    }
    void stop() override {
        calls.push_back("stop");
        observer_ = nullptr;
    }
    int watchedChannelCount() const override { return observer_ ? 1 : 0; }
    void observe(platform::LockChannel channel, bool locked) {
        if (observer_) {
            observer_(channel, locked);
        }
    }
    std::vector<std::string> calls;

private:
    Observer observer_;
};

TEST(ScreenLockMonitorDedupe, OneCallbackPerChangeOneHopAndNothingAfterStop) {
    // Steps: L/U the source observes locked/unlocked through the GNOME locker, l/u through logind,
    // r the main queue runs, x stop(), s start(). The monitor starts before the first step and is
    // destroyed after the last.
    struct Case {
        const char* steps;
        std::vector<std::string> delivered;
        std::vector<std::string> sourceCalls;
    };
    const std::vector<Case> cases = {
        // Repeats through several channels collapse; each change arrives in order.
        {"LLUULr", {"lock", "unlock", "lock"}, {"start", "stop"}},
        {"LUr", {"lock", "unlock"}, {"start", "stop"}},
        // It starts out assuming unlocked.
        {"Ur", {}, {"start", "stop"}},
        // A change posted but not run when stop() comes is dropped; the state is remembered,
        // so after a restart an unlock is a change and a lock is not.
        {"LxrsUr", {"unlock"}, {"start", "stop", "start", "stop"}},
        {"LrxsLr", {"lock"}, {"start", "stop", "start", "stop"}},
        // start() on a running monitor restarts it: what was in flight is dropped as well.
        {"LsrUr", {"unlock"}, {"start", "stop", "start", "stop"}},
        // Stopped: the source is told once, and destruction does not stop it again.
        {"xx", {}, {"start", "stop"}},
        // Locked while any channel says so: one's unlock does not end the other's lock.
        {"LlUr", {"lock"}, {"start", "stop"}},
        {"LlUuUr", {"lock", "unlock"}, {"start", "stop"}},
        {"LlurUr", {"lock", "unlock"}, {"start", "stop"}},
        {"lLxsur", {}, {"start", "stop", "start", "stop"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        auto queue = std::make_shared<HeldMainQueue>();
        auto source = std::make_shared<ScriptedLockSource>();
        std::vector<std::string> delivered;
        auto monitor = std::make_unique<ScreenLockMonitor>(
            source, queue, [&] { delivered.push_back("lock"); },
            [&] { delivered.push_back("unlock"); });
        monitor->start();
        EXPECT_EQ(monitor->watchedChannelCount(), 1);
        for (const char* step = c.steps; *step != '\0'; ++step) {
            const auto before = delivered.size();
            switch (*step) {
            case 'L':
            case 'U':
                source->observe(platform::LockChannel::gnomeScreenSaver, *step == 'L');
                break;
            case 'l':
            case 'u':
                source->observe(platform::LockChannel::logind, *step == 'l');
                break;
            case 'r':
                queue->drain();
                break;
            case 'x':
                monitor->stop();
                EXPECT_FALSE(monitor->isWatching());
                EXPECT_EQ(monitor->watchedChannelCount(), 0);
                break;
            case 's':
                monitor->start();
                break;
            }
            if (*step != 'r') {
                // Only the main queue delivers: never the source's thread, never stop/start.
                EXPECT_EQ(delivered.size(), before);
            }
        }
        monitor.reset();
        queue->drain();
        EXPECT_EQ(queue->pending(), 0u);
        EXPECT_EQ(delivered, c.delivered);
        EXPECT_EQ(source->calls, c.sourceCalls);
    }
}

class ScreenLockMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue_ = std::make_shared<HeldMainQueue>();
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        ::unsetenv("XDG_SESSION_ID");
    }

    std::unique_ptr<ScreenLockMonitor> makeMonitor() {
        return std::make_unique<ScreenLockMonitor>(
            platform::makeDBusSessionLockSource(), queue_, [this] { events_.push_back("lock"); },
            [this] { events_.push_back("unlock"); });
    }

    // Runs the main queue until `count` callbacks were delivered.
    bool deliverUntil(std::size_t count) {
        return waitUntil(
            [&] {
                queue_->drain();
                return events_.size() >= count;
            },
            5s);
    }

    // Lets whatever is in flight arrive; for checks that something does NOT happen.
    void settle() {
        waitUntil(
            [&] {
                queue_->drain();
                return false;
            },
            300ms);
    }

    std::shared_ptr<HeldMainQueue> queue_;
    std::vector<std::string> events_;
};

TEST_F(ScreenLockMonitorTest, SessionSignalsFromBothInterfacesGiveOneCallbackPerChange) {
    DbusFixture bus(DbusFixture::Kind::session);
    bus.exportAddress();
    auto monitor = makeMonitor();
    monitor->start();
    ASSERT_EQ(monitor->watchedChannelCount(), 1);
    DbusPeer screensaver(bus.address());
    screensaver.requestName("org.freedesktop.ScreenSaver");
    screensaver.requestName("org.gnome.ScreenSaver");

    // A signal of the same shape on an unrelated interface is not a lock.
    screensaver.emitBool("/x", "org.example.Other", "ActiveChanged", true);
    settle();
    EXPECT_TRUE(events_.empty());

    // A desktop reports one lock through both interfaces, on whatever object path it uses; the
    // screen is unlocked when both have said so.
    screensaver.emitBool("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "ActiveChanged", true);
    screensaver.emitBool("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", true);
    screensaver.emitBool("/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", false);
    screensaver.emitBool("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", false);
    screensaver.emitBool("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", true);
    ASSERT_TRUE(deliverUntil(3));
    EXPECT_EQ(events_, (std::vector<std::string>{"lock", "unlock", "lock"}));
}

// Any client of the session bus can send a signal shaped like the locker's; only the current
// owner of the locker's name is believed, and a locker that exits takes its lock with it.
TEST_F(ScreenLockMonitorTest, OnlyTheLockersNameOwnerEndsItsLock) {
    DbusFixture bus(DbusFixture::Kind::session);
    bus.exportAddress();
    DbusPeer locker(bus.address());
    locker.requestName("org.gnome.ScreenSaver");
    auto monitor = makeMonitor();
    monitor->start();
    DbusPeer stranger(bus.address());

    // Nobody owns org.freedesktop.ScreenSaver: whoever emits on it is nobody.
    stranger.emitBool("/x", "org.freedesktop.ScreenSaver", "ActiveChanged", true);
    settle();
    EXPECT_TRUE(events_.empty());

    locker.emitBool("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", true);
    ASSERT_TRUE(deliverUntil(1));
    // An unrelated client announcing the end of the lock, on either interface: still locked.
    stranger.emitBool("/x", "org.gnome.ScreenSaver", "ActiveChanged", false);
    stranger.emitBool("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", false);
    stranger.emitBool("/x", "org.freedesktop.ScreenSaver", "ActiveChanged", false);
    settle();
    EXPECT_EQ(events_, (std::vector<std::string>{"lock"}));

    // The locker itself ends it.
    locker.emitBool("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", false);
    ASSERT_TRUE(deliverUntil(2));
    // A locker that exits while locked no longer holds the screen locked.
    locker.emitBool("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", true);
    ASSERT_TRUE(deliverUntil(3));
    locker.releaseName("org.gnome.ScreenSaver");
    ASSERT_TRUE(deliverUntil(4));
    EXPECT_EQ(events_, (std::vector<std::string>{"lock", "unlock", "lock", "unlock"}));
}

TEST_F(ScreenLockMonitorTest, NothingIsDeliveredAfterStopOrDestruction) {
    DbusFixture bus(DbusFixture::Kind::session);
    bus.exportAddress();
    DbusPeer screensaver(bus.address());
    auto monitor = makeMonitor();
    monitor->start();
    monitor->start(); // restarting keeps working

    screensaver.requestName("org.freedesktop.ScreenSaver");
    // Posted to the main queue but not yet run when stop() comes: dropped.
    screensaver.emitBool("/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", true);
    ASSERT_TRUE(waitUntil([&] { return queue_->pending() == 1; }, 5s));
    monitor->stop();
    queue_->drain();
    EXPECT_TRUE(events_.empty());

    // Stopped: signals reach nobody.
    screensaver.emitBool("/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", false);
    monitor->start();
    // The monitor remembers it reported locked: the unlock after the restart is a change.
    screensaver.emitBool("/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", false);
    ASSERT_TRUE(deliverUntil(1));
    EXPECT_EQ(events_, (std::vector<std::string>{"unlock"}));

    // Destroyed with a callback in flight: dropped as well.
    screensaver.emitBool("/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", true);
    ASSERT_TRUE(waitUntil([&] { return queue_->pending() == 1; }, 5s));
    monitor.reset();
    queue_->drain();
    EXPECT_EQ(events_.size(), 1u);
}

TEST_F(ScreenLockMonitorTest, LogindLockedHintIsBelievedOnlyFromLogind) {
    DbusFixture system(DbusFixture::Kind::system);
    system.exportAddress();
    ::setenv("XDG_SESSION_ID", "c7", 1);
    const std::string path = "/org/freedesktop/login1/session/c7";
    const std::string iface = "org.freedesktop.login1.Session";

    DbusPeer logind(system.address());
    logind.requestName("org.freedesktop.login1");
    DbusPeer impostor(system.address());

    auto monitor = makeMonitor();
    monitor->start();
    ASSERT_EQ(monitor->watchedChannelCount(), 1);

    logind.emitPropertyChanged(path, iface, "LockedHint", true);
    ASSERT_TRUE(deliverUntil(1));
    // Neither someone else's signal nor another session's or interface's change is an unlock.
    impostor.emitPropertyChanged(path, iface, "LockedHint", false);
    logind.emitPropertyChanged("/org/freedesktop/login1/session/c8", iface, "LockedHint", false);
    logind.emitPropertyChanged(path, "org.freedesktop.login1.User", "LockedHint", false);
    logind.emitPropertyChanged(path, iface, "IdleHint", false);
    settle();
    EXPECT_EQ(events_, (std::vector<std::string>{"lock"}));
    logind.emitPropertyChanged(path, iface, "LockedHint", false);
    ASSERT_TRUE(deliverUntil(2));
    EXPECT_EQ(events_, (std::vector<std::string>{"lock", "unlock"}));

    // logind restarting under a new unique name is followed.
    logind.releaseName("org.freedesktop.login1");
    DbusPeer logind2(system.address());
    logind2.requestName("org.freedesktop.login1");
    logind.emitPropertyChanged(path, iface, "LockedHint", true); // the old owner: ignored
    settle();
    EXPECT_EQ(events_.size(), 2u);
    logind2.emitPropertyChanged(path, iface, "LockedHint", true);
    logind2.emitPropertyChanged(path, iface, "LockedHint", false);
    ASSERT_TRUE(deliverUntil(4));
    EXPECT_EQ(events_, (std::vector<std::string>{"lock", "unlock", "lock", "unlock"}));
}

TEST_F(ScreenLockMonitorTest, MissingOrVanishingBusIsNotAnError) {
    auto monitor = makeMonitor();
    monitor->stop(); // before any start
    monitor->start();
    EXPECT_EQ(monitor->watchedChannelCount(), 0);
    EXPECT_TRUE(monitor->isWatching());
    monitor->stop();

    DbusFixture bus(DbusFixture::Kind::session);
    bus.exportAddress();
    monitor->start();
    ASSERT_EQ(monitor->watchedChannelCount(), 1);
    bus.kill();
    monitor->stop(); // returns although the bus died under it
    EXPECT_FALSE(monitor->isWatching());
    queue_->drain();
    EXPECT_TRUE(events_.empty());
}

} // namespace
