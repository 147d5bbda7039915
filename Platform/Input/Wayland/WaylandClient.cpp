#include "Platform/Input/Wayland/WaylandClient.hpp"

#include "Platform/Input/Wayland/XkbLayoutIndex.hpp"

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace quillon::platform::wayland {

namespace {

constexpr int kRequestsBetweenFlushes = 16;

struct KeymapReader {
    static void keymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd,
                       std::uint32_t size) {
        *static_cast<std::string*>(data) = readSeatKeymap(format, fd, size);
    }
    static void enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
    static void leave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
    static void key(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                    std::uint32_t) {}
    static void modifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                          std::uint32_t, std::uint32_t) {}
    static void repeatInfo(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
    static constexpr wl_keyboard_listener listener{keymap, enter,     leave,
                                                   key,    modifiers, repeatInfo};
};

} // namespace

Client::Client(Options options) : options_(std::move(options)) {}

Client::~Client() {
    disconnect();
}

bool Client::connect(int roundtrips) {
    disconnect();
    display_ = wl_display_connect(options_.display.empty() ? nullptr : options_.display.c_str());
    if (display_ == nullptr) {
        return false;
    }
    static constexpr wl_registry_listener registryListener{onGlobal, onGlobalRemove};
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registryListener, this);
    for (int i = 0; i < roundtrips; ++i) {
        wl_display_roundtrip(display_);
    }
    ++connections_;
    return true;
}

void Client::disconnect() {
    if (seat_ != nullptr) {
        if (wl_seat_get_version(seat_) >= WL_SEAT_RELEASE_SINCE_VERSION) {
            wl_seat_release(seat_);
        } else {
            wl_seat_destroy(seat_);
        }
    }
    if (registry_ != nullptr) {
        wl_registry_destroy(registry_);
    }
    if (display_ != nullptr) {
        wl_display_flush(display_);
        wl_display_disconnect(display_);
    }
    seat_ = nullptr;
    registry_ = nullptr;
    display_ = nullptr;
    seatCapabilities_ = 0;
    sinceFlush_ = 0;
    stalled_ = false;
}

bool Client::connected() const {
    return display_ != nullptr && wl_display_get_error(display_) == 0;
}

std::uint32_t Client::error() const {
    return display_ != nullptr ? static_cast<std::uint32_t>(wl_display_get_error(display_)) : 0;
}

bool Client::seatHasKeyboard() const noexcept {
    return (seatCapabilities_ & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
}

void* Client::bind(std::uint32_t name, const wl_interface* interface, std::uint32_t version) {
    return wl_registry_bind(registry_, name, interface, version);
}

std::string Client::seatKeymap() {
    keymap_.clear();
    if (seat_ == nullptr || !seatHasKeyboard()) {
        return {};
    }
    wl_keyboard* kb = wl_seat_get_keyboard(seat_);
    wl_keyboard_add_listener(kb, &KeymapReader::listener, &keymap_);
    wl_display_roundtrip(display_);
    if (wl_keyboard_get_version(kb) >= WL_KEYBOARD_RELEASE_SINCE_VERSION) {
        wl_keyboard_release(kb);
    } else {
        wl_keyboard_destroy(kb);
    }
    return keymap_;
}

bool Client::room(bool force) {
    if (display_ == nullptr) {
        return false;
    }
    if (!force && !stalled_ && ++sinceFlush_ < kRequestsBetweenFlushes) {
        return true;
    }
    sinceFlush_ = 0;
    for (int attempt = 0; attempt < (stalled_ ? 1 : 20); ++attempt) {
        if (wl_display_flush(display_) >= 0) {
            stalled_ = false;
            return true;
        }
        if (errno != EAGAIN) {
            return false;
        }
        pollfd p{wl_display_get_fd(display_), POLLOUT, 0};
        ::poll(&p, 1, stalled_ ? 0 : 10);
    }
    stalled_ = true;
    return false;
}

bool Client::pump() {
    if (display_ == nullptr) {
        return false;
    }
    room(true);
    // Read what the compositor sent (seat and output events) so its buffer never fills.
    if (wl_display_prepare_read(display_) == 0) {
        pollfd p{wl_display_get_fd(display_), POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) {
            wl_display_read_events(display_);
        } else {
            wl_display_cancel_read(display_);
        }
    }
    wl_display_dispatch_pending(display_);
    return connected();
}

void Client::roundtrip() {
    if (display_ != nullptr) {
        wl_display_roundtrip(display_);
    }
}

std::string Client::where() const {
    if (!options_.display.empty()) {
        return options_.display;
    }
    const char* env = std::getenv("WAYLAND_DISPLAY");
    return env != nullptr ? env : "wayland-0";
}

void Client::onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                      std::uint32_t version) {
    auto* self = static_cast<Client*>(data);
    if (self->options_.seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
        if (self->seat_ == nullptr) {
            static constexpr wl_seat_listener seatListener{onCapabilities, onSeatName};
            self->seat_ = static_cast<wl_seat*>(
                wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 5u)));
            wl_seat_add_listener(self->seat_, &seatListener, self);
        }
        return;
    }
    if (self->options_.global) {
        self->options_.global(name, interface, version);
    }
}

void Client::onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    auto* self = static_cast<Client*>(data);
    if (self->options_.globalRemove) {
        self->options_.globalRemove(name);
    }
}

void Client::onCapabilities(void* data, wl_seat*, std::uint32_t caps) {
    static_cast<Client*>(data)->seatCapabilities_ = caps;
}

void Client::onSeatName(void*, wl_seat*, const char*) {}

} // namespace quillon::platform::wayland
