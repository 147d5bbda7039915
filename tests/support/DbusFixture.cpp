#include "tests/support/DbusFixture.hpp"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace quillon::testing {

namespace {

void check(int r, const char* what) {
    if (r < 0) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(-r));
    }
}

} // namespace

DbusFixture::DbusFixture(Kind kind) : kind_(kind) {
    const std::string socket = dir_.path() + "/bus";
    const std::string config = dir_.path() + "/bus.conf";
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>"
            << (kind == Kind::session ? "session" : "system")
            << "</type>\n"
               "  <listen>unix:path="
            << socket
            << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow user=\"*\"/>\n"
               "    <allow own=\"*\"/>\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow receive_sender=\"*\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
    }
    ChildProcess::Options options;
    options.argv = {"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile",
                    "--print-address"};
    options.outputFile = dir_.path() + "/daemon.log";
    daemon_ = std::make_unique<ChildProcess>(std::move(options));
    address_ = "unix:path=" + socket;
    // The address is printed once the socket listens.
    const bool up = waitUntil(
        [&] { return daemon_->output().find("unix:") != std::string::npos || !daemon_->running(); },
        std::chrono::seconds(10));
    if (!up || !daemon_->running()) {
        throw std::runtime_error("dbus-daemon did not start: " + daemon_->output());
    }
}

DbusFixture::~DbusFixture() {
    kill();
}

const char* DbusFixture::envVar() const noexcept {
    return kind_ == Kind::session ? "DBUS_SESSION_BUS_ADDRESS" : "DBUS_SYSTEM_BUS_ADDRESS";
}

void DbusFixture::exportAddress() const {
    ::setenv(envVar(), address_.c_str(), 1);
}

void DbusFixture::kill() {
    if (daemon_) {
        daemon_->stop();
    }
}

DbusPeer::DbusPeer(const std::string& address) {
    check(sd_bus_new(&bus_), "sd_bus_new");
    check(sd_bus_set_address(bus_, address.c_str()), "sd_bus_set_address");
    check(sd_bus_set_bus_client(bus_, 1), "sd_bus_set_bus_client");
    check(sd_bus_start(bus_), "sd_bus_start");
    // Make sure Hello completed, so uniqueName() is known and the peer is fully on the bus.
    const char* unique = nullptr;
    check(sd_bus_get_unique_name(bus_, &unique), "sd_bus_get_unique_name");
}

DbusPeer::~DbusPeer() {
    sd_bus_flush_close_unref(bus_);
}

void DbusPeer::requestName(const std::string& name) {
    check(sd_bus_request_name(bus_, name.c_str(), 0), "sd_bus_request_name");
}

void DbusPeer::releaseName(const std::string& name) {
    check(sd_bus_release_name(bus_, name.c_str()), "sd_bus_release_name");
}

void DbusPeer::emitBool(const std::string& path, const std::string& interface,
                        const std::string& member, bool value) {
    check(sd_bus_emit_signal(bus_, path.c_str(), interface.c_str(), member.c_str(), "b",
                             static_cast<int>(value)),
          "sd_bus_emit_signal");
    check(sd_bus_flush(bus_), "sd_bus_flush");
}

void DbusPeer::emitPropertyChanged(const std::string& path, const std::string& interface,
                                   const std::string& property, bool value) {
    sd_bus_message* m = nullptr;
    check(sd_bus_message_new_signal(bus_, &m, path.c_str(), "org.freedesktop.DBus.Properties",
                                    "PropertiesChanged"),
          "new signal");
    int r = sd_bus_message_append(m, "s", interface.c_str());
    if (r >= 0) {
        r = sd_bus_message_append(m, "a{sv}", 1, property.c_str(), "b", static_cast<int>(value));
    }
    if (r >= 0) {
        r = sd_bus_message_append(m, "as", 0);
    }
    if (r >= 0) {
        r = sd_bus_send(bus_, m, nullptr);
    }
    sd_bus_message_unref(m);
    check(r, "PropertiesChanged");
    check(sd_bus_flush(bus_), "sd_bus_flush");
}

std::optional<int> DbusPeer::callInt(const std::string& destination, const std::string& path,
                                     const std::string& interface, const std::string& member) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::int32_t value = 0;
    const bool ok = sd_bus_call_method(bus_, destination.c_str(), path.c_str(), interface.c_str(),
                                       member.c_str(), &error, &reply, "") >= 0 &&
                    sd_bus_message_read(reply, "i", &value) >= 0;
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return ok ? std::optional<int>(value) : std::nullopt;
}

std::string DbusPeer::uniqueName() const {
    const char* unique = nullptr;
    check(sd_bus_get_unique_name(bus_, &unique), "sd_bus_get_unique_name");
    return unique;
}

} // namespace quillon::testing
