#include "tests/support/XvfbFixture.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "tests/support/SanitizerSuppressions.hpp"

namespace quillon::testing {

namespace {

using namespace std::chrono_literals;

// Reads the display number Xvfb writes to the -displayfd pipe ("N\n").
std::string readDisplayNumber(int fd, ChildProcess& server, std::chrono::milliseconds timeout) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !server.running()) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
        if (r < 0 && errno != EINTR) {
            break;
        }
        if (r > 0) {
            char buf[32];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            text.append(buf, static_cast<std::size_t>(n));
        }
    }
    const auto nl = text.find('\n');
    return nl == std::string::npos ? std::string() : text.substr(0, nl);
}

// Xlib's default handler exits the process on any protocol error; the fixture's own requests
// may fail harmlessly (a monitor that is not there), so errors are ignored while it runs them.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

} // namespace

XvfbServer::XvfbServer() : XvfbServer(Options{}) {}

XvfbServer::XvfbServer(Options options) : options_(options), dir_(std::make_unique<TempDir>()) {
    linkSanitizerSuppressions();
    startServer();
    if (options_.windowManager) {
        try {
            startWindowManager();
        } catch (...) {
            stop();
            throw;
        }
    }
}

XvfbServer::~XvfbServer() {
    stop();
}

void XvfbServer::stop() {
    if (wm_) {
        wm_->stop();
        wm_.reset();
    }
    if (server_) {
        server_->stop();
        server_.reset();
    }
}

void XvfbServer::startServer() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // Only the write end goes to the child: clear close-on-exec on it alone.
    ::fcntl(fds[1], F_SETFD, 0);
    const std::string geometry =
        std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x24";
    ChildProcess::Options o;
    o.argv = {"Xvfb",       "-displayfd", std::to_string(fds[1]),
              "-noreset",   "-nolisten",  "tcp",
              "+extension", "RANDR",      "-screen",
              "0",          geometry};
    if (!options_.xtest) {
        o.argv.insert(o.argv.end(), {"-extension", "XTEST"});
    }
    o.outputFile = dir_->path() + "/xvfb.log";
    try {
        server_ = std::make_unique<ChildProcess>(o);
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw;
    }
    ::close(fds[1]);
    const std::string number = readDisplayNumber(fds[0], *server_, 15s);
    ::close(fds[0]);
    if (number.empty()) {
        const std::string log = server_->output();
        stop();
        throw std::runtime_error("Xvfb did not start: " + log);
    }
    display_ = ":" + number;
}

void XvfbServer::startWindowManager() {
    const std::string rc = dir_->path() + "/rc.xml";
    {
        std::ofstream f(rc);
        // No key or mouse bindings: the tests' own key presses must reach their windows.
        f << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<openbox_config xmlns=\"http://openbox.org/3.4/rc\">\n"
             "  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>\n"
             "  <desktops><number>"
          << options_.desktops
          << "</number><firstdesk>1</firstdesk><popupTime>0</popupTime></desktops>\n"
             "</openbox_config>\n";
    }
    ChildProcess::Options o;
    o.argv = {"openbox", "--config-file", rc};
    o.env["DISPLAY"] = display_;
    o.outputFile = dir_->path() + "/openbox.log";
    wm_ = std::make_unique<ChildProcess>(o);

    XConnection c(display_);
    const Atom check = XInternAtom(c, "_NET_SUPPORTING_WM_CHECK", False);
    const Atom count = XInternAtom(c, "_NET_NUMBER_OF_DESKTOPS", False);
    const auto hasProperty = [&](Atom a) {
        Atom type = None;
        int format = 0;
        unsigned long n = 0, after = 0;
        unsigned char* data = nullptr;
        const int r = XGetWindowProperty(c, DefaultRootWindow(c.get()), a, 0, 1, False,
                                         AnyPropertyType, &type, &format, &n, &after, &data);
        if (data != nullptr) {
            XFree(data);
        }
        return r == Success && type != None && n > 0;
    };
    const bool up = waitUntil(
        [&] { return !wm_->running() ? true : hasProperty(check) && hasProperty(count); }, 15s);
    if (!up || !wm_->running()) {
        throw std::runtime_error("openbox did not start: " + wm_->output());
    }
    // The properties appear before the window manager has finished starting (it still sets
    // the first workspace afterwards, overriding requests made meanwhile). Managing a window
    // means its event loop runs: map one and wait until it is reparented into a frame.
    const Window probe = XCreateSimpleWindow(c, DefaultRootWindow(c.get()), 0, 0, 10, 10, 0, 0, 0);
    XSelectInput(c, probe, StructureNotifyMask);
    bool managed = false;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!managed && std::chrono::steady_clock::now() < deadline) {
        // Mapped before the window manager took over, the window is simply shown: unmap and
        // map again until a frame takes it.
        XUnmapWindow(c, probe);
        XMapWindow(c, probe);
        XFlush(c);
        waitUntil(
            [&] {
                XEvent ev;
                while (XCheckWindowEvent(c, probe, StructureNotifyMask, &ev)) {
                    managed = managed || ev.type == ReparentNotify;
                }
                return managed;
            },
            300ms);
    }
    XDestroyWindow(c, probe);
    XSync(c, False);
    if (!managed) {
        throw std::runtime_error("openbox does not manage windows: " + wm_->output());
    }
}

void XvfbServer::setMonitors(const std::vector<Monitor>& monitors) {
    XConnection c(display_);
    const auto previous = XSetErrorHandler(ignoreXError);
    const Window root = DefaultRootWindow(c.get());
    // Drop the client-defined monitors of an earlier call (those without outputs).
    int n = 0;
    XRRMonitorInfo* list = XRRGetMonitors(c, root, False, &n);
    for (int i = 0; i < n; ++i) {
        if (list[i].noutput == 0) {
            XRRDeleteMonitor(c, root, list[i].name);
        }
    }
    if (list != nullptr) {
        XRRFreeMonitors(list);
    }
    for (const Monitor& m : monitors) {
        XRRMonitorInfo* info = XRRAllocateMonitor(c, 0);
        info->name = XInternAtom(c, m.name.c_str(), False);
        info->primary = m.primary ? True : False;
        info->automatic = False;
        info->x = m.x;
        info->y = m.y;
        info->width = m.width;
        info->height = m.height;
        // 96 dpi in millimetres, so tools that print them show something sensible.
        info->mwidth = m.width * 254 / 960;
        info->mheight = m.height * 254 / 960;
        XRRSetMonitor(c, root, info);
        XRRFreeMonitors(info);
    }
    XSync(c, False);
    XSetErrorHandler(previous);
}

void XvfbServer::setXftDpi(int dpi) {
    XConnection c(display_);
    const Window root = DefaultRootWindow(c.get());
    const Atom rm = XInternAtom(c, "RESOURCE_MANAGER", False);
    if (dpi <= 0) {
        XDeleteProperty(c, root, rm);
    } else {
        const std::string db = "Xft.dpi:\t" + std::to_string(dpi) + "\n";
        XChangeProperty(c, root, rm, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(db.data()),
                        static_cast<int>(db.size()));
    }
    XSync(c, False);
}

XConnection::XConnection(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {
    if (dpy_ == nullptr) {
        throw std::runtime_error("cannot open display " + display);
    }
}

XConnection::~XConnection() {
    if (dpy_ != nullptr) {
        XCloseDisplay(dpy_);
    }
}

ScopedDisplayEnv::ScopedDisplayEnv(const std::string& display) {
    if (const char* v = std::getenv("DISPLAY")) {
        had_ = true;
        previous_ = v;
    }
    ::setenv("DISPLAY", display.c_str(), 1);
}

ScopedDisplayEnv::~ScopedDisplayEnv() {
    if (had_) {
        ::setenv("DISPLAY", previous_.c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
}

} // namespace quillon::testing
