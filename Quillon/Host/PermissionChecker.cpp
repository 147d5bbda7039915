#include "Quillon/Host/PermissionChecker.hpp"

#include "Platform/Permission/InputPermission.hpp"
#include "Quillon/Host/Version.hpp"

#include <cerrno>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quillon::PermissionChecker {

namespace {

// Spawns argv (PATH searched), and reaps the child on a detached thread so no zombie stays
// behind in a long-running host. True when the process started.
bool spawnDetached(const std::vector<std::string>& args, bool searchPath,
                   const std::vector<std::string>& extraEnvironment = {}) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    for (const auto& e : extraEnvironment) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = searchPath
                       ? ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data())
                       : ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data());
    if (rc != 0) {
        return false;
    }
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

} // namespace

Status status(const platform::InputPermission& answer) {
    Status out{answer.permitted, answer.reason, {}};
    if (!answer.permitted) {
        out.fix = fixFor(answer.reason);
    }
    return out;
}

std::string fixFor(const std::string& reason) {
    // Input through the kernel would do (a session without an input interface), or was chosen:
    // /dev/uinput is missing or not this user's.
    if (reason.find("uinput") != std::string::npos) {
        return "let Quillon use the kernel's input (/dev/uinput): install its Debian package, or "
               "after building from source run \"sudo scripts/install-uinput-access\" once; it "
               "takes effect at once for the user logged in at the seat";
    }
    if (reason.find("Wayland") != std::string::npos) {
        return "run Quillon in an X11 session, or in a Wayland desktop whose input backend "
               "Quillon supports";
    }
    if (reason.find("no DISPLAY") != std::string::npos) {
        return "run Quillon inside your desktop session (started from its menu, its autostart "
               "or a terminal of that session), where DISPLAY is set";
    }
    if (reason.find("XTest") != std::string::npos) {
        return "enable the XTEST extension of the X server (it is on unless the server was "
               "started with -extension XTEST)";
    }
    if (reason.find("cannot connect") != std::string::npos) {
        return "check that the X server is running and that this user may connect to it "
               "(XAUTHORITY, xhost)";
    }
    return "see the section \"Input on Linux\" of Quillon's README";
}

std::string settingsTarget() {
    for (const std::filesystem::path dir : {kDocumentationDir, kSourceDir}) {
        const auto readme = dir / "README.md";
        std::error_code ec;
        if (!dir.empty() && std::filesystem::is_regular_file(readme, ec)) {
            return readme.string();
        }
    }
    return {};
}

void openAccessibilitySettings() {
    const auto target = settingsTarget();
    if (!target.empty()) {
        spawnDetached({"xdg-open", target}, true);
    }
}

std::string relaunchCommand(const std::string& executablePath) {
    std::string quoted = "\"";
    for (const char c : executablePath) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') {
            quoted += '\\';
        }
        quoted += c;
    }
    quoted += '"';
    return "sleep 1; exec " + quoted;
}

std::vector<std::string> relaunchArguments(const std::string& executablePath) {
    return {"/bin/sh", "-c", relaunchCommand(executablePath)};
}

bool spawnRelaunch(const std::string& executablePath) {
    // The new instance waits for this one's single-instance lock instead of handing over to
    // it (this one may still be shutting down when the shell's sleep ends).
    return spawnDetached(relaunchArguments(executablePath), false,
                         {std::string(kRelaunchedVariable) + "=1"});
}

void relaunch(const std::function<void()>& quit) {
    spawnRelaunch(executablePath()); // a failed start is not reported: the host quits anyway
    if (quit) {
        quit();
    }
}

std::string executablePath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("quillon");
}

} // namespace quillon::PermissionChecker
