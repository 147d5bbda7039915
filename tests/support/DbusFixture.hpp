#pragma once

#include "tests/support/ChildProcess.hpp"

#include <memory>
#include <optional>
#include <string>

struct sd_bus;

namespace quillon::testing {

// A private dbus-daemon for one test: its own config and socket in a temporary directory, a
// permissive policy (any connection may own any name and send anything), stopped by pid in the
// destructor. `session` and `system` differ only in the bus type the daemon announces; point
// the code under test at it by exporting address() under envVar().
class DbusFixture {
public:
    enum class Kind { session, system };

    explicit DbusFixture(Kind kind = Kind::session);
    ~DbusFixture();
    DbusFixture(const DbusFixture&) = delete;
    DbusFixture& operator=(const DbusFixture&) = delete;

    // "unix:path=..." of the daemon's socket.
    const std::string& address() const noexcept { return address_; }
    // DBUS_SESSION_BUS_ADDRESS or DBUS_SYSTEM_BUS_ADDRESS.
    const char* envVar() const noexcept;
    // setenv(envVar(), address()) for code that reads the environment itself.
    void exportAddress() const;
    pid_t pid() const noexcept { return daemon_ ? daemon_->pid() : -1; }
    // Ends the daemon (a bus going away under its clients).
    void kill();

private:
    Kind kind_;
    TempDir dir_;
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
};

// A client connection to a bus, for tests that play the other side: own a name, emit signals.
class DbusPeer {
public:
    explicit DbusPeer(const std::string& address);
    ~DbusPeer();
    DbusPeer(const DbusPeer&) = delete;
    DbusPeer& operator=(const DbusPeer&) = delete;

    void requestName(const std::string& name);
    void releaseName(const std::string& name);
    // A signal whose only argument is one boolean (e.g. ActiveChanged(b)).
    void emitBool(const std::string& path, const std::string& interface, const std::string& member,
                  bool value);
    // org.freedesktop.DBus.Properties.PropertiesChanged(interface, {property: <b>}, []).
    void emitPropertyChanged(const std::string& path, const std::string& interface,
                             const std::string& property, bool value);
    std::string uniqueName() const;
    // Calls a method without arguments that answers one int32; nothing on any error.
    std::optional<int> callInt(const std::string& destination, const std::string& path,
                               const std::string& interface, const std::string& member);

private:
    sd_bus* bus_ = nullptr;
};

} // namespace quillon::testing
