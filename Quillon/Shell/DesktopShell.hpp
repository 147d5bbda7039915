#pragma once

#include "Quillon/Host/HostState.hpp"
#include "Quillon/Shell/ConsoleWindow.hpp"
#include "Quillon/Shell/PermissionWindow.hpp"
#include "Quillon/Shell/ShellActions.hpp"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class QMenu;
class QSystemTrayIcon;

namespace quillon::shell {

// The three surfaces of the desktop program: the tray icon with its menu, the console window
// and the permission guide. setState() takes each published change; the surfaces are redrawn
// once the current event is done, so a menu item that unpairs a device is not deleted while
// it is still delivering its click. The window of a host that runs elsewhere (`remote`) also
// shows that host's absence (setAway()): the page instead of the state, the menu that starts
// Quillon or quits, the attention icon with the reason as its tooltip.
class DesktopShell {
public:
    struct Options {
        std::chrono::milliseconds permissionPoll{1000};
        bool trayIcon = true;
        bool remote = false;
    };
    DesktopShell(ShellActions& actions, Options options);
    ~DesktopShell();

    void setState(const HostState& state);
    void setAway(const std::optional<HostAway>& away);
    // The PIN's countdown at `now`, seconds on the system clock.
    void tick(double now);
    // Shows the console and brings it to the front.
    void showConsole();
    // Shows the permission guide, built afresh when it is not open (it takes the permission
    // state when built).
    void showPermissions();

    QMenu& menu() noexcept { return *menu_; }
    ConsoleWindow& console() noexcept { return *console_; }
    PermissionWindow* permissions() noexcept { return permissions_.data(); }
    QSystemTrayIcon* tray() noexcept { return tray_.get(); }

private:
    void queueRedraw();
    void redraw();
    void updateTray();

    ShellActions& actions_;
    HostState state_;
    std::optional<HostAway> away_;
    bool redrawQueued_ = false;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<ConsoleWindow> console_;
    QPointer<PermissionWindow> permissions_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    QString trayIconShown_;
    std::unique_ptr<QObject> context_; // owner of queued redraws: none run after destruction
};

} // namespace quillon::shell
