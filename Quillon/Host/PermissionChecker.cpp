#include "Quillon/Host/PermissionChecker.hpp"

#include "Platform/Permission/InputPermission.hpp"
#include "Quillon/Host/Version.hpp"

#include <cerrno>
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
