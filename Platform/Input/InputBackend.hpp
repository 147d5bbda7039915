#pragma once

#include "Platform/Display/Geometry.hpp"
#include "Platform/Permission/InputPermission.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::platform {

// Pointer buttons by their Linux input event codes (<linux/input-event-codes.h>), the numbers
// Wayland carries as well; the X11 backend maps them to X buttons 1, 3 and 2.
namespace PointerButton {
inline constexpr int left = 0x110;   // BTN_LEFT (272)
inline constexpr int right = 0x111;  // BTN_RIGHT (273)
inline constexpr int middle = 0x112; // BTN_MIDDLE (274)
} // namespace PointerButton

// One wheel click in high-resolution wheel units, as Linux (REL_WHEEL_HI_RES) and Wayland
// (axis_value120) count them.
inline constexpr int kWheelUnitsPerClick = 120;

// The Linux verbs synthesised input comes down to. The event translator turns the event
// model into these calls once; each display server is one implementation (X11 through XTest,
// the Wayland compositors through their own interfaces, a recording backend for tests).
//
// Threading: calls are serialised by the caller (the translator calls with its own lock held,
// from the injector's thread or the momentum queue), so a backend needs no lock of its own for
// them; a backend with threads of its own (a compositor connection's dispatcher) guards only
// what those threads share.
//
// Coordinates: points are global logical points of the desktop the tablet is told about
// (DisplayGeometry): the backend maps them into its own space (X root pixels, a Wayland
// output's extent) and keeps the pointer inside the reachable area.
//
// Failure: no verb reports a status. A backend that has lost its display server drops what it
// is given (counting it) and tries again to connect at most every few seconds; permission()
// says why meanwhile.
class InputBackend {
public:
    virtual ~InputBackend() = default;

    // A short name for logs and the console ("x11", "wlroots", "kde", "gnome", "recording").
    virtual std::string_view name() const = 0;
    virtual InputPermission permission() const = 0;

    // Pointer to a global point; by a delta in points (a backend without absolute motion may
    // implement movePointerTo by deltas from the last point it moved to, and the other way).
    virtual void movePointerTo(Point to) = 0;
    virtual void movePointerBy(double dx, double dy) = 0;
    // `button` is a PointerButton code. Presses and releases arrive balanced per button,
    // except that releaseAll() may end a press.
    virtual void button(int button, bool down) = 0;

    // A key by its Linux input event code (KEY_*). The caller counts presses of one code, so a
    // backend sees each code go down once and up once; modifier keys (KEY_LEFTCTRL, ...) come
    // this way too, and a backend whose compositor tracks no modifier state of its own keeps
    // that state from these calls.
    virtual void key(int evdevCode, bool down) = 0;

    // Text as Unicode code points, typed into the focused window as those exact characters
    // whatever the keyboard layout, without the modifiers the caller may be holding. The
    // caller has already turned newline, carriage return and tab into keys and dropped other
    // control characters, unpaired surrogates and non-characters.
    virtual void typeText(std::u32string_view text) = 0;

    // The wheel in high-resolution units (kWheelUnitsPerClick per click), signs as evdev's:
    // vertical > 0 turns the wheel away from the user (content moves down: X button 4),
    // horizontal > 0 turns it right (X button 7). A backend without high-resolution scrolling
    // keeps the remainder below one click for the next call.
    virtual void wheel(int vertical, int horizontal) = 0;
    // Zoom by whole steps: > 0 zooms in, < 0 out (X11: Control + wheel clicks).
    virtual void zoom(int steps) = 0;

    // The workspace to the right (+1) or left (-1), no wrap-around.
    virtual void switchDesktop(int delta) = 0;
    // Shows the desktop, or brings the windows back when it is shown.
    virtual void toggleShowDesktop() = 0;
    // The desktop's overview of windows and workspaces.
    virtual void openOverview() = 0;

    // Releases every button and key pressed through this backend and not yet released
    // (disconnection, screen lock, exit, a lost display server).
    virtual void releaseAll() = 0;
    // Pushes what was buffered to the display server: called once per burst of input (one
    // socket read), not per verb.
    virtual void flush() = 0;
    // Flushes and waits until the display server has handled everything sent so far: for
    // tests, diagnostics and shutdown, never the input path.
    virtual void sync() { flush(); }
};

} // namespace quillon::platform
