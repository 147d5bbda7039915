#pragma once

#include "Platform/Control/ControlBus.hpp"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillon::platform {

// The desktop program's connection to the session bus, driven by the program's own event loop
// (Qt's): nothing here blocks once the loop runs, and nothing has a thread. It holds the
// session's window name and serves Show() on it (ControlBus.hpp: one window per session),
// follows the host (its name getting and losing an owner, its Changed() signal) and calls the
// host's control interface; answers, signals and Show() calls are delivered from process().
//
// Driving it: watch fd() for events() (poll's POLLIN/POLLOUT) and call process() when it is
// ready, or once timeout() has passed; read events() and timeout() again after process() and
// after issuing calls, as both change them. One thread only; no callback may destroy the
// WindowBus. Answers not yet delivered when it is destroyed are dropped, never called.
class WindowBus {
public:
    // Opens the session bus (DBUS_SESSION_BUS_ADDRESS, else the user bus). Throws
    // ControlError("no-bus").
    WindowBus();
    ~WindowBus();
    WindowBus(const WindowBus&) = delete;
    WindowBus& operator=(const WindowBus&) = delete;

    // Takes the window name, waiting up to `wait` while another process holds it (a relaunch
    // waits for the window it replaces). False when it stays taken: another process is the
    // session's window. Blocks; for the start, before the event loop runs.
    bool claimWindow(std::chrono::milliseconds wait);
    // What Show() on the window name runs.
    void onShow(std::function<void()> show);
    // The host's name: presence(true) when it gets an owner, presence(false) when it loses it
    // (the host stopped); changed() on the host's Changed(). Matched from the call on; what
    // happened before is not told (read status() for that).
    void watchHost(std::function<void(bool running)> presence, std::function<void()> changed);

    int fd() const;
    short events() const;
    // How long process() may wait at most; nothing: no limit.
    std::optional<std::chrono::milliseconds> timeout() const;
    // Delivers everything ready. False once the connection to the bus is lost (the session
    // bus ended); nothing more is delivered then.
    bool process();

    // The host's methods (ControlBus.hpp), each answered once, from process(): the value, or
    // the error (ControlError "not-running" when no host owns the name).
    template <typename T>
    using Answer = std::function<void(std::optional<T> value, std::optional<ControlError> error)>;
    using Done = std::function<void(std::optional<ControlError> error)>;
    void status(Answer<ControlState> answer);
    void devices(Answer<std::vector<ControlDevice>> answer);
    void settings(Answer<std::map<std::string, std::string>> answer);
    void pairingCode(Answer<std::string> answer);
    void pair(Done done);
    void cancel(Done done);
    void disconnect(const std::string& device, Done done);
    void unpair(const std::string& device, Done done);
    void setTelemetry(bool enabled, Done done);
    void setSetting(const std::string& key, const std::string& value, Done done);
    void restart(Done done);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
