#include "Quillon/Console/TerminalConsole.hpp"

#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostState.hpp"
#include "Quillon/Host/Telemetry.hpp"

#include <chrono>
#include <functional>

namespace quillon {

namespace {

using i18n::fill;
using i18n::tr;

std::string pinLines(const std::string& pin, std::optional<int> secondsLeft) {
    // The code stands on a line of its own: scripts read it there.
    std::string text =
        tr("Enter this code on the iPad") + "\n" + fill(tr("Pairing code: {1}"), {pin}) + "\n";
    if (secondsLeft) {
        text += fill(i18n::trn("(expires in {1} second)", "(expires in {1} seconds)",
                               static_cast<unsigned long>(*secondsLeft)),
                     {std::to_string(*secondsLeft)}) +
                "\n";
    }
    return text;
}

std::string portLine(const HostState& s) {
    if (!s.port) {
        return {};
    }
    std::string text = fill(tr("Listening on TCP port {1}"), {std::to_string(*s.port)});
    if (s.pairingPort) {
        text += fill(tr(" (pairing on {1})"), {std::to_string(*s.pairingPort)});
    }
    return text + "\n";
}

std::string discoveryLine(bool discoverable) {
    return (discoverable ? tr("Tablets can find this computer again (avahi-daemon is back).")
                         : tr("Tablets cannot find this computer: avahi-daemon is not running. "
                              "Quillon keeps listening and publishes itself when it is back.")) +
           "\n";
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
        text += console::permission(p);
    }
    const HostState s = snapshot(c);
    if (!hooks_.serviceName.empty()) {
        text += fill(tr("The tablet will see this computer as: {1}"), {hooks_.serviceName}) + "\n";
    }
    text += portLine(s);
    if (!s.discoverable) {
        text += discoveryLine(false);
    }
    if (c.pairingPIN()) {
        text += pinLines(*c.pairingPIN(), pinSecondsLeft(s, now()));
    }
    if (c.isScreenLocked()) {
        text += tr("Screen locked; all connections dropped") + "\n";
    }
    text += deviceSection();
    text += console::telemetryState(telemetry_->isEnabled()) + "\n";
    if (c.lastError()) {
        text += *c.lastError() + "\n";
    }
    if (c.notice()) {
        text += console::noticeLine(*c.notice()) + "\n";
    }
    text += console::footer(c.activeChannel());
    if (permitted_) {
        text += serviceLine(*permitted_);
    }
    text += tr("Type help for the commands") + "\n";
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
            hooks_.print(pinLines(*c.pairingPIN(), pinSecondsLeft(snapshot(c), now())));
        } else {
            hooks_.print((c.pairingExpired() ? tr("The pairing code expired")
                                             : tr("Pairing window closed")) +
                         "\n");
        }
        break;
    case HostCoordinator::Field::isScreenLocked:
        hooks_.print((c.isScreenLocked() ? tr("Screen locked; all connections dropped")
                                         : tr("Screen unlocked")) +
                     "\n");
        break;
    case HostCoordinator::Field::discoverable:
        hooks_.print(discoveryLine(c.discoverable()));
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
    if (pairingExpired(*coordinator_, now())) {
        coordinator_->expirePairing();
    }
    const auto p = hooks_.permission();
    if (!permitted_ || *permitted_ != p.permitted) {
        if (p.permitted && permitted_ && !*permitted_) {
            justAuthorized_ = true;
        }
        permitted_ = p.permitted;
        hooks_.print(console::permission(p) + serviceLine(p.permitted));
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
            hooks_.print(fill(tr("No such device: {1}"), {console::shown(command.argument)}) +
                         "\n");
        }
    };
    switch (command.kind) {
    case Kind::none:
        break;
    case Kind::pair:
        if (c.pairingPIN()) {
            // A second `pair` keeps the code the tablet may be typing already.
            hooks_.print(tr("A pairing window is already open; its code stays the same.") + "\n" +
                         pinLines(*c.pairingPIN(), pinSecondsLeft(snapshot(c), now())));
        } else if (c.beginPairing() == HostCoordinator::Outcome::screenLocked) {
            hooks_.print(tr("The screen is locked; unlock it to pair a device") + "\n");
        }
        break;
    case Kind::cancel:
        if (c.pairingPIN()) {
            c.endPairing();
        } else {
            hooks_.print(tr("No pairing window is open") + "\n");
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
                hooks_.print(tr("The screen is locked; unlock it to unpair a device") + "\n");
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
        hooks_.print(tr("Quitting") + "\n");
        if (hooks_.quit) {
            hooks_.quit();
        }
        break;
    case Kind::help:
        hooks_.print(console::help());
        break;
    case Kind::missingArgument:
        hooks_.print(fill(tr("{1} needs a device ID or number"), {command.argument}) + "\n");
        break;
    case Kind::unknown:
        hooks_.print(fill(tr("Unknown command: {1}"), {console::shown(command.argument)}) + "\n" +
                     console::help());
        break;
    }
}

void TerminalConsole::endOfInput() {
    if (hooks_.interactive) {
        hooks_.print(tr("Quitting") + "\n");
        if (hooks_.quit) {
            hooks_.quit();
        }
        return;
    }
    hooks_.print(tr("Input ended; the host keeps running (quillon ctl quit or SIGTERM stops it)") +
                 "\n");
}

void TerminalConsole::show() {
    printState();
}

double TerminalConsole::now() const {
    return hooks_.clock ? hooks_.clock() : systemNow();
}

std::string TerminalConsole::serviceLine(bool permitted) {
    return (permitted ? tr("Service running") : tr("Service waiting for input permission")) + "\n";
}

} // namespace quillon
