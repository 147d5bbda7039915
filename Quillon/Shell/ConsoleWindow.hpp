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

// What the window of a host that runs elsewhere shows while that host has nothing to show
// (starting, stopped): instead of the host's state.
struct HostAway {
    std::string text;         // what is the matter, in the run's language
    std::string detail;       // what to do about it (may be empty)
    bool offersStart = false; // a "Start Quillon" command (ShellActions::relaunch)
    bool operator==(const HostAway&) const = default;
};

// The console window ("Quillon Console", 380 × 480): the input permission with what to do
// about it, the pairing code with its countdown (or that it expired) or the pair button, the
// devices (or why the pairing records cannot be read, what to do, and no pairing), the host's
// problems that still hold, the settings (the name the tablet shows, the port, notifications,
// the monitor), telemetry, start at login, the connection footer. It keeps no copy of the
// host's state beyond the last one shown; setState() redraws. The permission is asked at
// creation and on every poll tick (one second by default); a change redraws and is told to
// onPermissionChange. As the window of a host that runs elsewhere (setRemote()) it says that
// quitting closes the window only, and shows setAway()'s page while that host is away.
class ConsoleWindow : public QWidget {
public:
    ConsoleWindow(ShellActions& actions,
                  std::chrono::milliseconds permissionPoll = std::chrono::milliseconds(1000));

    void setState(const HostState& state);
    // The page shown instead of the state, or nothing to show the state.
    void setAway(const std::optional<HostAway>& away);
    void setRemote(bool remote);
    // The PIN's countdown at `now` (seconds on the system clock); redraws when it changed.
    void tick(double now);
    // One poll tick, as the timer runs it (tests call it directly).
    void pollPermission();
    // Asks afresh and starts over as at creation (a window that now shows another host, or
    // the same one started again: what it has is its permission from the start).
    void resetPermission();
    PermissionView permissionView() const noexcept { return view_; }
    const PermissionChecker::Status& permission() const noexcept { return permission_; }
    std::function<void()> onPermissionChange;

private:
    void rebuild();
    void buildAway(QVBoxLayout& v);
    std::string portText() const;
    // Stores a setting the user changed; a refusal is shown until a change is accepted.
    void settingChanged(const std::string& key, const std::string& value);

    ShellActions& actions_;
    HostState state_;
    std::optional<int> secondsLeft_;
    std::string settingError_;
    std::optional<HostAway> away_;
    bool remote_ = false;
    PermissionView view_;
    PermissionChecker::Status permission_;
    QWidget* content_ = nullptr;
    QVBoxLayout* outer_ = nullptr;
    QTimer* timer_ = nullptr;
};

} // namespace quillon::shell
