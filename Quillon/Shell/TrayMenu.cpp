#include "Quillon/Shell/TrayMenu.hpp"

#include "Platform/Locale/Translation.hpp"
#include "Quillon/Shell/Symbols.hpp"

#include <QAction>
#include <QMenu>

namespace quillon::shell {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}
QString t(const char* msgid) {
    return q(i18n::tr(msgid));
}

void addText(QMenu& menu, const QString& text) {
    QAction* action = menu.addAction(text);
    action->setEnabled(false);
}

void clearMenu(QMenu& menu) {
    // Submenus are children of the menu; clear() removes the actions but not them.
    for (QMenu* sub : menu.findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly)) {
        sub->deleteLater();
    }
    menu.clear();
}

} // namespace

void populateAwayMenu(QMenu& menu, const HostAway& away, ShellActions& actions) {
    clearMenu(menu);
    addText(menu, q(away.text));
    if (away.offersStart) {
        QObject::connect(menu.addAction(t("Start Quillon")), &QAction::triggered,
                         [&actions] { actions.relaunch(); });
    }
    menu.addSeparator();
    QObject::connect(menu.addAction(t("Quit")), &QAction::triggered,
                     [&actions] { actions.quit(); });
}

void populateTrayMenu(QMenu& menu, const HostState& state, ShellActions& actions) {
    clearMenu(menu);
    if (state.isScreenLocked) {
        addText(menu, t("Screen locked; all connections dropped"));
    }
    if (state.storeProblem) {
        // Pairing cannot work: the item stays, disabled, and the console says why.
        menu.addAction(t("Pair New Device"))->setEnabled(false);
    } else if (!state.pairingPIN) {
        QObject::connect(menu.addAction(t("Pair New Device")), &QAction::triggered,
                         [&actions] { actions.beginPairing(); });
    } else {
        addText(menu, state.pairingPIN->empty()
                          ? t("Pairing code: shown where Quillon runs")
                          : q(i18n::fill(i18n::tr("Pairing code: {1}"), {*state.pairingPIN})));
        QObject::connect(menu.addAction(t("Cancel Pairing")), &QAction::triggered,
                         [&actions] { actions.endPairing(); });
    }
    menu.addSeparator();
    if (state.storeProblem) {
        addText(menu, t("The pairing records cannot be read"));
    } else if (state.devices.empty()) {
        addText(menu, t("No device paired yet"));
    }
    for (const auto& device : state.devices) {
        const bool connected = state.isConnected(device.deviceID);
        QMenu* sub =
            menu.addMenu((connected ? QString("● ") : QString("○ ")) + q(device.deviceName));
        const std::string id = device.deviceID;
        if (connected) {
            QObject::connect(sub->addAction(t("Disconnect")), &QAction::triggered,
                             [&actions, id] { actions.disconnect(id); });
        }
        QObject::connect(sub->addAction(t("Unpair")), &QAction::triggered,
                         [&actions, id] { actions.unpair(id); });
    }
    menu.addSeparator();
    if (state.lastError) {
        QAction* error = menu.addAction(symbolIcon("exclamationmark.triangle.fill", colours::red),
                                        q(*state.lastError));
        error->setEnabled(false);
        error->setProperty("error", true);
    }
    QObject::connect(menu.addAction(t("Permission Check…")), &QAction::triggered,
                     [&actions] { actions.showPermissions(); });
    QObject::connect(menu.addAction(t("Quit")), &QAction::triggered,
                     [&actions] { actions.quit(); });
}

} // namespace quillon::shell
