#include "tests/support/AvahiFixture.hpp"
#include "tests/support/SanitizerSuppressions.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace quillon::testing {

namespace {

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

// Splits one line of `avahi-browse -p` on unescaped semicolons.
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == ';') {
            out.emplace_back();
        } else {
            out.back() += line[i];
        }
    }
    return out;
}

// avahi-browse -p escapes names as \DDD (decimal).
std::string unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() + 0 &&
            std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 3)));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

AvahiFixture::Directory::Directory() {
    const char* base = std::getenv("TMPDIR");
    path = std::string(base != nullptr ? base : "/tmp") + "/quillon-avahi-" +
           std::to_string(::getpid());
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
}

AvahiFixture::Directory::~Directory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

AvahiFixture::AvahiFixture() {
    linkSanitizerSuppressions();
    const std::string socket = dir_.path + "/system_bus_socket";
    busAddress_ = "unix:path=" + socket;
    writeFile(dir_.path + "/bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>system</type>\n"
              "  <listen>" +
                  busAddress_ +
                  "</listen>\n"
                  "  <auth>EXTERNAL</auth>\n"
                  "  <policy context=\"default\">\n"
                  "    <allow user=\"*\"/>\n"
                  "    <allow own=\"*\"/>\n"
                  "    <allow send_type=\"method_call\"/>\n"
                  "    <allow send_destination=\"*\"/>\n"
                  "    <allow receive_sender=\"*\"/>\n"
                  "  </policy>\n"
                  "</busconfig>\n");
    writeFile(dir_.path + "/avahi-daemon.conf",
              "[server]\nhost-name=quillon-test-" + std::to_string(::getpid()) +
                  "\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\n"
                  "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\n"
                  "publish-workstation=no\n");

    bus_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"dbus-daemon", "--config-file=" + dir_.path + "/bus.conf", "--nofork", "--nopidfile"},
        {},
        dir_.path + "/dbus.log"});
    struct stat st {};
    if (!waitUntil([&] { return ::stat(socket.c_str(), &st) == 0; },
                   std::chrono::milliseconds(5000))) {
        throw std::runtime_error("the private dbus-daemon did not come up: " + bus_->output());
    }
    if (const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
        hadPreviousBusAddress_ = true;
        previousBusAddress_ = previous;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);
    startDaemon();
}

AvahiFixture::~AvahiFixture() {
    stopDaemon();
    if (bus_) {
        bus_->stop();
    }
    if (hadPreviousBusAddress_) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previousBusAddress_.c_str(), 1);
    } else {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

std::map<std::string, std::optional<std::string>> AvahiFixture::environment() const {
    return {{"DBUS_SYSTEM_BUS_ADDRESS", busAddress_}};
}

void AvahiFixture::startDaemon() {
    if (avahi_ && avahi_->running()) {
        return;
    }
    const std::string log = dir_.path + "/avahi.log";
    ::truncate(log.c_str(), 0);
    // A private /run: avahi-daemon keeps its pid file and socket under /run/avahi-daemon and
    // refuses to start when another daemon's pid file is there.
    avahi_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"unshare", "--mount", "--propagation", "private", "sh", "-c",
         "mount -t tmpfs none /run && exec avahi-daemon -f '" + dir_.path +
             "/avahi-daemon.conf' --no-drop-root --no-chroot --no-rlimits --no-proc-title"},
        environment(),
        log});
    if (!waitUntil(
            [&] {
                return avahi_->output().find("Server startup complete") != std::string::npos ||
                       !avahi_->running();
            },
            std::chrono::milliseconds(10000)) ||
        !avahi_->running()) {
        throw std::runtime_error("avahi-daemon did not come up: " + avahi_->output());
    }
}

void AvahiFixture::stopDaemon() {
    if (avahi_) {
        avahi_->stop();
        avahi_.reset();
    }
}

std::vector<AvahiFixture::Browsed> AvahiFixture::browse(const std::string& type) {
    const std::string out = dir_.path + "/browse.out";
    ::truncate(out.c_str(), 0);
    ChildProcess browser(ChildProcess::Options{
        {"avahi-browse", "--resolve", "--terminate", "--parsable", "--no-db-lookup", type},
        environment(),
        out});
    browser.wait(std::chrono::milliseconds(10000));
    std::vector<Browsed> found;
    std::istringstream lines(browser.output());
    std::string line;
    while (std::getline(lines, line)) {
        const auto f = fields(line);
        // =;interface;protocol;name;type;domain;host;address;port;txt
        if (f.size() >= 10 && f[0] == "=") {
            std::string txt = f[9];
            if (txt.size() >= 2 && txt.front() == '"' && txt.back() == '"') {
                txt = txt.substr(1, txt.size() - 2);
            }
            found.push_back(
                {unescape(f[3]), f[7], static_cast<std::uint16_t>(std::stoi(f[8])), txt});
        }
    }
    return found;
}

} // namespace quillon::testing
