#include "Platform/Display/WaylandDisplayGeometry.hpp"

#include "Platform/Input/Wayland/WaylandClient.hpp"

#include "xdg-output-unstable-v1-client-protocol.h"
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

struct Output {
    std::uint32_t globalName = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    std::string name;
    std::int32_t scale = 1;
    int modeWidth = 0, modeHeight = 0;       // current mode, device pixels
    int geometryX = 0, geometryY = 0;        // wl_output's own idea of the position
    int x = 0, y = 0, width = 0, height = 0; // logical, from xdg_output
    bool haveLogicalSize = false;
};

} // namespace

// One connection to the compositor and what it says about its outputs. Lives on the geometry
// thread only.
struct WaylandDisplayGeometry::Connection {
    zxdg_output_manager_v1* xdgManager = nullptr;
    std::list<Output> outputs; // stable addresses: listeners keep pointers
    // No seat: outputs are all this connection follows.
    wayland::Client client;
    wl_display* display = nullptr;

    explicit Connection(const std::string& name)
        : client({.display = name,
                  .global = [this](std::uint32_t n, std::string_view interface,
                                   std::uint32_t version) { global(n, interface, version); },
                  .globalRemove = [this](std::uint32_t n) { globalRemove(n); },
                  .seat = false}) {
        // Globals, then the outputs' first events, then xdg_output's for outputs bound late.
        if (client.connect(3)) {
            display = client.display();
        }
    }
    ~Connection() {
        for (auto& o : outputs) {
            destroy(o);
        }
        if (xdgManager != nullptr) {
            zxdg_output_manager_v1_destroy(xdgManager);
        }
        client.disconnect();
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool ok() const { return client.connected(); }

    static void destroy(Output& o) {
        if (o.xdg != nullptr) {
            zxdg_output_v1_destroy(o.xdg);
        }
        if (o.output != nullptr) {
            if (wl_output_get_version(o.output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
                wl_output_release(o.output);
            } else {
                wl_output_destroy(o.output);
            }
        }
    }

    void watchLogical(Output& o) {
        if (xdgManager != nullptr && o.xdg == nullptr) {
            o.xdg = zxdg_output_manager_v1_get_xdg_output(xdgManager, o.output);
            zxdg_output_v1_add_listener(o.xdg, &xdgListener, &o);
        }
    }

    std::vector<OutputInfo> snapshot() const {
        std::vector<OutputInfo> list;
        for (const auto& o : outputs) {
            OutputInfo info;
            info.name = o.name;
            if (o.haveLogicalSize && o.width > 0 && o.height > 0) {
                info.bounds = {double(o.x), double(o.y), double(o.width), double(o.height)};
            } else if (xdgManager == nullptr && o.modeWidth > 0 && o.scale > 0) {
                // A compositor without xdg_output: the mode divided by the integer scale.
                info.bounds = {double(o.geometryX), double(o.geometryY),
                               double(o.modeWidth / o.scale), double(o.modeHeight / o.scale)};
            } else {
                continue;
            }
            // Fractional scales show only as the ratio of the mode to the logical size.
            info.scale =
                o.modeWidth > 0 ? double(o.modeWidth) / info.bounds.width : double(o.scale);
            list.push_back(info);
        }
        return list;
    }

    void global(std::uint32_t name, std::string_view interface, std::uint32_t version) {
        if (interface == wl_output_interface.name) {
            auto& o = outputs.emplace_back();
            o.globalName = name;
            o.output = static_cast<wl_output*>(
                client.bind(name, &wl_output_interface, std::min(version, 4u)));
            wl_output_add_listener(o.output, &outputListener, &o);
            watchLogical(o);
        } else if (interface == zxdg_output_manager_v1_interface.name) {
            xdgManager = static_cast<zxdg_output_manager_v1*>(
                client.bind(name, &zxdg_output_manager_v1_interface, std::min(version, 3u)));
            for (auto& o : outputs) {
                watchLogical(o);
            }
        }
    }
    void globalRemove(std::uint32_t name) {
        for (auto it = outputs.begin(); it != outputs.end(); ++it) {
            if (it->globalName == name) {
                destroy(*it);
                outputs.erase(it);
                return;
            }
        }
    }

    static void geometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t,
                         std::int32_t, std::int32_t, const char*, const char*, std::int32_t) {
        auto* o = static_cast<Output*>(data);
        o->geometryX = x;
        o->geometryY = y;
    }
    static void mode(void* data, wl_output*, std::uint32_t flags, std::int32_t width,
                     std::int32_t height, std::int32_t) {
        if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
            static_cast<Output*>(data)->modeWidth = width;
            static_cast<Output*>(data)->modeHeight = height;
        }
    }
    static void done(void*, wl_output*) {}
    static void scale(void* data, wl_output*, std::int32_t factor) {
        static_cast<Output*>(data)->scale = factor;
    }
    static void outputName(void* data, wl_output*, const char* name) {
        static_cast<Output*>(data)->name = name;
    }
    static void description(void*, wl_output*, const char*) {}
    static constexpr wl_output_listener outputListener{geometry, mode,       done,
                                                       scale,    outputName, description};

    static void logicalPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
        auto* o = static_cast<Output*>(data);
        o->x = x;
        o->y = y;
    }
    static void logicalSize(void* data, zxdg_output_v1*, std::int32_t w, std::int32_t h) {
        auto* o = static_cast<Output*>(data);
        o->width = w;
        o->height = h;
        o->haveLogicalSize = true;
    }
    static void xdgDone(void*, zxdg_output_v1*) {}
    static void xdgName(void* data, zxdg_output_v1*, const char* name) {
        // wl_output's own name (version 4) wins; older compositors name outputs only here.
        auto* o = static_cast<Output*>(data);
        if (o->name.empty()) {
            o->name = name;
        }
    }
    static void xdgDescription(void*, zxdg_output_v1*, const char*) {}
    static constexpr zxdg_output_v1_listener xdgListener{logicalPosition, logicalSize, xdgDone,
                                                         xdgName, xdgDescription};
};

WaylandDisplayGeometry::WaylandDisplayGeometry(std::string display,
                                               std::function<std::string()> displaySetting,
                                               std::chrono::milliseconds refreshInterval)
    : display_(std::move(display)), setting_(std::move(displaySetting)), retry_(refreshInterval) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
    // The first answer must already be right.
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return state_.generation > 0; });
}

WaylandDisplayGeometry::~WaylandDisplayGeometry() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(wakeFd_);
}

Rect WaylandDisplayGeometry::mainBounds() const {
    const State s = state();
    return s.connected ? Rect{0, 0, s.area.width, s.area.height} : Rect{};
}

double WaylandDisplayGeometry::pixelsPerPoint() const {
    return state().scale;
}

WaylandDisplayGeometry::State WaylandDisplayGeometry::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

WaylandDisplayGeometry::State
WaylandDisplayGeometry::waitForChange(std::uint64_t generation,
                                      std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return state_.generation > generation; });
    return state_;
}

bool WaylandDisplayGeometry::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

void WaylandDisplayGeometry::publish(State s) {
    if (s.connected) {
        const auto selected = selectDisplay(s.outputs, setting_ ? setting_() : std::string());
        if (selected) {
            s.area = selected->bounds;
            s.scale = selected->scale;
            s.note = selected->note;
        }
        s.desktop = desktopBounds(s.outputs);
    }
    std::lock_guard lock(mutex_);
    const bool same = state_.connected == s.connected && state_.outputs == s.outputs &&
                      state_.area == s.area && state_.scale == s.scale;
    if (state_.generation == 0 || !same) {
        s.generation = state_.generation + 1;
        state_ = std::move(s);
        changed_.notify_all();
    }
}

void WaylandDisplayGeometry::run() {
    while (!stopping()) {
        Connection conn(display_);
        if (!conn.ok()) {
            publish(State{});
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, retry_, [this] { return stopping_; });
            continue;
        }
        const auto current = [&] {
            State s;
            s.connected = true;
            s.outputs = conn.snapshot();
            return s;
        };
        publish(current());
        while (!stopping() && conn.ok()) {
            while (wl_display_prepare_read(conn.display) != 0) {
                wl_display_dispatch_pending(conn.display);
            }
            wl_display_flush(conn.display);
            pollfd fds[2] = {{wl_display_get_fd(conn.display), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            const int r = ::poll(fds, 2, static_cast<int>(retry_.count()));
            if (r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                if (wl_display_read_events(conn.display) != 0) {
                    break;
                }
            } else {
                wl_display_cancel_read(conn.display);
            }
            if (r > 0 && (fds[1].revents & POLLIN) != 0) {
                break;
            }
            if (wl_display_dispatch_pending(conn.display) < 0) {
                break;
            }
            // Also after a quiet interval: the display setting may have changed.
            publish(current());
        }
        if (!stopping()) {
            publish(State{});
        }
    }
}

} // namespace quillon::platform
