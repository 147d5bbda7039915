#pragma once

#include <functional>
#include <memory>

namespace quillon::platform {

// Who said it: each channel is one screen locker (or logind) and has a state of its own.
enum class LockChannel {
    freedesktopScreenSaver, // org.freedesktop.ScreenSaver (KDE, Xfce, light-locker, ...)
    gnomeScreenSaver,       // org.gnome.ScreenSaver (GNOME Shell, Cinnamon, ...)
    logind,                 // LockedHint of this process's logind session
};

// What the desktop session says about its screen lock, as it says it. A source reports every
// observation, repeats included: a desktop often announces one lock through several channels at
// once, and telling a change from a repeat is the listener's business, not the source's.
class SessionLockSource {
public:
    // true: the screen was reported locked by `channel`; false: unlocked (or the channel's
    // locker went away). Called on a thread of the source's own, one observation at a time.
    using Observer = std::function<void(LockChannel channel, bool locked)>;

    virtual ~SessionLockSource() = default;

    // (Re)starts watching: stops first, so two starts never watch twice. Returns once the
    // subscriptions are in place on whatever channels could be reached (bounded wait); a
    // channel that cannot be reached, or goes away later, is simply not watched.
    virtual void start(Observer observer) = 0;
    // After stop() returns the observer is not called again and has been released. Safe before
    // any start() and twice. start() and stop() must not be called concurrently.
    virtual void stop() = 0;
    // How many channels the last start() subscribed on; for diagnostics and tests.
    virtual int watchedChannelCount() const = 0;
};

// The D-Bus source. On the session bus: `ActiveChanged(b)` of org.freedesktop.ScreenSaver and of
// org.gnome.ScreenSaver (any object path), each believed only from the current owner of the
// well-known name of the same spelling: any client of the session bus can emit a signal that
// looks like the locker's, and only the locker holds its name. When a name loses its owner (the
// locker exited) its channel reports unlocked; a new owner must speak for itself. On the system
// bus: the `LockedHint` property of this process's logind session (XDG_SESSION_ID, else the
// session of our pid), believed only from the current owner of org.freedesktop.login1. Owners
// are followed across restarts. Buses come from the environment (DBUS_SESSION_BUS_ADDRESS /
// DBUS_SYSTEM_BUS_ADDRESS or their default sockets) at each start(); the channel count is the
// number of buses watched (0, 1 or 2). The buses are served by one thread per start(), joined by
// stop().
std::unique_ptr<SessionLockSource> makeDBusSessionLockSource();

} // namespace quillon::platform
