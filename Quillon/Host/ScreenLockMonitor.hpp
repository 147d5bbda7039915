#pragma once

#include <functional>
#include <memory>

namespace quillon {

// Turns the desktop's screen-lock broadcasts into two callbacks, run on the main queue.
//
// Sources: on the session bus, `ActiveChanged(b)` of org.freedesktop.ScreenSaver (any object
// path, any sender) and of org.gnome.ScreenSaver; on the system bus, the `LockedHint` property
// of this process's logind session (XDG_SESSION_ID, else the session of our pid), accepted only
// from the current owner of org.freedesktop.login1. Buses come from the environment
// (DBUS_SESSION_BUS_ADDRESS / DBUS_SYSTEM_BUS_ADDRESS or their default sockets); a bus that is
// missing or goes away is simply not watched.
//
// A desktop usually reports one lock through several of these at once, so the monitor calls
// back once per change of state: a lock while it already reported locked (or an unlock while
// unlocked) is dropped. It starts out assuming unlocked, and keeps its notion of the state
// across stop()/start().
//
// The buses are served by a thread of the monitor's own; callbacks are posted to the main
// queue. After stop() returns no callback runs, including ones already posted; destroying the
// monitor stops it. start() and stop() must not be called concurrently with each other.
class ScreenLockMonitor {
public:
    ScreenLockMonitor(std::function<void()> onLock, std::function<void()> onUnlock);
    ~ScreenLockMonitor();
    ScreenLockMonitor(const ScreenLockMonitor&) = delete;
    ScreenLockMonitor& operator=(const ScreenLockMonitor&) = delete;

    // (Re)registers: stops first, so two starts never watch twice. Returns once the
    // subscriptions are in place on the buses that could be reached (waits at most ~2 s).
    void start();
    void stop();
    bool isWatching() const noexcept;

    // How many buses the last start() subscribed on (0, 1 or 2); for diagnostics and tests.
    int watchedBusCount() const noexcept;

private:
    struct Shared;
    struct Watcher;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Watcher> watcher_;
};

} // namespace quillon
