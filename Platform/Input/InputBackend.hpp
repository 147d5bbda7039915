#pragma once

#include "Platform/Display/Geometry.hpp"
#include "Platform/Permission/InputPermission.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Where a keysym sits on the keyboard layout a backend types with: its Linux key code and
// whether Shift reaches it.
struct KeyPlace {
    int code = 0;
    bool shift = false;
    bool operator==(const KeyPlace&) const = default;
};

// Desktop actions a display server may carry by its own means.
enum class DesktopAction : std::uint8_t { workspaceLeft, workspaceRight, toggleShowDesktop };

// The seam every display server's input goes through: the Linux verbs synthesised input comes
// down to. The injector (Quillon/Input) turns each control message into these calls; each
// display server is one implementation in a file of its own (X11 through XTest, wlroots, KDE
// and GNOME through their compositors' interfaces, a recording backend for tests), so a new
// backend is one new file and one line in the factory.
//
// Backends are stateless verb emitters plus their connection: they keep no record of what is
// held. The injector counts every press, so a backend sees each key and button go down once
// and up once, and the injector releases what it holds on close, lock, exit and when
// connections() says the display server was replaced. Compound actions (zoom as Control +
// wheel, the overview's key combination, desktop shortcuts) are composed by the injector from
// key and wheel verbs, once for every backend.
//
// Threading: the injector calls with its own lock held, so verbs never overlap and a backend
// needs no lock for them; a backend with threads of its own (a bus dispatcher) guards only
// what those threads share. permission() and connections() may be asked from any thread.
//
// Coordinates: points are global logical points of the desktop the tablet is told about
// (DisplayGeometry): the backend maps them into its own space (X root pixels, a Wayland
// output's extent) and keeps the pointer inside the reachable area.
//
// Failure: no verb reports a status. A backend that has lost its display server drops what it
// is given (counting it) and tries again to connect at most every few seconds; permission()
// says why meanwhile.
//
// Changed from the earlier seam: releaseAll() and zoom() are gone (the injector releases and
// composes them), openOverview() became keyForKeysym() (the injector presses the combination),
// switchDesktop()/toggleShowDesktop() became desktopAction() with desktopShortcut() as the
// fallback, and connections() was added.
class InputBackend {
public:
    virtual ~InputBackend() = default;

    // A short name for logs and the console ("x11", "wlroots", "kde", "gnome", "recording").
    virtual std::string_view name() const = 0;
    virtual InputPermission permission() const = 0;
    // How many connections to the display server this backend has opened so far. When it
    // changes, the keys and buttons pressed before went with the lost connection.
    virtual std::uint64_t connections() const = 0;

    // Pointer to a global point; by a delta in points (a backend without absolute motion may
    // implement movePointerTo by deltas from the last point it moved to, and the other way).
    virtual void movePointerTo(Point to) = 0;
    virtual void movePointerBy(double dx, double dy) = 0;
    // `button` is a PointerButton code; presses and releases arrive balanced per button.
    virtual void button(int button, bool down) = 0;

    // A key by its Linux input event code (KEY_*), balanced per code; modifier keys
    // (KEY_LEFTCTRL, ...) come this way too, and a backend whose display server derives no
    // modifier state from keys keeps that state from these calls.
    virtual void key(int evdevCode, bool down) = 0;

    // Text as Unicode code points, typed into the focused window as those exact characters
    // whatever the keyboard layout. The caller has released the modifier keys it holds for the
    // text, turned newline, carriage return and tab into keys, and dropped other control
    // characters, unpaired surrogates and non-characters. A backend switches off what the
    // display server keeps of its own (Caps Lock) around the text.
    virtual void typeText(std::u32string_view text) = 0;

    // The wheel in high-resolution units (kWheelUnitsPerClick per click), signs as evdev's:
    // vertical > 0 turns the wheel away from the user (content moves down: X button 4),
    // horizontal > 0 turns it right (X button 7). A backend without high-resolution scrolling
    // keeps the remainder below one click for the next call (and drops it when the direction
    // turns).
    virtual void wheel(int vertical, int horizontal) = 0;

    // Where a keysym is on the layout this backend types with (for key combinations the user
    // names, like the overview's); nothing when the layout lacks it.
    virtual std::optional<KeyPlace> keyForKeysym(std::uint32_t keysym) = 0;

    // Carries a desktop action by the display server's own means (EWMH, Sway IPC, KWin's
    // D-Bus interface). False when it has none: the caller then presses desktopShortcut().
    virtual bool desktopAction(DesktopAction action) = 0;
    // The key combination the desktop binds to an action (Linux key codes in pressing order);
    // empty when there is none.
    virtual std::vector<int> desktopShortcut(DesktopAction action) const { return {}; }

    // Pushes what was buffered to the display server: called once per burst of input (one
    // socket read), not per verb.
    virtual void flush() = 0;
    // Flushes and waits until the display server has handled everything sent so far: for
    // tests, diagnostics and shutdown, never the input path.
    virtual void sync() { flush(); }
};

} // namespace quillon::platform
