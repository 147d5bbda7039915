#pragma once

#include "Platform/Permission/InputPermission.hpp"
#include "Quillon/Host/PermissionGuide.hpp"

#include <functional>
#include <string>
#include <vector>

namespace quillon {

// "May this process post input?" and what to do when it may not. The console, the desktop
// windows, telemetry and the launch line all ask here, so the answer has one source.
namespace PermissionChecker {

struct Status {
    bool permitted = false;
    std::string reason;    // why not, from the input backend; empty when permitted
    PermissionGuide guide; // what the user can do about it; no steps when permitted
    bool operator==(const Status&) const = default;
};

// What the input backend answered, with the guide for the session's situation.
Status status(const platform::InputPermission& answer, PermissionGuide::Situation situation);

// The shell text that starts this binary again once the current process has gone:
// `sleep 1; exec "<path>"`, the path double-quoted with \ " $ and ` escaped, so a path with
// spaces or shell characters reaches exec as one word, unchanged.
std::string relaunchCommand(const std::string& executablePath);
// The argument vector relaunch() spawns: /bin/sh -c <relaunchCommand>.
std::vector<std::string> relaunchArguments(const std::string& executablePath);
// Set in the environment of a relaunched instance.
inline constexpr const char* kRelaunchedVariable = "QUILLON_RELAUNCHED";
// Starts /bin/sh with relaunchArguments(path) (posix_spawn, not waited for); true when it
// started. The child keeps the environment.
bool spawnRelaunch(const std::string& executablePath);
// spawnRelaunch() of this binary, then `quit`, whether the spawn worked or not.
void relaunch(const std::function<void()>& quit);

// Starts this binary with `arguments` in a session of its own (it outlives the caller and
// its terminal), not waited for; true when it started.
bool spawnDetached(const std::vector<std::string>& arguments);

// Replaces this process with this binary started again with `arguments` (after argv[0]) and
// kRelaunchedVariable set: the same process ID (a service manager keeps following it), the
// same terminal and environment. Everything of the old run must be stopped first; descriptors
// that are not close-on-exec stay open. Returns only when exec failed, with its error.
std::string restartInPlace(const std::vector<std::string>& arguments);

// /proc/self/exe, or "quillon" when it cannot be read.
std::string executablePath();

} // namespace PermissionChecker

} // namespace quillon
