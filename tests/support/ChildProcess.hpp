#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace quillon::testing {

// A process a test starts and ends by its pid (never by name). Its stdout and stderr go to a
// file the test can read. The destructor sends SIGTERM, waits briefly, then SIGKILL.
class ChildProcess {
public:
    struct Options {
        std::vector<std::string> argv;
        // Variables to set (or, with an empty optional, to remove) on top of this process's
        // environment.
        std::map<std::string, std::optional<std::string>> env;
        std::string outputFile; // empty: /dev/null
        bool pipeStdin = false; // give the child a pipe for writeStdin()
        std::string workingDirectory;
    };

    explicit ChildProcess(Options options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const noexcept { return pid_; }
    bool running();
    // Sends the signal; true when the process existed.
    bool signal(int sig);
    // Waits for the exit; the exit status as waitpid reports it, or nothing on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // SIGTERM, a grace period, then SIGKILL. Idempotent.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    void writeStdin(const std::string& text);
    void closeStdin();
    // Everything the child wrote so far (stdout and stderr together).
    std::string output() const;
    const std::string& outputFile() const noexcept { return options_.outputFile; }

private:
    Options options_;
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    std::optional<int> status_;
    bool groupSwept_ = false;
};

// A fresh directory under the test's temporary area, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

// Polls `predicate` every few milliseconds until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

} // namespace quillon::testing
