#pragma once

#include "Quillon/Console/ConsoleText.hpp"
#include "Quillon/Host/PermissionChecker.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform {
class MainQueue;
}

namespace quillon {

class HostCoordinator;
class Telemetry;

// The console in a terminal (`quillon --headless`): prints each change of the coordinator's
// published state as it happens and runs one command per input line (see console::help()).
// Everything runs on the main queue.
class TerminalConsole : public std::enable_shared_from_this<TerminalConsole> {
public:
    using Permission = PermissionChecker::Status;
    struct Hooks {
        std::function<void(std::string_view text)> print; // one or more whole lines
        std::function<Permission()> permission;           // asked at attach and every second
        std::function<void()> quit;                       // the quit command
        std::chrono::milliseconds permissionPoll{1000};
        // The name both DNS-SD services are published under (what the tablet lists).
        std::string serviceName;
        // Seconds on the system clock, for the pairing window's expiry; the real clock when
        // empty.
        std::function<double()> clock;
        // Whether the input is a terminal: there Ctrl-D quits, as in a shell; a host whose
        // input is a pipe or /dev/null (a service) keeps running when it ends.
        bool interactive = false;
    };

    // `mainQueue` is the queue the coordinator publishes on (the permission poll runs there).
    TerminalConsole(std::shared_ptr<HostCoordinator> coordinator,
                    std::shared_ptr<Telemetry> telemetry,
                    std::shared_ptr<platform::MainQueue> mainQueue, Hooks hooks);
    ~TerminalConsole();

    // Prints the whole state once, then follows the coordinator and the permission.
    void attach();
    // Runs one input line.
    void execute(std::string_view line);
    // The input ended (Ctrl-D in a terminal).
    void endOfInput();
    // Prints the whole state again (a second start asked this host to show itself).
    void show();

private:
    void onChange(int field);
    void pollPermission();
    void printState();
    std::string deviceSection() const;
    double now() const;
    static std::string serviceLine(bool permitted);

    std::shared_ptr<HostCoordinator> coordinator_;
    std::shared_ptr<Telemetry> telemetry_;
    std::shared_ptr<platform::MainQueue> mainQueue_;
    Hooks hooks_;
    std::size_t observerToken_ = 0;
    std::optional<bool> permitted_;
    bool justAuthorized_ = false;
};

} // namespace quillon
