#pragma once

#include "Platform/Input/InputBackend.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace quillon::platform {

class X11DisplayGeometry;

// The input verbs on an X server through XTest (README, "Input on Linux"):
//   - pointer: motion to the root pixel of the global point (main display's RandR origin +
//     point * scale, kept on the main display); buttons 1 (left), 3 (right), 2 (middle);
//   - keys: X keycode = Linux code + 8;
//   - text: the keysym of each code point, typed on the keycode that has it in the keymap
//     (with Shift for the second level), else on a spare keycode remapped from a small rotating
//     pool; Caps Lock switched off around the text;
//   - wheel: clicks of buttons 4/5 (vertical) and 6/7 (horizontal), one per
//     kWheelUnitsPerClick units, the remainder kept per axis
//     (a turn of direction drops the remainder);
//   - keysyms: where the keymap has them (first or Shift level);
//   - desktop actions: EWMH _NET_CURRENT_DESKTOP ±1 and _NET_SHOWING_DESKTOP through the
//     window manager.
// Requests are buffered by Xlib and pushed by flush(). Not thread-safe: its owner (the
// injector) serialises every call, the statistics included.
class X11InputBackend : public InputBackend {
public:
    struct Options {
        std::string display; // empty: $DISPLAY
        // The main display's geometry; made for `display` when absent.
        std::shared_ptr<const X11DisplayGeometry> geometry;
        // Spare keycodes used for characters the keymap lacks, and how long a slot must rest
        // after its last key event before it is remapped to another character.
        int textPoolSize = 16;
        std::chrono::milliseconds textSlotRest{50};
        // How often a backend without a connection tries to open one again.
        std::chrono::milliseconds reconnectInterval{2000};
    };

    explicit X11InputBackend(Options options);
    ~X11InputBackend() override;
    X11InputBackend(const X11InputBackend&) = delete;
    X11InputBackend& operator=(const X11InputBackend&) = delete;

    std::string_view name() const override { return "x11"; }
    InputPermission permission() const override;
    std::uint64_t connections() const override;

    void movePointerTo(Point to) override;
    void movePointerBy(double dx, double dy) override;
    void button(int button, bool down) override;
    void key(int evdevCode, bool down) override;
    void typeText(std::u32string_view text) override;
    void wheel(int vertical, int horizontal) override;
    std::optional<KeyPlace> keyForKeysym(std::uint32_t keysym) override;
    bool desktopAction(DesktopAction action) override;
    void flush() override;
    void sync() override;

    // Counts of what reached the server, for tests and diagnostics.
    struct Stats {
        std::uint64_t motions = 0;
        std::uint64_t buttons = 0; // press + release
        std::uint64_t keys = 0;    // press + release
        std::uint64_t wheelClicks = 0;
        std::uint64_t remaps = 0; // spare keycodes remapped for text
        std::uint64_t flushes = 0;
        std::uint64_t dropped = 0; // verbs without a connection, characters without a key
    };
    Stats stats() const;
    // Wheel units not yet turned into clicks (vertical, horizontal), signs as given.
    std::pair<int, int> wheelRemainder() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
