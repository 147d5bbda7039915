#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_interface;

namespace quillon::platform::wayland {

// One client connection to a Wayland compositor, as every Wayland user of the host holds it
// (the wlroots and KDE input backends, the output geometry reader): connect, the registry
// (wl_seat bound here, every other global offered to the owner), the seat's capabilities and
// keymap, writing with back-pressure, reading without blocking, and reconnecting at most every
// so often. Not thread-safe: one owner thread (or the owner's lock) uses it.
class Client {
public:
    struct Options {
        std::string display; // socket name or absolute path; empty: $WAYLAND_DISPLAY
        // A global other than wl_seat was announced (during connect() or later): the owner
        // binds it with bind() if it wants it.
        std::function<void(std::uint32_t name, std::string_view interface, std::uint32_t version)>
            global;
        std::function<void(std::uint32_t name)> globalRemove;
        bool seat = true; // bind the first wl_seat and follow its capabilities
    };

    explicit Client(Options options);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects and makes `roundtrips` round trips (the globals, then their first events).
    // False when there is no compositor to connect to; then nothing is held.
    bool connect(int roundtrips = 2);
    // Lets the connection go. The owner destroys its own proxies first.
    void disconnect();
    // Connected and without a protocol error.
    bool connected() const;
    // The protocol error that ended the connection (0: none, or not connected).
    std::uint32_t error() const;

    wl_display* display() const noexcept { return display_; }
    wl_seat* seat() const noexcept { return seat_; }
    bool seatHasKeyboard() const noexcept;
    void* bind(std::uint32_t name, const wl_interface* interface, std::uint32_t version);
    // The keymap the compositor gives the seat's keyboard (a round trip); empty when the seat
    // has no keyboard (a virtual one of ours may be the first).
    std::string seatKeymap();

    // libwayland gives a connection up when its outgoing buffer (4 KiB) is full and cannot be
    // written out at once, so requests never pile up there: every few requests (and always
    // when `force`) what is queued goes to the socket. When the socket itself is full (the
    // compositor is not reading) it waits briefly once; while it stays full, room() says no and
    // the owner drops (and counts) what it would send, instead of losing the connection.
    bool room(bool force = false);
    // Pushes what is queued and reads and dispatches what the compositor sent, never blocking.
    // False when the connection broke.
    bool pump();
    void roundtrip();

    // Where this client connects, for messages ("wayland-1", a path).
    std::string where() const;
    // Connections made so far.
    std::uint64_t connections() const noexcept { return connections_; }

private:
    static void onGlobal(void* data, wl_registry* registry, std::uint32_t name,
                         const char* interface, std::uint32_t version);
    static void onGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);
    static void onCapabilities(void* data, wl_seat* seat, std::uint32_t caps);
    static void onSeatName(void* data, wl_seat* seat, const char* name);

    Options options_;
    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    std::uint32_t seatCapabilities_ = 0;
    std::string keymap_; // filled by the seat keyboard's keymap event
    int sinceFlush_ = 0;
    bool stalled_ = false;
    std::uint64_t connections_ = 0;
};

// When to try a connection again: at once the first time, then at most every `interval`.
class Reconnect {
public:
    explicit Reconnect(std::chrono::milliseconds interval) : interval_(interval) {}
    bool due(std::chrono::steady_clock::time_point now) {
        if (tried_ && now - last_ < interval_) {
            return false;
        }
        tried_ = true;
        last_ = now;
        return true;
    }

private:
    std::chrono::milliseconds interval_;
    std::chrono::steady_clock::time_point last_{};
    bool tried_ = false;
};

} // namespace quillon::platform::wayland
