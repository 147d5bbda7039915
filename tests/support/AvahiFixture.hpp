#pragma once

#include "tests/support/ChildProcess.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillon::testing {

// A private system bus (dbus-daemon on a socket in a temporary directory, a policy that lets
// avahi own its name) and an avahi-daemon limited to the loopback interface, in a mount
// namespace of its own so its pid file and socket never meet a real daemon's. While the fixture
// lives, DBUS_SYSTEM_BUS_ADDRESS of this process points at the private bus. Both daemons are
// ended by pid. libdbus reads the bus address once per process, so every fixture of a process
// uses the same socket path (one fixture at a time).
class AvahiFixture {
public:
    AvahiFixture();
    ~AvahiFixture();

    const std::string& busAddress() const noexcept { return busAddress_; }
    // The environment a child (avahi-browse, the command-line client) needs.
    std::map<std::string, std::optional<std::string>> environment() const;

    // Stops and restarts avahi-daemon alone (the bus stays).
    void stopDaemon();
    void startDaemon();

    struct Browsed {
        std::string name;
        std::string address;
        std::uint16_t port = 0;
        std::string txt; // as avahi-browse -p prints it, e.g. "salt=..."
    };
    // Resolved services of `type` that avahi-browse lists (it waits for the cache to settle).
    std::vector<Browsed> browse(const std::string& type);

private:
    struct Directory {
        Directory();
        ~Directory();
        std::string path;
    };
    Directory dir_;
    std::string busAddress_;
    std::string previousBusAddress_;
    bool hadPreviousBusAddress_ = false;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> avahi_;
};

} // namespace quillon::testing
