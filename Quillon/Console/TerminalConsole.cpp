#include "Quillon/Console/TerminalConsole.hpp"

#include "Platform/Diagnostics/SafeText.hpp"

#include "Platform/Dispatch/MainQueue.hpp"
#include "Quillon/Console/Translations.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostState.hpp"
#include "Quillon/Host/Telemetry.hpp"

#include <chrono>
#include <functional>

namespace quillon {

namespace {

using i18n::tr;

std::string pinLines(const std::string& pin) {
    return tr("在 iPad 上输入配对码") + "\n" + tr("配对码：") + pin + "\n";
}

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

TerminalConsole::TerminalConsole(std::shared_ptr<HostCoordinator> coordinator,
                                 std::shared_ptr<Telemetry> telemetry,
                                 std::shared_ptr<platform::MainQueue> mainQueue, Hooks hooks)
    : coordinator_(std::move(coordinator)), telemetry_(std::move(telemetry)),
      mainQueue_(std::move(mainQueue)), hooks_(std::move(hooks)) {}

TerminalConsole::~TerminalConsole() {
    if (observerToken_ != 0) {
        coordinator_->removeObserver(observerToken_);
    }
}

void TerminalConsole::attach() {
    std::weak_ptr<TerminalConsole> weak = weak_from_this();
    observerToken_ = coordinator_->addObserver([weak](HostCoordinator::Field field) {
        if (auto self = weak.lock()) {
            self->onChange(static_cast<int>(field));
        }
    });
    printState();
    if (hooks_.permission) {
        mainQueue_->postAfter(hooks_.permissionPoll, [weak] {
            if (auto self = weak.lock()) {
                self->pollPermission();
            }
        });
    }
}

void TerminalConsole::printState() {
    auto& c = *coordinator_;
    std::string text;
    if (hooks_.permission) {
        const auto p = hooks_.permission();
        permitted_ = p.permitted;
        text += console::permission(p.permitted, p.reason);
    }
    if (!hooks_.serviceName.empty()) {
        text += tr("平板将看到的名字：") + hooks_.serviceName + "\n";
    }
    if (c.server().mainPort()) {
        text += tr("正在监听") + "\n";
    }
    if (c.pairingPIN()) {
        text += pinLines(*c.pairingPIN());
    }
    if (c.isScreenLocked()) {
        text += tr("屏幕已锁定，连接已全部断开") + "\n";
    }
    text += deviceSection();
    text += console::telemetryState(telemetry_->isEnabled()) + "\n";
    if (c.lastError()) {
        text += *c.lastError() + "\n";
    }
    text += console::footer(c.activeChannel());
    if (permitted_) {
        text += tr(*permitted_ ? "服务运行中" : "服务待授权") + "\n";
    }
    text += tr("输入 help 查看命令") + "\n";
    hooks_.print(text);
}

std::string TerminalConsole::deviceSection() const {
    const auto& c = *coordinator_;
    if (c.storeProblem()) {
        return console::storeRefused(*c.storeProblem());
    }
    return console::deviceList(c.devices(), c.connectedIDs());
}

void TerminalConsole::onChange(int rawField) {
    auto& c = *coordinator_;
    switch (static_cast<HostCoordinator::Field>(rawField)) {
    case HostCoordinator::Field::devices:
    case HostCoordinator::Field::connectedIDs:
        hooks_.print(deviceSection());
        break;
    case HostCoordinator::Field::pairingPIN:
        if (c.pairingPIN()) {
            hooks_.print(pinLines(*c.pairingPIN()));
        } else {
            hooks_.print(tr(pinExpired_ ? "配对码已过期" : "配对窗口已关闭") + "\n");
            pinExpired_ = false;
        }
        break;
    case HostCoordinator::Field::isScreenLocked:
        hooks_.print(tr(c.isScreenLocked() ? "屏幕已锁定，连接已全部断开" : "屏幕已解锁") + "\n");
        break;
    case HostCoordinator::Field::lastError:
        if (c.lastError()) {
            hooks_.print(*c.lastError() + "\n");
        }
        break;
    case HostCoordinator::Field::activeChannel:
        hooks_.print(console::footer(c.activeChannel()));
        break;
    case HostCoordinator::Field::notice:
        if (c.notice()) {
            hooks_.print(console::noticeLine(*c.notice()) + "\n");
        }
        break;
    }
}

void TerminalConsole::pollPermission() {
    // The pairing window's expiry is checked on the same tick.
    if (pairingExpired(*coordinator_, hooks_.clock ? hooks_.clock() : systemNow())) {
        pinExpired_ = true;
        coordinator_->endPairing();
    }
    const auto p = hooks_.permission();
    if (!permitted_ || *permitted_ != p.permitted) {
        if (p.permitted && permitted_ && !*permitted_) {
            justAuthorized_ = true;
        }
        permitted_ = p.permitted;
        std::string text = console::permission(p.permitted, p.reason);
        text += tr(p.permitted ? "服务运行中" : "服务待授权") + "\n";
        hooks_.print(text);
    }
    std::weak_ptr<TerminalConsole> weak = weak_from_this();
    mainQueue_->postAfter(hooks_.permissionPoll, [weak] {
        if (auto self = weak.lock()) {
            self->pollPermission();
        }
    });
}

void TerminalConsole::execute(std::string_view line) {
    using Kind = console::Command::Kind;
    const auto command = console::parseCommand(line);
    auto& c = *coordinator_;
    const auto withDevice = [&](const std::function<void(const std::string&)>& action) {
        if (const auto id = console::resolveDevice(c.devices(), command.argument)) {
            action(*id);
        } else {
            hooks_.print(tr("没有这个设备：") + platform::safeText(command.argument, 64) + "\n");
        }
    };
    switch (command.kind) {
    case Kind::none:
        break;
    case Kind::pair:
        if (c.beginPairing() == HostCoordinator::Outcome::screenLocked) {
            hooks_.print(tr("屏幕已锁定，解锁后才能配对") + "\n");
        }
        break;
    case Kind::cancel:
        if (c.pairingPIN()) {
            c.endPairing();
        } else {
            hooks_.print(tr("没有打开的配对窗口") + "\n");
        }
        break;
    case Kind::devices:
        hooks_.print(deviceSection() + console::footer(c.activeChannel()));
        break;
    case Kind::disconnect:
        withDevice([&](const std::string& id) { c.disconnect(id); });
        break;
    case Kind::unpair:
        withDevice([&](const std::string& id) {
            if (c.unpair(id) == HostCoordinator::Outcome::screenLocked) {
                hooks_.print(tr("屏幕已锁定，解锁后才能解除配对") + "\n");
            }
        });
        break;
    case Kind::telemetryOn:
    case Kind::telemetryOff:
        telemetry_->setEnabled(command.kind == Kind::telemetryOn);
        [[fallthrough]];
    case Kind::telemetryStatus:
        hooks_.print(console::telemetryState(telemetry_->isEnabled()) + "\n");
        break;
    case Kind::quit:
        hooks_.print(tr("正在退出") + "\n");
        if (hooks_.quit) {
            hooks_.quit();
        }
        break;
    case Kind::help:
        hooks_.print(console::help());
        break;
    case Kind::missingArgument:
        hooks_.print(command.argument + tr(" 需要设备 ID 或序号") + "\n");
        break;
    case Kind::unknown:
        hooks_.print(tr("未知命令：") + command.argument + "\n" + console::help());
        break;
    }
}

void TerminalConsole::endOfInput() {
    if (hooks_.interactive) {
        hooks_.print(tr("正在退出") + "\n");
        if (hooks_.quit) {
            hooks_.quit();
        }
        return;
    }
    hooks_.print(tr("输入已结束；主机继续运行（quillon ctl quit 或 SIGTERM 停止）") + "\n");
}

void TerminalConsole::show() {
    printState();
}

} // namespace quillon
