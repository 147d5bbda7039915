#include "Platform/Display/X11DisplayGeometry.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Display/DisplaySelection.hpp"
#include "Platform/Display/X11Connection.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <poll.h>
#include <string_view>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

// Reads the current monitors and resource database over `dpy` (round trips: only ever on the
// geometry thread or at construction).
X11DisplayGeometry::State readState(Display* dpy, bool haveRandr, const std::string& setting,
                                    std::string& note) {
    X11DisplayGeometry::State s;
    s.connected = true;
    note.clear();
    const Window root = DefaultRootWindow(dpy);
    std::vector<X11DisplayGeometry::Monitor> monitors;
    std::vector<std::string> names;
    if (haveRandr) {
        int n = 0;
        XRRMonitorInfo* list = XRRGetMonitors(dpy, root, True, &n);
        for (int i = 0; i < n; ++i) {
            monitors.push_back(
                {list[i].x, list[i].y, list[i].width, list[i].height, list[i].primary != 0});
            // A monitor's name is an atom ("DP-1", or what `xrandr --setmonitor` was given).
            std::string name;
            if (list[i].name != None) {
                if (char* text = XGetAtomName(dpy, list[i].name)) {
                    name = text;
                    XFree(text);
                }
            }
            names.push_back(std::move(name));
        }
        if (list != nullptr) {
            XRRFreeMonitors(list);
        }
    }
    // The same choice as on Wayland, with the X11 notion of the main monitor (primary, else the
    // one at the origin, else the first) marked as the primary output.
    const int main = X11DisplayGeometry::chooseMain(monitors);
    std::vector<OutputInfo> outputs;
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const auto& m = monitors[i];
        outputs.push_back({names[i],
                           {double(m.x), double(m.y), double(m.width), double(m.height)},
                           1.0,
                           static_cast<int>(i) == main});
    }
    if (const auto selected = selectDisplay(outputs, setting)) {
        s.originX = static_cast<int>(selected->bounds.minX());
        s.originY = static_cast<int>(selected->bounds.minY());
        s.pixelWidth = static_cast<int>(selected->bounds.width);
        s.pixelHeight = static_cast<int>(selected->bounds.height);
        note = selected->note;
    } else {
        const int screen = DefaultScreen(dpy);
        s.pixelWidth = DisplayWidth(dpy, screen);
        s.pixelHeight = DisplayHeight(dpy, screen);
    }

    // The resource database as it is now (XResourceManagerString() is the copy taken at
    // connection time and never refreshed).
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const Atom rm = XInternAtom(dpy, "RESOURCE_MANAGER", False);
    std::string db;
    if (XGetWindowProperty(dpy, root, rm, 0, 1 << 20, False, XA_STRING, &type, &format, &count,
                           &after, &data) == Success &&
        data != nullptr) {
        if (format == 8) {
            db.assign(reinterpret_cast<const char*>(data), count);
        }
        XFree(data);
    }
    s.scale = X11DisplayGeometry::scaleFromResources(db.c_str());
    return s;
}

bool sameGeometry(const X11DisplayGeometry::State& a, const X11DisplayGeometry::State& b) {
    return a.connected == b.connected && a.originX == b.originX && a.originY == b.originY &&
           a.pixelWidth == b.pixelWidth && a.pixelHeight == b.pixelHeight && a.scale == b.scale;
}

} // namespace

int X11DisplayGeometry::chooseMain(const std::vector<Monitor>& monitors) {
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (monitors[i].primary) {
            return static_cast<int>(i);
        }
    }
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const auto& m = monitors[i];
        if (m.x <= 0 && m.y <= 0 && m.x + m.width > 0 && m.y + m.height > 0) {
            return static_cast<int>(i);
        }
    }
    return monitors.empty() ? -1 : 0;
}

double X11DisplayGeometry::scaleFromResources(const char* resourceManager) {
    // The resource database is a root window property any client may write, so it is parsed
    // here with a small line reader rather than Xrm (whose parser has read past its buffer on
    // malformed text). Lines are "name: value"; "!" starts a comment. "Xft.dpi" wins over the
    // loose forms toolkits also honour ("Xft*dpi", "*dpi", "*.dpi"); within a form the last
    // line wins, as in the database.
    if (resourceManager == nullptr) {
        return 1.0;
    }
    const std::string_view db(resourceManager);
    const auto trim = [](std::string_view v) {
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) {
            v.remove_prefix(1);
        }
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) {
            v.remove_suffix(1);
        }
        return v;
    };
    std::optional<double> exact, loose;
    std::size_t start = 0;
    while (start < db.size()) {
        std::size_t end = db.find('\n', start);
        if (end == std::string_view::npos) {
            end = db.size();
        }
        const std::string_view line = trim(db.substr(start, end - start));
        start = end + 1;
        const auto colon = line.find(':');
        if (line.empty() || line.front() == '!' || colon == std::string_view::npos) {
            continue;
        }
        const std::string_view name = trim(line.substr(0, colon));
        const bool isExact = name == "Xft.dpi";
        const bool isLoose = name == "Xft*dpi" || name == "*dpi" || name == "*.dpi";
        if (!isExact && !isLoose) {
            continue;
        }
        const std::string value(trim(line.substr(colon + 1)));
        char* stop = nullptr;
        const double dpi = std::strtod(value.c_str(), &stop);
        std::optional<double> parsed;
        if (stop != value.c_str() && std::isfinite(dpi) && dpi > 0) {
            parsed = dpi;
        }
        (isExact ? exact : loose) = parsed;
    }
    const auto dpi = exact ? exact : loose;
    if (!dpi) {
        return 1.0;
    }
    // A scale outside what any screen uses is a broken setting, not a reason to shrink the
    // desktop to nothing or blow it up past the coordinate range.
    const double scale = *dpi / 96.0;
    return scale >= 0.25 && scale <= 16 ? scale : 1.0;
}

void X11DisplayGeometry::toRoot(const State& s, double x, double y, int& rootX, int& rootY) {
    const auto map = [&](double v, int origin) {
        if (std::isnan(v)) {
            return origin;
        }
        const double p = std::round(origin + v * s.scale);
        return static_cast<int>(std::clamp(p, -32768.0, 32767.0));
    };
    rootX = map(x, s.originX);
    rootY = map(y, s.originY);
}

X11DisplayGeometry::X11DisplayGeometry(std::string display,
                                       std::chrono::milliseconds refreshInterval,
                                       std::function<std::string()> displaySetting)
    : display_(x11::resolveDisplayName(display)), retry_(refreshInterval),
      setting_(std::move(displaySetting)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
    // The first answer must already be right: wait until the thread has read the state once
    // (or found that there is no display).
    std::unique_lock lock(mutex_);
    stopCv_.wait(lock, [this] { return state_.generation > 0; });
}

X11DisplayGeometry::~X11DisplayGeometry() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopCv_.notify_all();
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(wakeFd_, &one, sizeof one);
    }
    thread_.join();
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

Rect X11DisplayGeometry::mainBounds() const {
    const State s = state();
    if (!s.connected) {
        return {};
    }
    return {0, 0, s.pixelWidth / s.scale, s.pixelHeight / s.scale};
}

double X11DisplayGeometry::pixelsPerPoint() const {
    return state().scale;
}

X11DisplayGeometry::State X11DisplayGeometry::state() const {
    // A sequence lock: the writer makes the count odd while it stores, so a read that saw the
    // same even count before and after saw one whole state. Every pointer move reads this.
    for (;;) {
        const std::uint64_t before = published_.sequence.load(std::memory_order_acquire);
        if ((before & 1) != 0) {
            continue;
        }
        State s;
        s.connected = published_.connected.load(std::memory_order_relaxed);
        s.originX = published_.originX.load(std::memory_order_relaxed);
        s.originY = published_.originY.load(std::memory_order_relaxed);
        s.pixelWidth = published_.pixelWidth.load(std::memory_order_relaxed);
        s.pixelHeight = published_.pixelHeight.load(std::memory_order_relaxed);
        s.scale = published_.scale.load(std::memory_order_relaxed);
        s.generation = published_.generation.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (published_.sequence.load(std::memory_order_relaxed) == before) {
            return s;
        }
    }
}

std::string X11DisplayGeometry::selectionNote() const {
    std::lock_guard lock(mutex_);
    return note_;
}

void X11DisplayGeometry::Published::store(const State& s) {
    const std::uint64_t n = sequence.load(std::memory_order_relaxed);
    sequence.store(n + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    connected.store(s.connected, std::memory_order_relaxed);
    originX.store(s.originX, std::memory_order_relaxed);
    originY.store(s.originY, std::memory_order_relaxed);
    pixelWidth.store(s.pixelWidth, std::memory_order_relaxed);
    pixelHeight.store(s.pixelHeight, std::memory_order_relaxed);
    scale.store(s.scale, std::memory_order_relaxed);
    generation.store(s.generation, std::memory_order_relaxed);
    sequence.store(n + 2, std::memory_order_release);
}

void X11DisplayGeometry::run() {
    const auto read = [this](Display* dpy, bool haveRandr) {
        std::string note;
        State s = readState(dpy, haveRandr, setting_ ? setting_() : std::string(), note);
        std::lock_guard lock(mutex_);
        if (note != note_) {
            // One line per change of the reason, not one per refresh.
            if (!note.empty()) {
                DiagLog::write("display setting: " + note);
            }
            note_ = std::move(note);
        }
        return s;
    };
    const auto publish = [this](State s) {
        std::lock_guard lock(mutex_);
        if (state_.generation == 0 || !sameGeometry(state_, s)) {
            s.generation = state_.generation + 1;
            state_ = s;
            published_.store(s);
        }
        stopCv_.notify_all();
    };
    const auto stopping = [this] {
        std::lock_guard lock(mutex_);
        return stopping_;
    };

    while (!stopping()) {
        x11::Connection conn(display_);
        if (!conn) {
            publish(State{});
            std::unique_lock lock(mutex_);
            stopCv_.wait_for(lock, retry_, [this] { return stopping_; });
            continue;
        }
        Display* dpy = conn.get();
        const Window root = DefaultRootWindow(dpy);
        int rrEvent = 0, rrError = 0;
        const bool haveRandr = XRRQueryExtension(dpy, &rrEvent, &rrError) == True;
        if (haveRandr) {
            XRRSelectInput(dpy, root,
                           RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask |
                               RROutputChangeNotifyMask);
        }
        XSelectInput(dpy, root, PropertyChangeMask);
        const Atom rm = XInternAtom(dpy, "RESOURCE_MANAGER", False);
        publish(read(dpy, haveRandr));

        while (!stopping() && !conn.lost()) {
            XFlush(dpy);
            pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (XPending(dpy) == 0) {
                const int r = ::poll(fds, 2, static_cast<int>(retry_.count()));
                if (r < 0) {
                    continue;
                }
                if ((fds[1].revents & POLLIN) != 0) {
                    break;
                }
                if (r == 0) {
                    // Monitors defined by clients (xrandr --setmonitor) change without any
                    // event: look again now and then, on this thread only.
                    publish(read(dpy, haveRandr));
                    continue;
                }
            }
            bool changed = false;
            while (!conn.lost() && XPending(dpy) > 0) {
                XEvent ev;
                XNextEvent(dpy, &ev);
                if (haveRandr &&
                    (ev.type == rrEvent + RRScreenChangeNotify || ev.type == rrEvent + RRNotify)) {
                    XRRUpdateConfiguration(&ev);
                    changed = true;
                } else if (ev.type == PropertyNotify && ev.xproperty.atom == rm) {
                    changed = true;
                }
            }
            if (conn.lost()) {
                break;
            }
            if (changed) {
                publish(read(dpy, haveRandr));
            }
        }
        if (conn.lost()) {
            // The server went away: no display until a new connection succeeds.
            publish(State{});
        }
    }
}

} // namespace quillon::platform
