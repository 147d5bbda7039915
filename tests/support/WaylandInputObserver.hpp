#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace quillon::testing {

// A plain Wayland client of the tests: one fullscreen xdg_toplevel over the output (so its
// surface coordinates are the output's), and a record of every wl_pointer and wl_keyboard
// event it receives. Key events are decoded with the keymap the compositor sent at the time
// (keymaps change while text is typed), so `text` is what an application would insert.
// Control+V reads the selection (text/plain;charset=utf-8) the way an editor pastes and records
// it. Everything runs on the caller's thread: events are read only inside waitFor()/settle().
class WaylandInputObserver {
public:
    struct Record {
        enum Kind {
            pointerEnter,
            motion,
            buttonPress,
            buttonRelease,
            axis,         // value: surface units; axis: 0 vertical, 1 horizontal
            axisDiscrete, // discrete: wheel steps
            axisSource,   // source: wl_pointer.axis_source
            frame,
            keyPress,
            keyRelease,
            modifiers,
            axisValue120, // discrete: high-resolution wheel units (120 a click), wl_pointer v8
            paste,        // text: the clipboard text read on Control+V, as an editor pastes
        } kind;
        std::uint32_t code = 0; // button or evdev key code
        double x = 0, y = 0;    // pointer position (surface coordinates) for motion/buttons
        int axisIndex = 0;
        double value = 0;
        int discrete = 0;
        std::uint32_t source = 0;
        std::string keysym; // keysym name of a key event ("c", "Control_L", "EuroSign")
        std::string text;   // UTF-8 the key press produces
        bool ctrl = false, shift = false, alt = false, super = false; // effective at the event
    };

    // `display`: socket name or absolute path. Waits until the window is mapped and shown.
    // `highResolutionWheel`: binds the seat at version 8 where the compositor has it, so the
    // wheel comes as axis_value120 (high-resolution units) instead of axis_discrete steps.
    explicit WaylandInputObserver(const std::string& display, bool highResolutionWheel = false);
    ~WaylandInputObserver();
    WaylandInputObserver(const WaylandInputObserver&) = delete;
    WaylandInputObserver& operator=(const WaylandInputObserver&) = delete;

    // Collects events until `done` holds for everything collected since the last clear(), or
    // the timeout passes; returns what was collected.
    std::vector<Record> waitFor(const std::function<bool(const std::vector<Record>&)>& done,
                                std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Collects until nothing new arrived for `quiet`.
    std::vector<Record> settle(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));
    void clear();

    // State as of the last event read.
    double pointerX() const;
    double pointerY() const;
    bool pointerInside() const;
    bool keyboardFocus() const;
    const std::set<std::uint32_t>& buttonsDown() const;
    const std::set<std::uint32_t>& keysDown() const;
    int width() const;
    int height() const;

    // Helpers over records.
    static std::vector<Record> only(const std::vector<Record>& all, Record::Kind kind);
    static std::string text(const std::vector<Record>& all); // key presses' text, joined

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::testing
