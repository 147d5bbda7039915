#pragma once

#include <functional>
#include <memory>

namespace quillon::platform {
class MainQueue;
class SessionLockSource;
} // namespace quillon::platform

namespace quillon {

// Turns the session's screen-lock observations into two callbacks, run on the main queue.
//
// The source reports what each channel (each locker, and logind) says. The screen is locked
// while any channel says so: one locker's unlock does not end another's lock, and a desktop that
// reports one lock through several channels at once still gives one callback. The monitor calls
// back once per change of that state: a lock while it already reported locked (or an unlock
// while unlocked) is dropped. It starts out assuming every channel unlocked, and keeps what the
// channels said across stop()/start().
//
// Observations arrive on the source's thread; each change makes exactly one hop, to the main
// queue. After stop() returns no callback runs, including ones already posted; destroying the
// monitor stops it. start() and stop() must not be called concurrently with each other.
class ScreenLockMonitor {
public:
    ScreenLockMonitor(std::shared_ptr<platform::SessionLockSource> source,
                      std::shared_ptr<platform::MainQueue> mainQueue, std::function<void()> onLock,
                      std::function<void()> onUnlock);
    ~ScreenLockMonitor();
    ScreenLockMonitor(const ScreenLockMonitor&) = delete;
    ScreenLockMonitor& operator=(const ScreenLockMonitor&) = delete;

    // (Re)registers: stops first, so two starts never watch twice. Returns once the source's
    // subscriptions are in place.
    void start();
    void stop();
    bool isWatching() const noexcept;

    // How many channels the source watches since the last start() (0 when stopped); for
    // diagnostics and tests.
    int watchedChannelCount() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<platform::SessionLockSource> source_;
    bool watching_ = false;
};

} // namespace quillon
