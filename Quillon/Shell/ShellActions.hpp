#pragma once

#include "Quillon/Host/PermissionChecker.hpp"

#include <string>

namespace quillon::shell {

// Everything the tray menu and the windows can ask of the host. The desktop program
// implements it over the coordinator, telemetry and the permission checker; tests record the
// calls. Main thread only.
class ShellActions {
public:
    virtual ~ShellActions() = default;

    virtual void beginPairing() = 0;
    virtual void endPairing() = 0;
    virtual void disconnect(const std::string& deviceID) = 0;
    virtual void unpair(const std::string& deviceID) = 0;

    virtual bool telemetryEnabled() = 0;
    virtual void setTelemetryEnabled(bool enabled) = 0;
    virtual bool startsAtLogin() = 0;
    virtual void setStartsAtLogin(bool enabled) = 0;

    // Asked afresh on every call (the console polls it).
    virtual PermissionChecker::Status permission() = 0;
    virtual void openSettings() = 0;
    virtual void relaunch() = 0;
    virtual void showPermissions() = 0;
    virtual void quit() = 0;
};

} // namespace quillon::shell
