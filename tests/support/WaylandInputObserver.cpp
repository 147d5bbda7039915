#include "tests/support/WaylandInputObserver.hpp"

#include "xdg-shell-client-protocol.h"
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace quillon::testing {

using namespace std::chrono_literals;

struct WaylandInputObserver::Impl {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wm = nullptr;
    wl_seat* seat = nullptr;
    wl_pointer* pointer = nullptr;
    wl_keyboard* keyboard = nullptr;
    wl_surface* surface = nullptr;
    xdg_surface* xsurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    wl_buffer* buffer = nullptr;
    wl_data_device_manager* dataManager = nullptr;
    wl_data_device* dataDevice = nullptr;
    wl_data_offer* selection = nullptr; // the clipboard as last announced
    bool highResolutionWheel = false;   // wl_seat 8: axis_value120 instead of axis_discrete

    int width = 0, height = 0;
    int configuredWidth = 0, configuredHeight = 0;
    bool configured = false;
    bool frameDone = false;

    xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* keymap = nullptr;
    xkb_state* state = nullptr;

    double x = 0, y = 0;
    bool pointerInside = false;
    bool keyboardFocus = false;
    std::set<std::uint32_t> buttons, keys;
    std::vector<Record> records;

    ~Impl() {
        if (selection)
            wl_data_offer_destroy(selection);
        if (dataDevice)
            wl_data_device_destroy(dataDevice);
        if (dataManager)
            wl_data_device_manager_destroy(dataManager);
        if (keyboard)
            wl_keyboard_destroy(keyboard);
        if (pointer)
            wl_pointer_destroy(pointer);
        if (buffer)
            wl_buffer_destroy(buffer);
        if (toplevel)
            xdg_toplevel_destroy(toplevel);
        if (xsurface)
            xdg_surface_destroy(xsurface);
        if (surface)
            wl_surface_destroy(surface);
        if (seat)
            wl_seat_destroy(seat);
        if (wm)
            xdg_wm_base_destroy(wm);
        if (shm)
            wl_shm_destroy(shm);
        if (compositor)
            wl_compositor_destroy(compositor);
        if (registry)
            wl_registry_destroy(registry);
        if (display)
            wl_display_disconnect(display);
        xkb_state_unref(state);
        xkb_keymap_unref(keymap);
        xkb_context_unref(xkb);
    }

    // Reads and dispatches what arrives within `timeout`; false when the connection broke.
    bool pump(std::chrono::milliseconds timeout) {
        while (wl_display_prepare_read(display) != 0) {
            wl_display_dispatch_pending(display);
        }
        wl_display_flush(display);
        pollfd p{wl_display_get_fd(display), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) > 0) {
            if (wl_display_read_events(display) != 0) {
                return false;
            }
        } else {
            wl_display_cancel_read(display);
        }
        return wl_display_dispatch_pending(display) >= 0;
    }

    void add(Record r) {
        if (state != nullptr) {
            const auto active = [&](const char* mod) {
                return xkb_state_mod_name_is_active(state, mod, XKB_STATE_MODS_EFFECTIVE) > 0;
            };
            r.ctrl = active(XKB_MOD_NAME_CTRL);
            r.shift = active(XKB_MOD_NAME_SHIFT);
            r.alt = active(XKB_MOD_NAME_ALT);
            r.super = active(XKB_MOD_NAME_LOGO);
        }
        records.push_back(std::move(r));
    }

    void attachBuffer() {
        const int w = configuredWidth > 0 ? configuredWidth : 640;
        const int h = configuredHeight > 0 ? configuredHeight : 480;
        if (buffer != nullptr && w == width && h == height) {
            return;
        }
        width = w;
        height = h;
        const int stride = w * 4;
        const std::size_t size = static_cast<std::size_t>(stride) * h;
        const int fd = ::memfd_create("observer", MFD_CLOEXEC);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
            throw std::runtime_error("observer: no shared memory");
        }
        void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        std::memset(data, 0xff, size);
        ::munmap(data, size);
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(size));
        if (buffer != nullptr) {
            wl_buffer_destroy(buffer);
        }
        buffer = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_XRGB8888);
        wl_shm_pool_destroy(pool);
        ::close(fd);
        wl_surface_attach(surface, buffer, 0, 0);
        wl_surface_damage(surface, 0, 0, w, h);
    }

    // The selection's text, read as an application pastes it (empty when there is none).
    std::string readSelection() {
        if (selection == nullptr) {
            return {};
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return {};
        }
        wl_data_offer_receive(selection, "text/plain;charset=utf-8", fds[1]);
        ::close(fds[1]);
        wl_display_flush(display);
        std::string text;
        char buf[4096];
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            text.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fds[0]);
        return text;
    }

    static void offerMime(void*, wl_data_offer*, const char*) {}
    static void offerSourceActions(void*, wl_data_offer*, std::uint32_t) {}
    static void offerAction(void*, wl_data_offer*, std::uint32_t) {}
    static constexpr wl_data_offer_listener offerListener{offerMime, offerSourceActions,
                                                          offerAction};
    static void dataOffer(void*, wl_data_device*, wl_data_offer* offer) {
        wl_data_offer_add_listener(offer, &offerListener, nullptr);
    }
    static void dataEnter(void*, wl_data_device*, std::uint32_t, wl_surface*, wl_fixed_t,
                          wl_fixed_t, wl_data_offer* offer) {
        if (offer != nullptr) {
            wl_data_offer_destroy(offer);
        }
    }
    static void dataLeave(void*, wl_data_device*) {}
    static void dataMotion(void*, wl_data_device*, std::uint32_t, wl_fixed_t, wl_fixed_t) {}
    static void dataDrop(void*, wl_data_device*) {}
    static void dataSelection(void* data, wl_data_device*, wl_data_offer* offer) {
        auto* self = static_cast<Impl*>(data);
        if (self->selection != nullptr) {
            wl_data_offer_destroy(self->selection);
        }
        self->selection = offer;
    }
    static constexpr wl_data_device_listener dataDeviceListener{
        dataOffer, dataEnter, dataLeave, dataMotion, dataDrop, dataSelection};

    // registry
    static void global(void* data, wl_registry* reg, std::uint32_t name, const char* iface,
                       std::uint32_t version) {
        auto* self = static_cast<Impl*>(data);
        if (std::strcmp(iface, wl_compositor_interface.name) == 0) {
            self->compositor = static_cast<wl_compositor*>(
                wl_registry_bind(reg, name, &wl_compositor_interface, std::min(version, 4u)));
        } else if (std::strcmp(iface, wl_shm_interface.name) == 0) {
            self->shm = static_cast<wl_shm*>(wl_registry_bind(reg, name, &wl_shm_interface, 1));
        } else if (std::strcmp(iface, xdg_wm_base_interface.name) == 0) {
            self->wm =
                static_cast<xdg_wm_base*>(wl_registry_bind(reg, name, &xdg_wm_base_interface, 1));
            xdg_wm_base_add_listener(self->wm, &wmListener, self);
        } else if (std::strcmp(iface, wl_seat_interface.name) == 0 && self->seat == nullptr) {
            self->seat = static_cast<wl_seat*>(
                wl_registry_bind(reg, name, &wl_seat_interface,
                                 std::min(version, self->highResolutionWheel ? 8u : 7u)));
            wl_seat_add_listener(self->seat, &seatListener, self);
        } else if (std::strcmp(iface, wl_data_device_manager_interface.name) == 0) {
            self->dataManager = static_cast<wl_data_device_manager*>(
                wl_registry_bind(reg, name, &wl_data_device_manager_interface, 1));
        }
    }
    static void globalRemove(void*, wl_registry*, std::uint32_t) {}
    static constexpr wl_registry_listener registryListener{global, globalRemove};

    static void ping(void*, xdg_wm_base* wm, std::uint32_t serial) { xdg_wm_base_pong(wm, serial); }
    static constexpr xdg_wm_base_listener wmListener{ping};

    static void surfaceConfigure(void* data, xdg_surface* s, std::uint32_t serial) {
        auto* self = static_cast<Impl*>(data);
        xdg_surface_ack_configure(s, serial);
        self->configured = true;
        self->attachBuffer();
        wl_surface_commit(self->surface);
    }
    static constexpr xdg_surface_listener xdgSurfaceListener{surfaceConfigure};

    static void toplevelConfigure(void* data, xdg_toplevel*, std::int32_t w, std::int32_t h,
                                  wl_array*) {
        auto* self = static_cast<Impl*>(data);
        self->configuredWidth = w;
        self->configuredHeight = h;
    }
    static void toplevelClose(void*, xdg_toplevel*) {}
    static constexpr xdg_toplevel_listener toplevelListener{toplevelConfigure, toplevelClose};

    static void frameCallback(void* data, wl_callback* cb, std::uint32_t) {
        static_cast<Impl*>(data)->frameDone = true;
        wl_callback_destroy(cb);
    }
    static constexpr wl_callback_listener frameListener{frameCallback};

    // seat: bind the pointer and keyboard when they appear (virtual devices come and go)
    static void capabilities(void* data, wl_seat* seat, std::uint32_t caps) {
        auto* self = static_cast<Impl*>(data);
        if ((caps & WL_SEAT_CAPABILITY_POINTER) != 0 && self->pointer == nullptr) {
            self->pointer = wl_seat_get_pointer(seat);
            wl_pointer_add_listener(self->pointer, &pointerListener, self);
        }
        if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && self->keyboard == nullptr) {
            self->keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(self->keyboard, &keyboardListener, self);
        }
    }
    static void seatName(void*, wl_seat*, const char*) {}
    static constexpr wl_seat_listener seatListener{capabilities, seatName};

    // pointer
    static void pEnter(void* data, wl_pointer*, std::uint32_t, wl_surface*, wl_fixed_t x,
                       wl_fixed_t y) {
        auto* self = static_cast<Impl*>(data);
        self->pointerInside = true;
        self->x = wl_fixed_to_double(x);
        self->y = wl_fixed_to_double(y);
        self->add({.kind = Record::pointerEnter, .x = self->x, .y = self->y});
    }
    static void pLeave(void* data, wl_pointer*, std::uint32_t, wl_surface*) {
        static_cast<Impl*>(data)->pointerInside = false;
    }
    static void pMotion(void* data, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
        auto* self = static_cast<Impl*>(data);
        self->x = wl_fixed_to_double(x);
        self->y = wl_fixed_to_double(y);
        self->add({.kind = Record::motion, .x = self->x, .y = self->y});
    }
    static void pButton(void* data, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t b,
                        std::uint32_t st) {
        auto* self = static_cast<Impl*>(data);
        const bool down = st == WL_POINTER_BUTTON_STATE_PRESSED;
        if (down) {
            self->buttons.insert(b);
        } else {
            self->buttons.erase(b);
        }
        self->add({.kind = down ? Record::buttonPress : Record::buttonRelease,
                   .code = b,
                   .x = self->x,
                   .y = self->y});
    }
    static void pAxis(void* data, wl_pointer*, std::uint32_t, std::uint32_t axis, wl_fixed_t v) {
        static_cast<Impl*>(data)->add({.kind = Record::axis,
                                       .axisIndex = axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? 0 : 1,
                                       .value = wl_fixed_to_double(v)});
    }
    static void pFrame(void* data, wl_pointer*) {
        static_cast<Impl*>(data)->add({.kind = Record::frame});
    }
    static void pAxisSource(void* data, wl_pointer*, std::uint32_t source) {
        static_cast<Impl*>(data)->add({.kind = Record::axisSource, .source = source});
    }
    static void pAxisStop(void*, wl_pointer*, std::uint32_t, std::uint32_t) {}
    static void pAxisDiscrete(void* data, wl_pointer*, std::uint32_t axis, std::int32_t d) {
        static_cast<Impl*>(data)->add({.kind = Record::axisDiscrete,
                                       .axisIndex = axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? 0 : 1,
                                       .discrete = d});
    }
    static void pAxisValue120(void* data, wl_pointer*, std::uint32_t axis, std::int32_t v) {
        static_cast<Impl*>(data)->add({.kind = Record::axisValue120,
                                       .axisIndex = axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? 0 : 1,
                                       .discrete = v});
    }
    static constexpr wl_pointer_listener pointerListener{
        pEnter, pLeave,      pMotion,   pButton,       pAxis,
        pFrame, pAxisSource, pAxisStop, pAxisDiscrete, pAxisValue120};

    // keyboard
    static void kKeymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd,
                        std::uint32_t size) {
        auto* self = static_cast<Impl*>(data);
        if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
            void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
            if (map != MAP_FAILED) {
                xkb_keymap* km = xkb_keymap_new_from_buffer(
                    self->xkb, static_cast<const char*>(map),
                    ::strnlen(static_cast<const char*>(map), size), XKB_KEYMAP_FORMAT_TEXT_V1,
                    XKB_KEYMAP_COMPILE_NO_FLAGS);
                ::munmap(map, size);
                if (km != nullptr) {
                    xkb_state_unref(self->state);
                    xkb_keymap_unref(self->keymap);
                    self->keymap = km;
                    self->state = xkb_state_new(km);
                }
            }
        }
        ::close(fd);
    }
    static void kEnter(void* data, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {
        static_cast<Impl*>(data)->keyboardFocus = true;
    }
    static void kLeave(void* data, wl_keyboard*, std::uint32_t, wl_surface*) {
        static_cast<Impl*>(data)->keyboardFocus = false;
    }
    static void kKey(void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key,
                     std::uint32_t st) {
        auto* self = static_cast<Impl*>(data);
        const bool down = st == WL_KEYBOARD_KEY_STATE_PRESSED;
        Record r{.kind = down ? Record::keyPress : Record::keyRelease, .code = key};
        if (down) {
            self->keys.insert(key);
        } else {
            self->keys.erase(key);
        }
        if (self->state != nullptr) {
            const xkb_keysym_t sym = xkb_state_key_get_one_sym(self->state, key + 8);
            char name[64] = {};
            xkb_keysym_get_name(sym, name, sizeof name);
            r.keysym = name;
            if (down) {
                char utf8[64] = {};
                xkb_state_key_get_utf8(self->state, key + 8, utf8, sizeof utf8);
                r.text = utf8;
            }
        }
        const bool paste = down && r.keysym == "v" && self->state != nullptr &&
                           xkb_state_mod_name_is_active(self->state, XKB_MOD_NAME_CTRL,
                                                        XKB_STATE_MODS_EFFECTIVE) > 0;
        self->add(std::move(r));
        if (paste) {
            self->add({.kind = Record::paste, .text = self->readSelection()});
        }
    }
    static void kModifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed,
                           std::uint32_t latched, std::uint32_t locked, std::uint32_t group) {
        auto* self = static_cast<Impl*>(data);
        if (self->state != nullptr) {
            xkb_state_update_mask(self->state, depressed, latched, locked, 0, 0, group);
        }
        self->add({.kind = Record::modifiers});
    }
    static void kRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
    static constexpr wl_keyboard_listener keyboardListener{kKeymap, kEnter,     kLeave,
                                                           kKey,    kModifiers, kRepeat};
};

WaylandInputObserver::WaylandInputObserver(const std::string& display, bool highResolutionWheel)
    : impl_(std::make_unique<Impl>()) {
    auto& d = *impl_;
    d.highResolutionWheel = highResolutionWheel;
    d.display = wl_display_connect(display.c_str());
    if (d.display == nullptr) {
        throw std::runtime_error("observer: cannot connect to " + display);
    }
    d.registry = wl_display_get_registry(d.display);
    wl_registry_add_listener(d.registry, &Impl::registryListener, &d);
    wl_display_roundtrip(d.display);
    if (d.compositor == nullptr || d.shm == nullptr || d.wm == nullptr || d.seat == nullptr) {
        throw std::runtime_error("observer: the compositor lacks a global it needs");
    }
    if (d.dataManager != nullptr) {
        d.dataDevice = wl_data_device_manager_get_data_device(d.dataManager, d.seat);
        wl_data_device_add_listener(d.dataDevice, &Impl::dataDeviceListener, &d);
    }
    d.surface = wl_compositor_create_surface(d.compositor);
    d.xsurface = xdg_wm_base_get_xdg_surface(d.wm, d.surface);
    xdg_surface_add_listener(d.xsurface, &Impl::xdgSurfaceListener, &d);
    d.toplevel = xdg_surface_get_toplevel(d.xsurface);
    xdg_toplevel_add_listener(d.toplevel, &Impl::toplevelListener, &d);
    xdg_toplevel_set_title(d.toplevel, "quillon observer");
    xdg_toplevel_set_fullscreen(d.toplevel, nullptr);
    wl_surface_commit(d.surface);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!d.configured && std::chrono::steady_clock::now() < deadline) {
        if (!d.pump(50ms)) {
            throw std::runtime_error("observer: connection lost while mapping");
        }
    }
    wl_callback* cb = wl_surface_frame(d.surface);
    wl_callback_add_listener(cb, &Impl::frameListener, &d);
    wl_surface_commit(d.surface);
    while (!d.frameDone && std::chrono::steady_clock::now() < deadline) {
        if (!d.pump(50ms)) {
            throw std::runtime_error("observer: connection lost while mapping");
        }
    }
    if (!d.frameDone) {
        throw std::runtime_error("observer: the window was never shown");
    }
    // Fullscreen may come as a second configure with the output's size.
    settle(100ms);
}

WaylandInputObserver::~WaylandInputObserver() = default;

std::vector<WaylandInputObserver::Record>
WaylandInputObserver::waitFor(const std::function<bool(const std::vector<Record>&)>& done,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(impl_->records) && std::chrono::steady_clock::now() < deadline) {
        if (!impl_->pump(20ms)) {
            break;
        }
    }
    return impl_->records;
}

std::vector<WaylandInputObserver::Record>
WaylandInputObserver::settle(std::chrono::milliseconds quiet) {
    auto last = std::chrono::steady_clock::now();
    std::size_t seen = impl_->records.size();
    const auto deadline = last + 10s;
    while (std::chrono::steady_clock::now() - last < quiet &&
           std::chrono::steady_clock::now() < deadline) {
        if (!impl_->pump(10ms)) {
            break;
        }
        if (impl_->records.size() != seen) {
            seen = impl_->records.size();
            last = std::chrono::steady_clock::now();
        }
    }
    return impl_->records;
}

void WaylandInputObserver::clear() {
    impl_->records.clear();
}
double WaylandInputObserver::pointerX() const {
    return impl_->x;
}
double WaylandInputObserver::pointerY() const {
    return impl_->y;
}
bool WaylandInputObserver::pointerInside() const {
    return impl_->pointerInside;
}
bool WaylandInputObserver::keyboardFocus() const {
    return impl_->keyboardFocus;
}
const std::set<std::uint32_t>& WaylandInputObserver::buttonsDown() const {
    return impl_->buttons;
}
const std::set<std::uint32_t>& WaylandInputObserver::keysDown() const {
    return impl_->keys;
}
int WaylandInputObserver::width() const {
    return impl_->width;
}
int WaylandInputObserver::height() const {
    return impl_->height;
}

std::vector<WaylandInputObserver::Record> WaylandInputObserver::only(const std::vector<Record>& all,
                                                                     Record::Kind kind) {
    std::vector<Record> out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                 [&](const Record& r) { return r.kind == kind; });
    return out;
}

std::string WaylandInputObserver::text(const std::vector<Record>& all) {
    std::string out;
    for (const auto& r : all) {
        if (r.kind == Record::keyPress) {
            out += r.text;
        }
    }
    return out;
}

} // namespace quillon::testing
