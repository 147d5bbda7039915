#pragma once

#include "Platform/Input/InputBackendChooser.hpp"
#include "Platform/Permission/InputPermission.hpp"
#include "Quillon/Host/PermissionChecker.hpp"

#include <functional>
#include <memory>
#include <string>

namespace quillon::platform {
class Defaults;
class MainQueue;
class SerialQueue;
} // namespace quillon::platform

namespace quillon {

class HostCoordinator;
class HostNotifications;
class Telemetry;

// The host's collaborators, built and started the same way for the terminal and the desktop.
struct HostAssembly {
    // Drives scroll momentum and the input probes; declared first so that it outlives
    // everything that schedules on it.
    std::shared_ptr<platform::SerialQueue> inputTimers;
    std::shared_ptr<HostCoordinator> coordinator;
    std::shared_ptr<Telemetry> telemetry;
    std::string serviceName; // the name both DNS-SD services are published under
    // What the session's input backend says about posting input (from its own connection).
    std::function<platform::InputPermission()> inputPermission;
    // The backend the session got (the permission guide follows it).
    platform::InputBackendChoice choice;
    // Desktop notifications of what happens (on the main queue, after attach()).
    std::shared_ptr<HostNotifications> notifications;

    // inputPermission() with the guide for the session.
    PermissionChecker::Status permission() const;
};

// Builds the collaborators over the user's `defaults` in the order the coordinator needs them
// (in passive mode an in-memory store and no start), writes the launch line to the diagnostics
// log and starts telemetry. On `mainQueue`, which the coordinator publishes on.
HostAssembly launchHost(platform::Defaults& defaults,
                        std::shared_ptr<platform::MainQueue> mainQueue);
// The before-exit sequence: the coordinator's stop, telemetry's last report (waited for
// briefly).
void shutdownHost(HostAssembly& host);

// The host without a graphical shell (`quillon --headless`): builds the collaborators, writes
// the launch line, starts telemetry and the coordinator, then runs the terminal console on
// stdin/stdout until `quit`, SIGINT or SIGTERM. Returns the process's exit status.
int runHeadlessHost(platform::Defaults& defaults);

// "=== start, input permission = true|false, path = <path>" in the run's language
std::string launchLogLine(bool permitted, const std::string& executablePath);

} // namespace quillon
