#pragma once

#include <string>

namespace quillon::platform {
class Defaults;
}

namespace quillon {

// The host without a graphical shell (`quillon --headless`): builds the collaborators over the
// user's `defaults`, writes the launch line, starts telemetry and the coordinator, then runs the
// terminal console on stdin/stdout until `quit`, SIGINT or SIGTERM. Returns the process's exit
// status.
int runHeadlessHost(platform::Defaults& defaults);

// "=== 启动，辅助功能授权 = true|false，路径 = <path>"
std::string launchLogLine(bool permitted, const std::string& executablePath);

} // namespace quillon
