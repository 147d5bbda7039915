#pragma once

#include "Platform/Control/ControlBus.hpp"
#include "Quillon/Host/HostState.hpp"
#include "Quillon/Shell/DesktopShell.hpp"
#include "Quillon/Shell/ShellActions.hpp"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace quillon::platform {
class WindowBus;
}

namespace quillon::shell {

// Where the window of a host that runs elsewhere is in its life. Only RemoteFace moves it, and
// only along faceTransition().
enum class FacePhase {
    connecting, // waiting for the host's first answer (it may still be starting)
    live,       // the host's state is shown; the window's commands go to the host
    hostGone,   // the host stopped, or never answered: the window says so and offers to start
                // Quillon here; a host that comes back is shown again
    closed,     // the window quit (or handed over to a Quillon it started): nothing more happens
};

// What happens to it.
enum class FaceEvent {
    answered, // a read of the host's state was answered
    vanished, // the host's bus name lost its owner: it stopped
    appeared, // the host's bus name got an owner: a host started (again)
    gaveUp,   // no answer within the wait for a starting host
    closed,   // the user quit the window, or started Quillon here
};

const char* rawValue(FacePhase phase) noexcept;
const char* rawValue(FaceEvent event) noexcept;

// The phase after `event` in `from`, or nothing when the event changes nothing there. closed
// ends every phase and nothing leaves it.
std::optional<FacePhase> faceTransition(FacePhase from, FaceEvent event) noexcept;

// The desktop program as the window of a host that runs in another process (`quillon
// --headless`, the systemd user unit): the same tray, console and permission windows, their
// state read over the control interface and their commands sent there, nothing blocking the
// GUI thread (WindowBus on Qt's loop).
//
// What it reads: Status(), Devices(), Settings() and, while a pairing window is open,
// PairingCode() (the host tells its PIN only to its own program's window), all again when the
// host signals Changed(), after each command, and every `poll` (the input permission, which
// the host does not signal). While the host is away (starting, stopped) the window says so
// instead of showing a state that no longer holds; the one window of the session stays (its
// bus name), and shows the host again when it comes back.
//
// Its choices: Quit closes this window only (the host is a service of the session, often the
// user unit, and the tablet keeps working without a window; `quillon ctl quit` or systemctl
// stop it). "Start Quillon", offered while the host is gone, starts a new `quillon` once this
// one has quit: it hosts in itself, or becomes the window of a host that came back meanwhile.
// The permission's restart asks the host to start again in place (Restart()). Start at login
// and KDE's grant are the user's own files, written here.
class RemoteFace : public ShellActions {
public:
    struct Options {
        std::chrono::milliseconds poll{1000};
        // How long a starting host may take to answer before the window says it is not running.
        std::chrono::milliseconds connectWait{10000};
        bool trayIcon = true;
    };
    // `bus` holds the session's window name and is run on Qt's loop by the caller; `quit` ends
    // the program (from the main thread, after the current event).
    RemoteFace(platform::WindowBus& bus, std::function<void()> quit, Options options);
    ~RemoteFace() override;

    FacePhase phase() const noexcept { return phase_; }
    DesktopShell& shell() noexcept { return *shell_; }

    void beginPairing() override;
    void endPairing() override;
    void disconnect(const std::string& deviceID) override;
    void unpair(const std::string& deviceID) override;
    bool telemetryEnabled() override;
    void setTelemetryEnabled(bool enabled) override;
    bool startsAtLogin() override;
    void setStartsAtLogin(bool enabled) override;
    PermissionChecker::Status permission() override;
    std::optional<std::string> grantKdeInput() override;
    void relaunch() override;
    std::optional<std::string> setting(const std::string& key) override;
    void setSetting(const std::string& key, const std::string& value,
                    std::function<void(std::optional<std::string>)> done) override;
    std::string computerName() override;
    std::string defaultComputerName() override;
    void showPermissions() override;
    void quit() override;

private:
    struct Reading; // one read of the host's state, across its calls
    void refresh();
    void read(std::shared_ptr<Reading> reading);
    void finish(std::shared_ptr<Reading> reading, std::optional<platform::ControlError> error);
    void move(FaceEvent event);
    // `work` on this face, if it still exists when the bus delivers.
    template <typename F> auto guarded(F work);
    // What a command's answer does: the state read again (its effect, or its failure's).
    std::function<void(std::optional<platform::ControlError>)> thenRead();
    platform::WindowBus& bus_;
    std::function<void()> quit_;
    Options options_;
    FacePhase phase_ = FacePhase::connecting;
    platform::ControlState status_;
    std::map<std::string, std::string> settings_;
    PermissionChecker::Status permission_;
    std::optional<HostState> shown_;
    bool reading_ = false;
    bool readAgain_ = false;
    std::unique_ptr<DesktopShell> shell_;
    std::unique_ptr<QObject> context_; // owner of timers' connections: none runs after this
    // Held by this face only: the bus's callbacks hold it weakly and do nothing once it is
    // gone (the bus outlives the face).
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
    QTimer poll_;
    QTimer countdown_;
    QTimer connectWait_;
};

} // namespace quillon::shell
