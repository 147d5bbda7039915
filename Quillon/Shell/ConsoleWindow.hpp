#pragma once

#include "Quillon/Host/HostState.hpp"
#include "Quillon/Shell/PermissionView.hpp"
#include "Quillon/Shell/ShellActions.hpp"

#include <QWidget>

#include <chrono>
#include <functional>
#include <optional>

class QTimer;
class QVBoxLayout;

namespace quillon::shell {

// The console window ("Quillon Console", 380 × 480): the input permission with what to do
// about it, the pairing code with its countdown (or that it expired) or the pair button, the
// devices (or why the pairing records cannot be read, what to do, and no pairing), the host's
// problems that still hold, the settings (the name the tablet shows, the port, notifications,
// the monitor), telemetry, start at login, the connection footer. It keeps no copy of the
// host's state beyond the last one shown; setState() redraws. The permission is asked at
// creation and on every poll tick (one second by default); a change redraws and is told to
// onPermissionChange.
class ConsoleWindow : public QWidget {
public:
    ConsoleWindow(ShellActions& actions,
                  std::chrono::milliseconds permissionPoll = std::chrono::milliseconds(1000));

    void setState(const HostState& state);
    // The PIN's countdown at `now` (seconds on the system clock); redraws when it changed.
    void tick(double now);
    // One poll tick, as the timer runs it (tests call it directly).
    void pollPermission();
    PermissionView permissionView() const noexcept { return view_; }
    const PermissionChecker::Status& permission() const noexcept { return permission_; }
    std::function<void()> onPermissionChange;

private:
    void rebuild();
    std::string portText() const;
    // Stores a setting the user changed; a refusal is shown until a change is accepted.
    void settingChanged(const std::string& key, const std::string& value);

    ShellActions& actions_;
    HostState state_;
    std::optional<int> secondsLeft_;
    std::string settingError_;
    PermissionView view_;
    PermissionChecker::Status permission_;
    QWidget* content_ = nullptr;
    QVBoxLayout* outer_ = nullptr;
    QTimer* timer_ = nullptr;
};

} // namespace quillon::shell
