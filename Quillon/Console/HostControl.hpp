#pragma once

#include "Platform/Control/ControlBus.hpp"
#include "Quillon/Host/PermissionChecker.hpp"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillon::platform {
class Defaults;
}

namespace quillon {

class HostCoordinator;
class Telemetry;
struct HostState;

// The running host as the control interface sees it: the coordinator's published state and
// operations, telemetry and the input permission. `show` and `quit` are the surface's own (the
// desktop raises its console, the terminal prints its state). Main queue only, as the control
// server calls it.
//
// Trust: the interface is open to every process of the user's session, which on Wayland cannot
// otherwise post input. The PIN would let such a process pair a device of its own and control
// the input, so it leaves the host through the interface (Pair()'s answer, State()'s pin) only
// when `revealPIN` is set: a host without a display, driven over SSH, where no screen could show
// it. Elsewhere the PIN is shown on the user's screen only and the answers carry "": it goes
// to PairingCode() callers that are this program's own window (ControlBus.hpp).
class HostControl : public platform::ControlHandler {
public:
    struct Hooks {
        std::function<void()> show;
        std::function<void()> quit;
        std::string serviceName;
        // The input permission, as the console shows it.
        std::function<PermissionChecker::Status()> permission;
        // Whether the PIN may be answered to callers (see above).
        bool revealPIN = false;
        // Seconds on the system clock (the PIN's countdown); the real clock when empty.
        std::function<double()> clock;
        // The settings Settings() and SetSetting() read and write (the host's own, so that
        // what it reads at each use follows at once); none: no settings.
        platform::Defaults* defaults = nullptr;
        // Starts the host again in place; none: Restart() is refused.
        std::function<void()> restart;
    };
    HostControl(std::shared_ptr<HostCoordinator> coordinator, std::shared_ptr<Telemetry> telemetry,
                Hooks hooks);

    platform::ControlState state() override;
    std::vector<platform::ControlDevice> devices() override;
    std::string pair() override;
    void cancel() override;
    void disconnect(const std::string& device) override;
    void unpair(const std::string& device) override;
    void setTelemetry(bool enabled) override;
    void show() override;
    void quit() override;
    std::string pairingCode(bool callerIsThisProgram) override;
    std::map<std::string, std::string> settings() override;
    void setSetting(const std::string& key, const std::string& value) override;
    void restart() override;

private:
    std::string resolve(const std::string& device);

    std::shared_ptr<HostCoordinator> coordinator_;
    std::shared_ptr<Telemetry> telemetry_;
    Hooks hooks_;
};

// What Status() answers for a published state: the state, the input permission, telemetry
// and the name the tablet lists. The PIN only when `revealPIN`; the countdown at `now`
// (seconds on the system clock).
platform::ControlState controlStateOf(const HostState& state,
                                      const PermissionChecker::Status& permission, bool telemetry,
                                      const std::string& serviceName, bool revealPIN, double now);

// The other way, for a window of a host that runs elsewhere: the state it shows, from
// Status(), Devices() and what PairingCode() answered (`pin`; "" when the host would not tell
// this window, which then says where the code shows). Devices carry their ID and name only.
HostState hostStateOf(const platform::ControlState& status,
                      const std::vector<platform::ControlDevice>& devices,
                      const std::optional<std::string>& pin);
// The input permission Status() reported (the guide's steps and whether it offers KDE's
// grant; its situation is the host's to know).
PermissionChecker::Status permissionOf(const platform::ControlState& status);

} // namespace quillon
