#pragma once

#include "Quillon/Host/HostState.hpp"
#include "Quillon/Shell/PermissionView.hpp"
#include "Quillon/Shell/ShellActions.hpp"

#include <QWidget>

#include <chrono>

class QTimer;
class QVBoxLayout;

namespace quillon::shell {

// The console window ("Corvane 控制台", 380 × 480): the input permission with what to do about
// it, the pairing code or the pair button, the devices, the telemetry switch, the last error
// and the connection footer. It keeps no copy of the host's state beyond the last one shown;
// setState() redraws. The permission is asked at creation and on every poll tick (one second
// by default); a change redraws.
class ConsoleWindow : public QWidget {
public:
    ConsoleWindow(ShellActions& actions,
                  std::chrono::milliseconds permissionPoll = std::chrono::milliseconds(1000));

    void setState(const HostState& state);
    // One poll tick, as the timer runs it (tests call it directly).
    void pollPermission();
    PermissionView permissionView() const noexcept { return view_; }

private:
    void rebuild();

    ShellActions& actions_;
    HostState state_;
    PermissionView view_;
    PermissionChecker::Status permission_;
    QWidget* content_ = nullptr;
    QVBoxLayout* outer_ = nullptr;
    QTimer* timer_ = nullptr;
};

} // namespace quillon::shell
