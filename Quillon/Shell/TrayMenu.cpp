#include "Quillon/Shell/TrayMenu.hpp"

#include "Quillon/Console/Translations.hpp"
#include "Quillon/Shell/Symbols.hpp"

#include <QAction>
#include <QMenu>

namespace quillon::shell {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}
QString t(std::string_view source) {
    return q(i18n::tr(source));
}

void addText(QMenu& menu, const QString& text) {
    QAction* action = menu.addAction(text);
    action->setEnabled(false);
}

} // namespace

void populateTrayMenu(QMenu& menu, const HostState& state, ShellActions& actions) {
    // Submenus are children of the menu; clear() removes the actions but not them.
    for (QMenu* sub : menu.findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly)) {
        sub->deleteLater();
    }
    menu.clear();
    if (state.isScreenLocked) {
        addText(menu, t("屏幕已锁定，连接已全部断开"));
    }
    if (!state.pairingPIN) {
        QObject::connect(menu.addAction(t("配对新设备")), &QAction::triggered,
                         [&actions] { actions.beginPairing(); });
    } else {
        addText(menu, t("配对码：") + q(*state.pairingPIN));
        QObject::connect(menu.addAction(t("取消配对")), &QAction::triggered,
                         [&actions] { actions.endPairing(); });
    }
    menu.addSeparator();
    if (state.devices.empty()) {
        addText(menu, t("尚未配对任何设备"));
    }
    for (const auto& device : state.devices) {
        const bool connected = state.isConnected(device.deviceID);
        QMenu* sub =
            menu.addMenu((connected ? QString("● ") : QString("○ ")) + q(device.deviceName));
        const std::string id = device.deviceID;
        if (connected) {
            QObject::connect(sub->addAction(t("断开")), &QAction::triggered,
                             [&actions, id] { actions.disconnect(id); });
        }
        QObject::connect(sub->addAction(t("解除配对")), &QAction::triggered,
                         [&actions, id] { actions.unpair(id); });
    }
    menu.addSeparator();
    if (state.lastError) {
        QAction* error = menu.addAction(symbolIcon("exclamationmark.triangle.fill", colours::red),
                                        q(*state.lastError));
        error->setEnabled(false);
        error->setProperty("error", true);
    }
    QObject::connect(menu.addAction(t("权限检查…")), &QAction::triggered,
                     [&actions] { actions.showPermissions(); });
    QObject::connect(menu.addAction(t("退出")), &QAction::triggered,
                     [&actions] { actions.quit(); });
}

} // namespace quillon::shell
