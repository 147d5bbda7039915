#include "Quillon/Host/PermissionChecker.hpp"

#include "Platform/Permission/InputPermission.hpp"
#include "Quillon/Host/Version.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string_view>
#include <unistd.h>

extern char** environ;

namespace quillon::PermissionChecker {

namespace {

// Spawns argv (PATH searched when asked); true when the process started. It is not waited
// for: the one caller quits right after (relaunch()), and init reaps the orphan.
bool spawnUnwaited(const std::vector<std::string>& args, bool searchPath,
                   const std::vector<std::string>& extraEnvironment = {}, bool ownSession = false) {
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
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    if (ownSession) {
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    }
    const int rc =
        searchPath ? ::posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data())
                   : ::posix_spawn(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
    ::posix_spawnattr_destroy(&attributes);
    return rc == 0;
}

} // namespace

Status status(const platform::InputPermission& answer, PermissionGuide::Situation situation) {
    Status out{answer.permitted, answer.reason, {}};
    if (!answer.permitted) {
        out.guide = guideFor(situation, executablePath());
    }
    return out;
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
    return spawnUnwaited(relaunchArguments(executablePath), false,
                         {std::string(kRelaunchedVariable) + "=1"});
}

void relaunch(const std::function<void()>& quit) {
    spawnRelaunch(executablePath()); // a failed start is not reported: the host quits anyway
    if (quit) {
        quit();
    }
}

bool spawnDetached(const std::vector<std::string>& arguments) {
    std::vector<std::string> args{executablePath()};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return spawnUnwaited(args, false, {}, true);
}

std::string restartInPlace(const std::vector<std::string>& arguments) {
    // The file at the path this binary was started from: after a package upgrade replaced it
    // the kernel names the old one "<path> (deleted)", and the new one is what the user
    // installed.
    std::string path = executablePath();
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted)) {
        path.resize(path.size() - deleted.size());
    }
    std::vector<std::string> args{path};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ::setenv(kRelaunchedVariable, "1", 1);
    // The run before has closed what it opened, but a descriptor a library kept (or one made
    // without close-on-exec, as asio's sockets are) would live on unseen in the new image: a
    // listener still bound to the port the new run wants, say. None but the standard three
    // cross over.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execv(path.c_str(), argv.data());
    const int error = errno;
    ::unsetenv(kRelaunchedVariable);
    return std::strerror(error);
}

std::string executablePath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("quillon");
}

} // namespace quillon::PermissionChecker
