#pragma once

#include <string>

namespace quillon::platform {

// Whether, and if not why, this process can put input into the current session. Every
// InputBackend answers it for its display server.
struct InputPermission {
    bool permitted = false;
    // Why not, in words a user can act on ("no DISPLAY is set", "cannot connect to X display
    // :3", "the X server at :3 has no XTest extension"), in the run's language; empty when
    // permitted.
    std::string reason;

    // The X11 answer, asked afresh on every call (opens and closes a connection: the display
    // opens and offers XTest): for the console, not the input path. `display` empty: $DISPLAY.
    static InputPermission check(const std::string& display = {});
};

// How far a connection to the X server gets: the permission guide's X11 cases.
enum class X11Access { noDisplay, unreachable, noXTest, usable };
// Asked afresh (a connection opened and closed). `display` empty: $DISPLAY.
X11Access probeX11(const std::string& display = {});

using InputPermissionStatus = InputPermission;

} // namespace quillon::platform
