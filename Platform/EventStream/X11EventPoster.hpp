#pragma once

#include "Platform/EventStream/EventPoster.hpp"
#include "Platform/EventStream/MacKeyTable.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace quillon::platform {

class X11DisplayGeometry;
class Defaults;

// The user defaults the X11 poster reads at each use.
struct X11InputSettings {
    CommandKeyRole command = CommandKeyRole::control; // "commandKey": "super" or else control
    double scrollPixelsPerClick = 10;                 // "scrollPixelsPerClick" (> 0)
};

// Reads X11InputSettings from user defaults (wrong types and out-of-range values read as the
// defaults above).
X11InputSettings readX11InputSettings(const Defaults& defaults);

// Posts the sink's events into an X server through XTest, turning each into what a Linux
// desktop user expects (README, "Input on Linux"):
//   - moves and drags: pointer motion to the root pixel of the global point (main display's
//     RandR origin + point * scale, kept on the main display); buttons 1 (left), 3 (right),
//     2 (middle); a multi-click is the repeated press/release pairs the sink posts;
//   - keys: macOS virtual key codes through MacKeyTable (X keycode = Linux code + 8); the
//     modifier keys are reference-counted per X keycode, so Command and Control both acting as
//     Control never release each other; a key code with no Linux key is dropped and logged once;
//   - keyboard events carrying a Unicode string: typed as text (see typeText in the source);
//   - scroll-wheel events: pixel deltas add up per axis into wheel clicks (buttons 4/5 and
//     6/7), the remainder kept; phases and momentum alike;
//   - zoom gestures: Control + wheel clicks, one per 0.1 of magnification;
//   - dock swipes: _NET_CURRENT_DESKTOP one to the right or left, once per swipe;
//   - F11 pressed with no modifier at all (what the sink's "show desktop" posts): toggles
//     _NET_SHOWING_DESKTOP, as plain F11 shows the desktop on the Mac;
//   - everything else (scroll companions, series begin/end, smart zoom, the gesture halves of
//     dock swipes) is ignored.
// Requests are buffered by Xlib and pushed by flush(): once per EventBatch, or once per post
// outside a batch. Thread-safe: one mutex guards the connection and all state.
class X11EventPoster : public EventPoster {
public:
    struct Options {
        std::string display; // empty: $DISPLAY
        // The main display's geometry; made for `display` when absent.
        std::shared_ptr<const X11DisplayGeometry> geometry;
        // The settings, asked at each use; readX11InputSettings(Defaults::standard()) when
        // absent.
        std::function<X11InputSettings()> settings;
        // Spare keycodes used for characters the keymap lacks, and how long a slot must rest
        // after its last key event before it is remapped to another character.
        int textPoolSize = 16;
        std::chrono::milliseconds textSlotRest{50};
        // How often a poster without a connection tries to open one again.
        std::chrono::milliseconds reconnectInterval{2000};
    };

    X11EventPoster();
    explicit X11EventPoster(Options options);
    ~X11EventPoster() override;
    X11EventPoster(const X11EventPoster&) = delete;
    X11EventPoster& operator=(const X11EventPoster&) = delete;

    // "May this process post input": the display is open and has XTest.
    bool permitted() const;
    // Why not, as text for the console; empty when permitted.
    std::string reason() const;
    // permitted(), after trying to open a connection when there is none (at most once per
    // reconnect interval). For a status poll: while connected it costs no X traffic at all,
    // where InputPermission::check() opens a connection of its own every time.
    bool checkPermission();

    bool canCreate(const Event& event) override;
    void post(const Event& event) override;
    void flush() override;
    // Flushes and waits until the server has handled everything posted so far (a round
    // trip): for tests, diagnostics and shutdown, never the input path.
    void sync();

    // Counts of what reached the server, for tests and diagnostics.
    struct Stats {
        std::uint64_t motions = 0;
        std::uint64_t buttons = 0; // press + release
        std::uint64_t keys = 0;    // press + release
        std::uint64_t wheelClicks = 0;
        std::uint64_t remaps = 0; // spare keycodes remapped for text
        std::uint64_t flushes = 0;
        std::uint64_t dropped = 0; // events with no Linux counterpart
    };
    Stats stats() const;
    // Pixels not yet turned into wheel clicks (vertical, horizontal), sign as posted.
    std::pair<double, double> scrollRemainder() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::platform
