#include "tests/support/SwayFixture.hpp"

#include "Platform/Input/SwayIpc.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillon::testing {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kCompositorUser = "quillon-compositor";

// The unprivileged user compositors run as when the tests run as root; created once.
const passwd* compositorUser() {
    if (const passwd* pw = ::getpwnam(kCompositorUser)) {
        return pw;
    }
    ChildProcess add({.argv = {"useradd", "--system", "--no-create-home", "--shell",
                               "/usr/sbin/nologin", kCompositorUser}});
    add.wait(30s);
    // Another test may have created it meanwhile: only the user's existence matters.
    const passwd* pw = ::getpwnam(kCompositorUser);
    if (pw == nullptr) {
        throw std::runtime_error("cannot create the user quillon-compositor for Sway");
    }
    return pw;
}

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

} // namespace

SwayServer::SwayServer() : SwayServer(Options{}) {}

SwayServer::SwayServer(Options options) : options_(std::move(options)) {
    dir_ = std::make_unique<TempDir>();
    runtime_ = dir_->path() + "/runtime";
    ::mkdir(runtime_.c_str(), 0700);
    std::vector<std::string> argv;
    if (::geteuid() == 0) {
        const passwd* pw = compositorUser();
        // The compositor user must reach its runtime directory (and only that) inside ours.
        ::chmod(dir_->path().c_str(), 0711);
        if (::chown(runtime_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            throw std::runtime_error("cannot hand the runtime directory to quillon-compositor");
        }
        argv = {"setpriv", "--reuid=" + std::to_string(pw->pw_uid),
                "--regid=" + std::to_string(pw->pw_gid), "--clear-groups", "--reset-env"};
    }

    const std::string config = dir_->path() + "/config";
    {
        std::ofstream out(config);
        out << "xwayland disable\n"
               "default_border none\n"
               "default_floating_border none\n"
               "focus_follows_mouse no\n"
               "workspace_auto_back_and_forth no\n";
        for (std::size_t i = 0; i < options_.outputs.size(); ++i) {
            const auto& o = options_.outputs[i];
            out << "output " << (o.name.empty() ? "HEADLESS-" + std::to_string(i + 1) : o.name)
                << " resolution " << o.width << "x" << o.height << " position " << o.x << " " << o.y
                << " scale " << o.scale << "\n";
        }
        for (const auto& line : options_.extraConfig) {
            out << line << "\n";
        }
    }
    ::chmod(config.c_str(), 0644);
    argv.insert(argv.end(), {"sway", "--config", config});

    ChildProcess::Options o;
    o.argv = argv;
    o.outputFile = dir_->path() + "-sway.log";
    o.env = {
        {"XDG_RUNTIME_DIR", runtime_},
        {"HOME", runtime_},
        {"PATH", "/usr/local/bin:/usr/bin:/bin"},
        {"WLR_BACKENDS", "headless"},
        {"WLR_HEADLESS_OUTPUTS", std::to_string(options_.outputs.size())},
        {"WLR_LIBINPUT_NO_DEVICES", "1"},
        {"WLR_RENDERER", "pixman"},
        {"XKB_DEFAULT_LAYOUT",
         options_.xkbLayout.empty() ? std::optional<std::string>() : options_.xkbLayout},
        {"DISPLAY", std::nullopt},
        {"WAYLAND_DISPLAY", std::nullopt},
        {"SWAYSOCK", std::nullopt},
    };
    // setpriv --reset-env keeps only a few variables: pass ours on the command line instead.
    if (::geteuid() == 0) {
        std::vector<std::string> envArgs = {"env"};
        for (const auto& [k, v] : o.env) {
            if (v) {
                envArgs.push_back(k + "=" + *v);
            }
        }
        o.argv.insert(o.argv.end() - 3, envArgs.begin(), envArgs.end());
    }
    sway_ = std::make_unique<ChildProcess>(o);

    const bool up = waitUntil(
        [&] {
            if (!sway_->running()) {
                return true;
            }
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(runtime_, ec)) {
                const std::string name = entry.path().filename();
                if (name.rfind("wayland-", 0) == 0 && name.find(".lock") == std::string::npos) {
                    display_ = entry.path();
                } else if (name.rfind("sway-ipc.", 0) == 0) {
                    ipc_ = entry.path();
                }
            }
            return !display_.empty() && !ipc_.empty() && connectable(display_) &&
                   connectable(ipc_) && focusedWorkspace() != "";
        },
        20s);
    if (!up || !sway_->running() ||
        sway_->output().find("Error(s) loading config") != std::string::npos) {
        const std::string log = sway_->output();
        sway_->stop();
        throw std::runtime_error("headless Sway did not start as configured:\n" + log);
    }
}

SwayServer::~SwayServer() {
    stop();
    std::error_code ec;
    fs::remove(dir_->path() + "-sway.log", ec);
}

void SwayServer::stop() {
    if (sway_) {
        sway_->stop();
    }
}

std::optional<std::string> SwayServer::command(const std::string& command) const {
    return platform::SwayIpc(ipc_).request(platform::SwayIpc::Type::runCommand, command);
}

std::string SwayServer::focusedWorkspace() const {
    const auto reply = platform::SwayIpc(ipc_).request(platform::SwayIpc::Type::getWorkspaces, {});
    if (!reply) {
        return {};
    }
    for (const auto& ws :
         platform::parseSwayWorkspaces(*reply).value_or(std::vector<platform::SwayWorkspace>{})) {
        if (ws.focused) {
            return ws.name;
        }
    }
    return {};
}

} // namespace quillon::testing
