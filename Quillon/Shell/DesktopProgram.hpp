#pragma once

// The desktop program's entry, without Qt in the header: main() stays free of Qt.
namespace quillon::platform {
class Defaults;
}

namespace quillon::shell {

// Runs `quillon` on a desktop: the tray icon, the console and permission windows, the control
// interface on the session bus, one instance per user session, over the user's `defaults`.
// Returns the exit status.
int runDesktop(int argc, char** argv, platform::Defaults& defaults);

// True when a graphical display is set (DISPLAY or WAYLAND_DISPLAY).
bool hasGraphicalDisplay();

} // namespace quillon::shell
