#include "Quillon/Shell/DesktopShell.hpp"

#include "Quillon/Shell/ConsoleWindow.hpp"
#include "Quillon/Shell/PermissionWindow.hpp"
#include "Quillon/Shell/Symbols.hpp"
#include "Quillon/Shell/TrayMenu.hpp"

#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace quillon::shell {

DesktopShell::DesktopShell(ShellActions& actions, Options options)
    : actions_(actions), menu_(std::make_unique<QMenu>()),
      console_(std::make_unique<ConsoleWindow>(actions, options.permissionPoll)),
      context_(std::make_unique<QObject>()) {
    menu_->setTitle("Quillon");
    populateTrayMenu(*menu_, state_, actions_);
    console_->setRemote(options.remote);
    // The tray follows the permission too, which the console polls.
    console_->onPermissionChange = [this] { updateTray(); };
    if (options.trayIcon) {
        tray_ = std::make_unique<QSystemTrayIcon>(applicationIcon());
        updateTray();
        tray_->setContextMenu(menu_.get());
        // A click on the icon itself (where the panel sends one) shows the console; the
        // menu opens on its own.
        QObject::connect(tray_.get(), &QSystemTrayIcon::activated, context_.get(),
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::Trigger) {
                                 showConsole();
                             }
                         });
        tray_->show();
    }
}

DesktopShell::~DesktopShell() {
    if (permissions_) {
        delete permissions_.data();
    }
}

void DesktopShell::setState(const HostState& state) {
    state_ = state;
    queueRedraw();
}

void DesktopShell::setAway(const std::optional<HostAway>& away) {
    away_ = away;
    queueRedraw();
}

void DesktopShell::queueRedraw() {
    if (redrawQueued_) {
        return;
    }
    redrawQueued_ = true;
    QTimer::singleShot(0, context_.get(), [this] {
        redrawQueued_ = false;
        redraw();
    });
}

void DesktopShell::redraw() {
    if (away_) {
        populateAwayMenu(*menu_, *away_, actions_);
    } else {
        populateTrayMenu(*menu_, state_, actions_);
        console_->setState(state_);
    }
    console_->setAway(away_);
    updateTray();
}

void DesktopShell::tick(double now) {
    console_->tick(now);
}

void DesktopShell::updateTray() {
    if (!tray_) {
        return;
    }
    const bool permitted = console_->permission().permitted;
    const QString name =
        trayIconName(away_ ? TrayStatus::needsAttention : trayStatus(state_, permitted));
    // Set only on a change: each set is a signal a panel answers by reading the icon again.
    if (trayIconShown_ != name) {
        trayIconShown_ = name;
        tray_->setIcon(trayIcon(name));
    }
    const QString tip =
        QString::fromStdString(away_ ? "Quillon\n" + away_->text : trayToolTip(state_, permitted));
    if (tray_->toolTip() != tip) {
        tray_->setToolTip(tip);
    }
}

void DesktopShell::showConsole() {
    console_->show();
    console_->raise();
    console_->activateWindow();
}

void DesktopShell::showPermissions() {
    if (!permissions_) {
        permissions_ = new PermissionWindow(actions_);
        permissions_->setAttribute(Qt::WA_DeleteOnClose);
    }
    permissions_->show();
    permissions_->raise();
    permissions_->activateWindow();
}

} // namespace quillon::shell
