#include "Platform/Display/X11Connection.hpp"

#include "Platform/Locale/Translation.hpp"

#include <X11/Xlib.h>

#include <cstdlib>
#include <mutex>

namespace quillon::platform::x11 {

namespace {

int ignoreProtocolError(Display*, XErrorEvent*) {
    return 0;
}

// Called by Xlib after the I/O error handler instead of exit(): the display is then marked
// dead inside Xlib and later calls on it return without touching the socket.
void markLost(Display*, void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true, std::memory_order_release);
}

// The default I/O error handler only prints; keep the console quiet, the owner reports the
// loss itself.
int quietIOError(Display*) {
    return 0;
}

void installHandlersOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(ignoreProtocolError);
        XSetIOErrorHandler(quietIOError);
    });
}

} // namespace

std::string resolveDisplayName(const std::string& name) {
    if (!name.empty()) {
        return name;
    }
    const char* env = std::getenv("DISPLAY");
    return env != nullptr ? std::string(env) : std::string();
}

Connection::Connection(const std::string& name)
    : name_(resolveDisplayName(name)), lost_(std::make_unique<std::atomic<bool>>(false)) {
    installHandlersOnce();
    if (name_.empty()) {
        error_ = i18n::tr("no DISPLAY is set");
        return;
    }
    dpy_ = XOpenDisplay(name_.c_str());
    if (dpy_ == nullptr) {
        error_ = i18n::fill(i18n::tr("cannot connect to X display {1}"), {name_});
        return;
    }
    XSetIOErrorExitHandler(dpy_, markLost, lost_.get());
}

Connection::~Connection() {
    if (dpy_ != nullptr) {
        XCloseDisplay(dpy_);
    }
}

} // namespace quillon::platform::x11
