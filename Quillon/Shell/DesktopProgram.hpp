#pragma once

// The desktop program's entry, without Qt in the header: main() stays free of Qt.
#include <optional>
#include <string>

namespace quillon::platform {
class Defaults;
}

namespace quillon::shell {

// Runs `quillon` on a desktop: the tray icon, the console and permission windows, the control
// interface on the session bus, one instance per user session, over the user's `defaults`, on
// Qt's `platform` plugin (see displayProblem()). Returns the exit status.
int runDesktop(int argc, char** argv, const std::string& platform, platform::Defaults& defaults);

// Why the desktop program cannot start here (no display, one that does not answer, Qt's
// plugin for it missing), in one line of the run's language; nothing when it can, and then
// `platform` names the plugin Qt is to use (given to Qt as -platform, so that programs the
// host starts do not inherit it).
std::optional<std::string> displayProblem(std::string& platform);

} // namespace quillon::shell
