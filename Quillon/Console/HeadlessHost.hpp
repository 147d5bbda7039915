#pragma once

#include <memory>
#include <string>

namespace quillon {

class HostCoordinator;

// The host's collaborators, built and started the same way for the terminal and the desktop.
struct HostAssembly {
    std::shared_ptr<HostCoordinator> coordinator;
    std::string serviceName; // the name both DNS-SD services are published under
};

// Builds the collaborators in the order the coordinator needs them (in passive mode an
// in-memory store and no start), writes the launch line to the diagnostics log and starts
// telemetry. Main queue, which must be set.
HostAssembly launchHost();
// The will-terminate sequence: the coordinator's stop, telemetry's last report (waited for
// briefly).
void shutdownHost(HostAssembly& host);

// The host without a graphical shell (`quillon --headless`): builds the collaborators, writes
// the launch line, starts telemetry and the coordinator, then runs the terminal console on
// stdin/stdout until `quit`, SIGINT or SIGTERM. Returns the process's exit status.
int runHeadlessHost();

// "=== 启动，辅助功能授权 = true|false，路径 = <path>"
std::string launchLogLine(bool permitted, const std::string& executablePath);

} // namespace quillon
