#pragma once

#include <atomic>
#include <memory>
#include <string>

typedef struct _XDisplay Display;

namespace quillon::platform::x11 {

// One Xlib connection owned by one component. Xlib's defaults end the process on a protocol
// error and on a lost connection; an input host must survive both (a server restart, a request
// a window manager refuses). So every connection made here:
//   - reports protocol errors to a process-wide handler that ignores them (the request simply
//     had no effect; the callers never depend on one succeeding),
//   - marks itself lost instead of exiting when the server goes away; `lost()` then answers true
//     and the owner drops the connection and may open a new one later.
// A Connection is not thread-safe by itself: its owner serialises the calls.
class Connection {
public:
    // Opens `name` (empty: $DISPLAY). On failure `get()` is null and `error()` says why, as
    // text for the console ("no DISPLAY is set", "cannot connect to X display :5").
    explicit Connection(const std::string& name = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Display* get() const noexcept { return dpy_; }
    explicit operator bool() const noexcept { return dpy_ != nullptr; }
    const std::string& error() const noexcept { return error_; }
    // The display name actually used (after resolving $DISPLAY).
    const std::string& name() const noexcept { return name_; }
    // True once the server connection broke; every later Xlib call on it does nothing.
    bool lost() const noexcept { return lost_->load(std::memory_order_acquire); }

private:
    Display* dpy_ = nullptr;
    std::string name_;
    std::string error_;
    // Heap-allocated so the pointer handed to Xlib stays valid for the display's whole life.
    std::unique_ptr<std::atomic<bool>> lost_;
};

// The display name a Connection with `name` would use: `name`, else $DISPLAY, else empty.
std::string resolveDisplayName(const std::string& name);

} // namespace quillon::platform::x11
