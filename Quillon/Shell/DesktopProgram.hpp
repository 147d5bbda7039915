#pragma once

// The desktop program's entry, without Qt in the header: main() stays free of Qt.
namespace quillon::shell {

// Runs `quillon` on a desktop: the tray icon, the console and permission windows, the control
// interface on the session bus, one instance per user session. Returns the exit status.
int runDesktop(int argc, char** argv);

// True when a graphical display is set (DISPLAY or WAYLAND_DISPLAY).
bool hasGraphicalDisplay();

} // namespace quillon::shell
