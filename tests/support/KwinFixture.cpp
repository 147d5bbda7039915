#include "tests/support/KwinFixture.hpp"

#include <wayland-client.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillon::testing {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool connectable(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, path.size());
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// Whether the compositor at `display` announces a global of that interface yet.
bool announces(const std::string& display, const char* interface) {
    wl_display* d = wl_display_connect(display.c_str());
    if (d == nullptr) {
        return false;
    }
    struct Scan {
        const char* wanted;
        bool found = false;
    } scan{interface};
    static constexpr wl_registry_listener listener{
        [](void* data, wl_registry*, std::uint32_t, const char* name, std::uint32_t) {
            auto* s = static_cast<Scan*>(data);
            s->found = s->found || std::strcmp(name, s->wanted) == 0;
        },
        [](void*, wl_registry*, std::uint32_t) {}};
    wl_registry* registry = wl_display_get_registry(d);
    wl_registry_add_listener(registry, &listener, &scan);
    wl_display_roundtrip(d);
    wl_registry_destroy(registry);
    wl_display_disconnect(d);
    return scan.found;
}

} // namespace

KwinServer::KwinServer() : KwinServer(Options{}) {}

KwinServer::KwinServer(Options options) : options_(std::move(options)) {
    dir_ = std::make_unique<TempDir>();
    bus_ = std::make_unique<DbusFixture>(DbusFixture::Kind::session);
    const std::string base = dir_->path();
    for (const char* sub : {"/bin", "/runtime", "/config", "/data/applications", "/home"}) {
        fs::create_directories(base + sub);
    }
    fs::permissions(base + "/runtime", fs::perms::owner_all, fs::perm_options::replace);
    const std::string binary = base + "/bin/kwin_wayland";
    fs::copy_file("/usr/bin/kwin_wayland", binary);
    fs::permissions(binary,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::replace);
    {
        std::ofstream out(base + "/config/kwinrc");
        out << "[Desktops]\nNumber=" << options_.desktops << "\nRows=1\n";
    }
    if (options_.grantFakeInput) {
        std::string exe = options_.granted;
        if (exe.empty()) {
            exe = fs::read_symlink("/proc/self/exe");
        }
        std::ofstream out(base + "/data/applications/quillon-tests.desktop");
        out << "[Desktop Entry]\nType=Application\nName=Quillon tests\nNoDisplay=true\nExec=" << exe
            << "\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n";
    }

    display_ = base + "/runtime/wayland-quillon";
    ChildProcess::Options o;
    o.argv = {binary,
              "--virtual",
              "--width",
              std::to_string(options_.width),
              "--height",
              std::to_string(options_.height),
              "--no-lockscreen",
              "--no-global-shortcuts",
              "--socket",
              "wayland-quillon"};
    o.outputFile = base + "/kwin.log";
    o.env = {
        {"XDG_RUNTIME_DIR", base + "/runtime"},
        {"HOME", base + "/home"},
        {"XDG_CONFIG_HOME", base + "/config"},
        {"XDG_DATA_HOME", base + "/data"},
        {"XDG_DATA_DIRS", base + "/data:/usr/local/share:/usr/share"},
        {"XDG_CACHE_HOME", base + "/home/.cache"},
        {"DBUS_SESSION_BUS_ADDRESS", bus_->address()},
        {"DISPLAY", std::nullopt},
        {"WAYLAND_DISPLAY", std::nullopt},
        {"QT_QPA_PLATFORM", std::nullopt},
        {"XDG_SESSION_TYPE", std::nullopt},
        {"XDG_CURRENT_DESKTOP", "KDE"},
    };
    kwin_ = std::make_unique<ChildProcess>(o);
    const bool up = waitUntil(
        [&] {
            // Started: its output is announced (and, when granted, fake input with it).
            return !kwin_->running() ||
                   (connectable(display_) && announces(display_, "wl_output") &&
                    (!options_.grantFakeInput || !options_.granted.empty() ||
                     announces(display_, "org_kde_kwin_fake_input")));
        },
        30s);
    if (!up || !kwin_->running()) {
        const std::string log = kwin_->output();
        kwin_->stop();
        throw std::runtime_error("headless KWin did not start:\n" + log);
    }
}

KwinServer::~KwinServer() {
    stop();
}

void KwinServer::stop() {
    if (kwin_) {
        kwin_->stop();
    }
}

} // namespace quillon::testing
