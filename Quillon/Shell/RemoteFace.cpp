#include "Quillon/Shell/RemoteFace.hpp"

#include "Platform/Control/WindowBus.hpp"
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Console/HostControl.hpp"
#include "Quillon/Host/PermissionChecker.hpp"
#include "Quillon/Shell/Autostart.hpp"
#include "Quillon/Shell/ConsoleWindow.hpp"

#include <chrono>

namespace quillon::shell {

namespace {

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

const char* rawValue(FacePhase phase) noexcept {
    switch (phase) {
    case FacePhase::connecting:
        return "connecting";
    case FacePhase::live:
        return "live";
    case FacePhase::hostGone:
        return "hostGone";
    case FacePhase::closed:
        return "closed";
    }
    return "?";
}

const char* rawValue(FaceEvent event) noexcept {
    switch (event) {
    case FaceEvent::answered:
        return "answered";
    case FaceEvent::vanished:
        return "vanished";
    case FaceEvent::appeared:
        return "appeared";
    case FaceEvent::gaveUp:
        return "gaveUp";
    case FaceEvent::closed:
        return "closed";
    }
    return "?";
}

std::optional<FacePhase> faceTransition(FacePhase from, FaceEvent event) noexcept {
    if (from == FacePhase::closed) {
        return std::nullopt;
    }
    switch (event) {
    case FaceEvent::closed:
        return FacePhase::closed;
    case FaceEvent::answered:
        return FacePhase::live;
    case FaceEvent::vanished:
        // A host that left while being waited for has stopped as much as a shown one.
        return from == FacePhase::hostGone ? std::nullopt : std::optional(FacePhase::hostGone);
    case FaceEvent::appeared:
        // A shown host's name does not appear; one being waited for is read anyway.
        return from == FacePhase::hostGone ? std::optional(FacePhase::connecting) : std::nullopt;
    case FaceEvent::gaveUp:
        return from == FacePhase::connecting ? std::optional(FacePhase::hostGone) : std::nullopt;
    }
    return std::nullopt;
}

struct RemoteFace::Reading {
    platform::ControlState status;
    std::vector<platform::ControlDevice> devices;
    std::map<std::string, std::string> settings;
    std::optional<std::string> pin;
};

template <typename F> auto RemoteFace::guarded(F work) {
    return [life = std::weak_ptr<int>(life_), work = std::move(work)](auto&&... args) mutable {
        if (life.lock()) {
            work(std::forward<decltype(args)>(args)...);
        }
    };
}

RemoteFace::RemoteFace(platform::WindowBus& bus, std::function<void()> quit, Options options)
    : bus_(bus), quit_(std::move(quit)), options_(options), context_(std::make_unique<QObject>()) {
    shell_ = std::make_unique<DesktopShell>(
        *this, DesktopShell::Options{options_.poll, options_.trayIcon, /*remote=*/true});
    bus_.onShow(guarded([this] { shell_->showConsole(); }));
    bus_.watchHost(guarded([this](bool running) {
                       move(running ? FaceEvent::appeared : FaceEvent::vanished);
                       if (running) {
                           refresh();
                       }
                   }),
                   guarded([this] { refresh(); }));
    poll_.setInterval(static_cast<int>(options_.poll.count()));
    QObject::connect(&poll_, &QTimer::timeout, context_.get(), [this] { refresh(); });
    poll_.start();
    countdown_.setInterval(1000);
    QObject::connect(&countdown_, &QTimer::timeout, context_.get(), [this] {
        if (shown_ && shown_->pairingPIN) {
            shell_->tick(nowSeconds());
        }
    });
    countdown_.start();
    connectWait_.setSingleShot(true);
    connectWait_.setInterval(static_cast<int>(options_.connectWait.count()));
    QObject::connect(&connectWait_, &QTimer::timeout, context_.get(),
                     [this] { move(FaceEvent::gaveUp); });
    connectWait_.start();
    shell_->setAway(HostAway{i18n::tr("Connecting to Quillon…"), {}, false});
    shell_->showConsole();
    refresh();
}

RemoteFace::~RemoteFace() {
    context_.reset();
    shell_.reset();
}

void RemoteFace::move(FaceEvent event) {
    const auto next = faceTransition(phase_, event);
    if (!next || *next == phase_) {
        return;
    }
    phase_ = *next;
    switch (phase_) {
    case FacePhase::connecting:
        shell_->setAway(HostAway{i18n::tr("Connecting to Quillon…"), {}, false});
        connectWait_.start();
        break;
    case FacePhase::live:
        connectWait_.stop();
        // Another host, or the same one started again: its permission is the one it has
        // from its start.
        shell_->console().resetPermission();
        shell_->setAway(std::nullopt);
        break;
    case FacePhase::hostGone:
        connectWait_.stop();
        shell_->setAway(HostAway{
            i18n::tr("Quillon is not running"),
            i18n::tr("The Quillon this window showed has stopped (it ran without a window: the "
                     "user unit, or quillon --headless in a terminal). Start Quillon here, or "
                     "start it again where it ran: this window shows it when it is back."),
            true});
        break;
    case FacePhase::closed:
        poll_.stop();
        countdown_.stop();
        connectWait_.stop();
        quit_();
        break;
    }
}

void RemoteFace::refresh() {
    if (phase_ == FacePhase::closed) {
        return;
    }
    if (reading_) {
        readAgain_ = true; // once the read under way is done
        return;
    }
    reading_ = true;
    read(std::make_shared<Reading>());
}

void RemoteFace::read(std::shared_ptr<Reading> reading) {
    using platform::ControlError;
    bus_.status(guarded([this, reading](std::optional<platform::ControlState> status,
                                        std::optional<ControlError> error) {
        if (!status) {
            finish(reading, std::move(error));
            return;
        }
        reading->status = std::move(*status);
        bus_.devices(guarded([this,
                              reading](std::optional<std::vector<platform::ControlDevice>> devices,
                                       std::optional<ControlError> error) {
            if (!devices) {
                finish(reading, std::move(error));
                return;
            }
            reading->devices = std::move(*devices);
            bus_.settings(
                guarded([this, reading](std::optional<std::map<std::string, std::string>> settings,
                                        std::optional<ControlError> error) {
                    // What a host that answers its state but not this (a version without it) leaves
                    // out is shown as not set.
                    if (!settings && error && error->name() == "not-running") {
                        finish(reading, std::move(error));
                        return;
                    }
                    reading->settings = settings.value_or(std::map<std::string, std::string>{});
                    // A pairing window is open and its PIN was not in the status (a host that
                    // does not tell everyone): ask as this program's window.
                    if (!reading->status.pinSecondsLeft || reading->status.pin) {
                        finish(reading, std::nullopt);
                        return;
                    }
                    bus_.pairingCode(guarded([this, reading](std::optional<std::string> pin,
                                                             std::optional<ControlError> error) {
                        if (!pin && error && error->name() == "not-running") {
                            finish(reading, std::move(error));
                            return;
                        }
                        // Not told (refused, or a host without the method): this window says where
                        // the code shows instead ("").
                        reading->pin = pin.value_or("");
                        finish(reading, std::nullopt);
                    }));
                }));
        }));
    }));
}

void RemoteFace::finish(std::shared_ptr<Reading> reading,
                        std::optional<platform::ControlError> error) {
    reading_ = false;
    if (!error) {
        status_ = reading->status;
        settings_ = std::move(reading->settings);
        permission_ = permissionOf(status_);
        const HostState state = hostStateOf(status_, reading->devices, reading->pin);
        move(FaceEvent::answered);
        if (shown_ != state) {
            shown_ = state;
            shell_->setState(state);
        }
    } else if (error->name() == "not-running") {
        // Its name has no owner: stopped (the bus says so as well; this covers a notice that
        // came before the watch was in place). A starting host is waited for.
        if (phase_ == FacePhase::live) {
            move(FaceEvent::vanished);
        }
    }
    // Any other failure (a host too busy to answer) is read again at the next poll.
    if (readAgain_) {
        readAgain_ = false;
        refresh();
    }
}

std::function<void(std::optional<platform::ControlError>)> RemoteFace::thenRead() {
    return guarded([this](std::optional<platform::ControlError>) { refresh(); });
}

void RemoteFace::beginPairing() {
    bus_.pair(thenRead());
}

void RemoteFace::endPairing() {
    bus_.cancel(thenRead());
}

void RemoteFace::disconnect(const std::string& deviceID) {
    bus_.disconnect(deviceID, thenRead());
}

void RemoteFace::unpair(const std::string& deviceID) {
    bus_.unpair(deviceID, thenRead());
}

bool RemoteFace::telemetryEnabled() {
    return status_.telemetry;
}

void RemoteFace::setTelemetryEnabled(bool enabled) {
    status_.telemetry = enabled; // as asked, until the host's answer says otherwise
    bus_.setTelemetry(enabled, thenRead());
}

bool RemoteFace::startsAtLogin() {
    return Autostart::isEnabled();
}

void RemoteFace::setStartsAtLogin(bool enabled) {
    Autostart::setEnabled(enabled, PermissionChecker::executablePath());
}

PermissionChecker::Status RemoteFace::permission() {
    return permission_;
}

std::optional<std::string> RemoteFace::grantKdeInput() {
    return writeKdeInputGrant(PermissionChecker::executablePath());
}

void RemoteFace::relaunch() {
    if (phase_ == FacePhase::live) {
        // The permission's fix takes effect in a new host process: the host starts over in
        // place, and this window shows it again when it is back.
        bus_.restart(thenRead());
        return;
    }
    // No host: a new quillon starts once this one has gone (it waits for the window's name)
    // and hosts in itself, or shows a host that came back meanwhile.
    PermissionChecker::spawnRelaunch(PermissionChecker::executablePath());
    move(FaceEvent::closed);
}

std::optional<std::string> RemoteFace::setting(const std::string& key) {
    const auto it = settings_.find(key);
    return it == settings_.end() ? std::nullopt : std::optional(it->second);
}

void RemoteFace::setSetting(const std::string& key, const std::string& value,
                            std::function<void(std::optional<std::string>)> done) {
    bus_.setSetting(
        key, value,
        guarded([this, done = std::move(done)](std::optional<platform::ControlError> error) {
            if (done) {
                done(error ? std::optional<std::string>(error->what()) : std::nullopt);
            }
            refresh();
        }));
}

std::string RemoteFace::computerName() {
    return status_.serviceName;
}

std::string RemoteFace::defaultComputerName() {
    return platform::prettyHostName();
}

void RemoteFace::showPermissions() {
    shell_->showPermissions();
}

void RemoteFace::quit() {
    move(FaceEvent::closed);
}

} // namespace quillon::shell
