#include "tests/support/ChildProcess.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quillon::testing {

ChildProcess::ChildProcess(Options options) : options_(std::move(options)) {
    if (options_.argv.empty()) {
        throw std::invalid_argument("ChildProcess needs a program");
    }
    // Build everything before fork: the child may only call async-signal-safe functions.
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv(*e);
        const auto eq = kv.find('=');
        if (eq != std::string::npos) {
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
    }
    for (const auto& [k, v] : options_.env) {
        if (v) {
            env[k] = *v;
        } else {
            env.erase(k);
        }
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env) {
        envStrings.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& a : options_.argv) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const std::string out = options_.outputFile.empty() ? "/dev/null" : options_.outputFile;
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (outFd < 0) {
        throw std::runtime_error("cannot open " + out + ": " + std::strerror(errno));
    }
    int inPipe[2] = {-1, -1};
    if (options_.pipeStdin && ::pipe2(inPipe, O_CLOEXEC) != 0) {
        ::close(outFd);
        throw std::runtime_error("pipe failed");
    }
    const char* cwd =
        options_.workingDirectory.empty() ? nullptr : options_.workingDirectory.c_str();

    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(outFd);
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::setpgid(0, 0); // own process group, so a stray signal to ours does not reach it
        const int in = options_.pipeStdin ? inPipe[0] : ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(outFd, 1);
        ::dup2(outFd, 2);
        if (cwd != nullptr && ::chdir(cwd) != 0) {
            ::_exit(126);
        }
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(outFd);
    if (options_.pipeStdin) {
        ::close(inPipe[0]);
        stdinFd_ = inPipe[1];
    }
}

ChildProcess::~ChildProcess() {
    stop();
    closeStdin();
}

bool ChildProcess::running() {
    if (status_) {
        return false;
    }
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        return false;
    }
    return r == 0;
}

bool ChildProcess::signal(int sig) {
    return running() && ::kill(pid_, sig) == 0;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return;
    }
    if (running()) {
        ::kill(pid_, SIGTERM);
        if (!wait(grace)) {
            ::kill(pid_, SIGKILL);
            wait(std::chrono::milliseconds(5000));
        }
    }
    // What the child left behind in its process group goes with it: a copy it forked that
    // never reached its exec (seen with GNOME Shell, whose start then stalled) or a helper it
    // started would otherwise outlive the test, reparented to init.
    if (!groupSwept_) {
        groupSwept_ = true;
        ::kill(-pid_, SIGKILL);
    }
}

void ChildProcess::writeStdin(const std::string& text) {
    if (stdinFd_ < 0) {
        throw std::logic_error("child has no stdin pipe");
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(stdinFd_, text.data() + done, text.size() - done);
        if (n <= 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("write to child stdin failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::closeStdin() {
    if (stdinFd_ >= 0) {
        ::close(stdinFd_);
        stdinFd_ = -1;
    }
}

std::string ChildProcess::output() const {
    if (options_.outputFile.empty()) {
        return {};
    }
    std::ifstream in(options_.outputFile, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/quillon-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace quillon::testing
