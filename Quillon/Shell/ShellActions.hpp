#pragma once

#include "Quillon/Host/PermissionChecker.hpp"

#include <functional>
#include <optional>
#include <string>

namespace quillon::shell {

// Everything the tray menu and the windows can ask of the host. The desktop program
// implements it over the coordinator, telemetry and the permission checker when it hosts
// itself, and over the control interface when it is the window of a host that runs elsewhere
// (RemoteFace: answers come from the host's last state, commands reach it a moment later);
// tests record the calls. Main thread only.
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
    // KDE: writes the desktop entry that grants this program KWin's fake input (the guide's
    // step); the error text when it could not.
    virtual std::optional<std::string> grantKdeInput() = 0;
    // Starts the host again (a granted permission takes effect then); a window whose host
    // stopped starts Quillon here.
    virtual void relaunch() = 0;

    // A setting as stored (the user's text form), or nothing when it is not set.
    virtual std::optional<std::string> setting(const std::string& key) = 0;
    // Checks and stores a setting as `quillon defaults write` does; empty value: back to the
    // default. `done` gets the refusal text when the value is not one the key takes, or
    // nothing when stored: at once here, or once a host elsewhere has answered.
    virtual void setSetting(const std::string& key, const std::string& value,
                            std::function<void(std::optional<std::string> refusal)> done) = 0;
    // The name the tablet lists this computer under now, and the machine's own name (the
    // default).
    virtual std::string computerName() = 0;
    virtual std::string defaultComputerName() = 0;
    virtual void showPermissions() = 0;
    virtual void quit() = 0;
};

} // namespace quillon::shell
