#pragma once

#include "Quillon/Host/HostState.hpp"
#include "Quillon/Shell/PermissionWindow.hpp"
#include "Quillon/Shell/ShellActions.hpp"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace quillon::shell {

class ConsoleWindow;

// The three surfaces of the desktop program: the tray icon with its menu, the console window
// and the permission guide. setState() takes each published change; the surfaces are redrawn
// once the current event is done, so a menu item that unpairs a device is not deleted while
// it is still delivering its click.
class DesktopShell {
public:
    struct Options {
        std::chrono::milliseconds permissionPoll{1000};
        bool trayIcon = true;
    };
    DesktopShell(ShellActions& actions, Options options);
    ~DesktopShell();

    void setState(const HostState& state);
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
    void redraw();
    void updateTray();

    ShellActions& actions_;
    HostState state_;
    bool redrawQueued_ = false;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<ConsoleWindow> console_;
    QPointer<PermissionWindow> permissions_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    QString trayIconShown_;
    std::unique_ptr<QObject> context_; // owner of queued redraws: none run after destruction
};

} // namespace quillon::shell
