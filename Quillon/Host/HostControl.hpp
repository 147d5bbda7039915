#pragma once

#include "Platform/Control/ControlBus.hpp"
#include "Quillon/Host/PermissionChecker.hpp"

#include <functional>
#include <memory>
#include <string>

namespace quillon {

class HostCoordinator;
class Telemetry;

// The running host as the control interface sees it: the coordinator's published state and
// operations, telemetry and the input permission. `show` and `quit` are the surface's own (the
// desktop raises its console, the terminal prints its state). Main queue only, as the control
// server calls it.
//
// Trust: the interface is open to every process of the user's session, which on Wayland cannot
// otherwise post input. The PIN would let such a process pair a device of its own and control
// the input, so it leaves the host through the interface (Pair()'s answer, State()'s pin) only
// when `revealPIN` is set: a host without a display, driven over SSH, where no screen could show
// it. Elsewhere the PIN is shown on the user's screen only and the answers carry "".
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

private:
    std::string resolve(const std::string& device);

    std::shared_ptr<HostCoordinator> coordinator_;
    std::shared_ptr<Telemetry> telemetry_;
    Hooks hooks_;
};

} // namespace quillon
