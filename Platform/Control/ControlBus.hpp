#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillon::platform {

class MainQueue;

// The running host's control interface on the session bus, so that a host started at login
// (autostart, the systemd user unit) can be paired and managed from a terminal or a script,
// and so that the desktop program can be its window (a face of a host that runs elsewhere).
//
//   bus name  com.corvane.Quillon     object /com/corvane/Quillon
//   interface com.corvane.Quillon1
//     State() -> (s pin, b locked, s lastError, s channel, b permitted, s reason,
//                 b telemetry, s serviceName)         "" stands for "none"; channel wifi|usb|""
//     Status() -> a{sv}                               State's fields and what a window shows
//                                                     besides (keys below, absent = none)
//     Devices() -> a(ssb)                             id, name, connected; oldest pairing first
//     Pair() -> s                                     opens a pairing window, returns its PIN
//                                                     ("" where the PIN shows on the screen)
//     PairingCode() -> s                              the open window's PIN ("" when none), for
//                                                     the screen of the host's own window: see
//                                                     "The PIN" below
//     Settings() -> a{ss}                             every stored setting, as `quillon
//                                                     defaults read KEY` prints it
//     SetSetting(s key, s value)                      checked and stored as `quillon defaults
//                                                     write` does; "" goes back to the default
//     Cancel()  Disconnect(s)  Unpair(s)  SetTelemetry(b)  Show()  Quit()
//     Restart()                                       the host starts again in place (what a
//                                                     granted input permission needs)
//     signal Changed()                                something Status() answers changed: a
//                                                     window reads it again
//   Disconnect/Unpair take a device ID or its 1-based number in Devices().
//   Errors: com.corvane.Quillon1.Error.NoSuchDevice, ...Error.Locked (Pair and Unpair while the
//   screen is locked), ...Error.InvalidValue (SetSetting refused, with the reason),
//   ...Error.NotAllowed (PairingCode to another program), ...Error.Failed (with the host's
//   text).
//   Methods are only ever added (a window or script of an older version keeps working).
//
// The session's one window, whichever process shows it (the desktop program hosting in
// itself, or a window of a host that runs elsewhere), owns a name of its own:
//   bus name  com.corvane.Quillon.Window   object /com/corvane/Quillon/Window
//   interface com.corvane.Quillon1.Window  Show()  (brings the window to the front)
// Owning that name is what makes a process the window: a second start that finds it owned
// asks its owner to show itself instead of opening another.
//
// The PIN. The interface is open to every process of the user's session, which on Wayland
// cannot otherwise post input; the PIN would let such a process pair a device of its own. The
// host therefore answers it (Pair(), State's and Status's pin) to anyone only where no screen
// could show it (a host without a display, driven over SSH). Elsewhere PairingCode() answers
// it only to a caller whose executable, as the bus daemon knows its process, is the host's
// own: Quillon's window, which shows it on the screen (`quillon ctl` never asks for it). That
// keeps the PIN away from every program that does not put Quillon's window on the screen; it
// is no wall against a process of the same user that runs that window with code of its own
// injected (LD_PRELOAD), which the same user's desktop does not stop either.
namespace control {
inline constexpr const char* busName = "com.corvane.Quillon";
inline constexpr const char* objectPath = "/com/corvane/Quillon";
inline constexpr const char* interface = "com.corvane.Quillon1";
inline constexpr const char* windowBusName = "com.corvane.Quillon.Window";
inline constexpr const char* windowObjectPath = "/com/corvane/Quillon/Window";
inline constexpr const char* windowInterface = "com.corvane.Quillon1.Window";
inline constexpr const char* errorNoSuchDevice = "com.corvane.Quillon1.Error.NoSuchDevice";
inline constexpr const char* errorFailed = "com.corvane.Quillon1.Error.Failed";
// Pair() and Unpair() while the screen is locked.
inline constexpr const char* errorLocked = "com.corvane.Quillon1.Error.Locked";
// SetSetting() with an unknown key or a value the key does not take.
inline constexpr const char* errorInvalidValue = "com.corvane.Quillon1.Error.InvalidValue";
// PairingCode() to a caller that may not read the PIN.
inline constexpr const char* errorNotAllowed = "com.corvane.Quillon1.Error.NotAllowed";
} // namespace control

struct ControlDevice {
    std::string id;
    std::string name;
    bool connected = false;
    bool operator==(const ControlDevice&) const = default;
};

// The last peer the host turned away, as its parts (a window renders it in its own language):
// kind wrongPIN|unknownDevice|badToken|outdatedClient|refused, channel wifi|usb, the peer's
// address (empty on the cable), the error code it was sent and that error's text.
struct ControlNotice {
    std::string kind;
    std::string channel;
    std::string source;
    std::uint16_t code = 0;
    std::string reason;
    bool operator==(const ControlNotice&) const = default;
};

// Status() keys: pin s, locked b, lastError s, channel s, permitted b, reason s, telemetry b,
// serviceName s, port q, pairingPort q, pinSecondsLeft i, pinExpiresAt d (seconds on the
// system clock), pairingExpired b, storeProblem s, notice s (the line), noticeDetail
// (sssqs) (its parts, see ControlNotice), discoverable b, guide as (the permission guide's
// steps), offersKdeGrant b.
struct ControlState {
    std::optional<std::string> pin;
    bool locked = false;
    std::optional<std::string> lastError;
    std::string channel; // "wifi", "usb" or empty
    bool permitted = false;
    std::string permissionReason;
    bool telemetry = false;
    std::string serviceName;
    std::optional<std::uint16_t> port;        // the main listener's, while listening
    std::optional<std::uint16_t> pairingPort; // while a pairing window is open
    std::optional<int> pinSecondsLeft;
    std::optional<double> pinExpiresAt;
    bool pairingExpired = false;
    std::optional<std::string> storeProblem;
    std::optional<std::string> notice;
    std::optional<ControlNotice> noticeDetail;
    bool discoverable = true;
    std::vector<std::string> guide;
    bool offersKdeGrant = false;
    bool operator==(const ControlState&) const = default;
};

// A failure of the control interface: no session bus, the name already owned, a method error
// of the other side (`name` is the D-Bus error name then, `what()` its message).
class ControlError : public std::runtime_error {
public:
    ControlError(std::string name, const std::string& message)
        : std::runtime_error(message), name_(std::move(name)) {}
    const std::string& name() const noexcept { return name_; }

private:
    std::string name_;
};

// The host's side. The server calls these on the main queue, one at a time.
class ControlHandler {
public:
    virtual ~ControlHandler() = default;
    virtual ControlState state() = 0;
    virtual std::vector<ControlDevice> devices() = 0;
    // The PIN of the new pairing window; throws ControlError(errorFailed) with the host's
    // text when it cannot open.
    virtual std::string pair() = 0;
    virtual void cancel() = 0;
    // Throw ControlError(errorNoSuchDevice) for a device the host does not know.
    virtual void disconnect(const std::string& device) = 0;
    virtual void unpair(const std::string& device) = 0;
    virtual void setTelemetry(bool enabled) = 0;
    virtual void show() = 0;
    virtual void quit() = 0;
    // The open window's PIN, "" when none. `callerIsThisProgram`: the caller's executable is
    // this process's own (see "The PIN" above); throw ControlError(errorNotAllowed) to a
    // caller that may not have it.
    virtual std::string pairingCode(bool callerIsThisProgram) = 0;
    // Every stored setting in its text form.
    virtual std::map<std::string, std::string> settings() = 0;
    // Throws ControlError(errorInvalidValue) with the reason when refused.
    virtual void setSetting(const std::string& key, const std::string& value) = 0;
    // Throw ControlError(errorFailed) where the host cannot start again in place.
    virtual void restart() = 0;
};

// Serves the interface on the session bus (DBUS_SESSION_BUS_ADDRESS, else the user bus) from a
// thread of its own; each call is handed to the main queue and answered when it has run
// there. A handler that is gone, or a main queue that does not answer within a few seconds
// (the host is quitting), gives the caller an error instead of a hang.
class ControlServer {
public:
    // Calls run on `mainQueue`. Throws ControlError when there is no session bus or another
    // process owns the name.
    ControlServer(std::weak_ptr<ControlHandler> handler, std::shared_ptr<MainQueue> mainQueue);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Emits Changed() (any thread; several calls before the bus thread runs make one signal).
    void notifyChanged();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The other side, for `quillon ctl` and a second start. Every call blocks for the answer and
// throws ControlError (no bus, no running host, a method error). A window, which must not
// block, uses WindowBus (WindowBus.hpp).
class ControlClient {
public:
    ControlClient();
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Status(): everything a surface shows.
    ControlState state();
    // State(): the fields it has (the first version of the interface).
    ControlState basicState();
    std::vector<ControlDevice> devices();
    std::string pair();
    void cancel();
    void disconnect(const std::string& device);
    void unpair(const std::string& device);
    void setTelemetry(bool enabled);
    void show();
    void quit();
    std::string pairingCode();
    std::map<std::string, std::string> settings();
    void setSetting(const std::string& key, const std::string& value);
    void restart();
    // Show() of the session's window, waiting up to `wait` for one to register (it may be
    // starting). False when no process shows a window.
    bool showWindow(std::chrono::milliseconds wait = {});

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The one-instance lock cannot be used: its path is a symbolic link, not a regular file, not
// the user's own, or cannot be opened. what() says which, naming the path.
class InstanceLockError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One host per user session: an exclusive lock on $XDG_RUNTIME_DIR/quillon.lock (else
// /tmp/quillon-<uid>.lock), held for the life of the process and released by the kernel when
// it ends, however it ends. The descriptor is close-on-exec, so a relaunched host never
// inherits it. The lock is taken only on a regular file the user owns, opened without
// following a symbolic link: anything else at the path (planted by someone to switch the guard
// off, or to make the host lock a file of theirs) is refused with InstanceLockError rather than
// run unguarded.
class InstanceLock {
public:
    // The lock, or nothing when another process holds it after waiting up to `wait` for it to
    // be released (a relaunch waits for the instance it replaces). Throws InstanceLockError.
    static std::unique_ptr<InstanceLock> acquire(const std::string& path,
                                                 std::chrono::milliseconds wait = {});
    static std::string defaultPath();
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_;
};

} // namespace quillon::platform
