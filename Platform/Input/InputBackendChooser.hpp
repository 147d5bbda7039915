#pragma once

#include <set>
#include <string>
#include <string_view>

namespace quillon::platform {

enum class InputBackendKind { x11, wlroots, gnome, kde, uinput };

std::string_view toString(InputBackendKind kind);

// The session's variables, as the process found them.
struct SessionEnvironment {
    std::string sessionType;    // XDG_SESSION_TYPE
    std::string waylandDisplay; // WAYLAND_DISPLAY
    std::string x11Display;     // DISPLAY
    std::string currentDesktop; // XDG_CURRENT_DESKTOP: for messages only, never for the choice

    static SessionEnvironment current();
    bool wayland() const { return sessionType == "wayland" || !waylandDisplay.empty(); }
};

// What the session was found to offer: asked of the compositor and the session bus, never
// guessed from names.
struct SessionOffers {
    SessionEnvironment env;
    bool compositorAnswered = false;     // the Wayland display accepted a connection
    bool wlrootsVirtualPointer = false;  // zwlr_virtual_pointer_manager_v1
    bool wlrootsVirtualKeyboard = false; // zwp_virtual_keyboard_manager_v1
    bool kdeFakeInput = false;           // org_kde_kwin_fake_input
    bool mutterRemoteDesktop = false;    // org.gnome.Mutter.RemoteDesktop on the session bus
    bool uinputWritable = false;         // /dev/uinput can make devices (the kernel's input)
    std::string uinputProblem;           // why not, when it was asked
};

struct InputBackendChoice {
    InputBackendKind kind = InputBackendKind::x11;
    // Non-empty when the chosen backend cannot reach the session's own windows: the exact
    // text the console and the permission window show, instead of a green state that does
    // nothing.
    std::string refusal;
    // Something the user should know that does not stop input (an unknown setting value).
    std::string note;
    bool operator==(const InputBackendChoice&) const = default;
};

// The backend for a session. `setting` is the inputBackend setting: "auto" (or empty) probes,
// "x11", "wlroots", "gnome", "kde" and "uinput" force one. In a Wayland session: both wlroots
// globals -> wlroots; else GNOME's remote desktop on the bus -> gnome; else KDE's fake input ->
// kde; else the kernel's uinput when /dev/uinput is writable; else X11, which reaches XWayland
// windows only (a refusal says so, and why uinput could not be used). Without any display
// server (a text console) uinput when writable, else X11 (whose permission says there is no
// display). `available` lists the backends this build has; a choice outside it falls back to
// X11 with a refusal that says why.
InputBackendChoice chooseInputBackend(std::string_view setting, const SessionOffers& offers,
                                      const std::set<InputBackendKind>& available);

// Asks the session what it offers: connects to the Wayland display (when the session is one)
// and lists its globals, and asks the session bus whether org.gnome.Mutter.RemoteDesktop has
// an owner. A few round trips: at start and when the console asks again, never per event.
SessionOffers probeSession(const SessionEnvironment& env = SessionEnvironment::current());

} // namespace quillon::platform
