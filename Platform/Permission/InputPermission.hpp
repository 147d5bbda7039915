#pragma once

#include <string>

namespace quillon::platform {

// Whether this process may post input: on Linux, whether the X display opens and offers the
// XTest extension (what the Mac asks of its accessibility permission).
struct InputPermissionStatus {
    bool permitted = false;
    // Why not, as text for the console ("no DISPLAY is set", "cannot connect to X display :3",
    // "the X server at :3 has no XTest extension"); empty when permitted.
    std::string reason;
};

namespace InputPermission {
// Asks afresh on every call (opens and closes a connection): for the console, not the input
// path. `display` empty: $DISPLAY.
InputPermissionStatus check(const std::string& display = {});
} // namespace InputPermission

} // namespace quillon::platform
