#include "Platform/Diagnostics/DiagLog.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform::DiagLog {

namespace {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return home;
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return pw->pw_dir;
    }
    return "/";
}

std::string logDirectory() {
    // The base directory spec says relative values are invalid and must be ignored.
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
        return std::string(state) + "/corvane";
    }
    return homeDirectory() + "/.local/state/corvane";
}

// mkdir -p; the directories we create are private (0700). Failures surface in the open.
void makeDirectories(const std::string& dir) {
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            const std::string prefix = dir.substr(0, pos);
            if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
                return;
            }
        }
    }
}

int openLog(const std::string& file) {
    return ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                  0600);
}

} // namespace

std::string path() {
    return logDirectory() + "/Corvane-diag.log";
}

std::string formatLine(std::chrono::system_clock::time_point when, std::string_view message) {
    using namespace std::chrono;
    // floor, not truncation: times before 1970 must not borrow a second.
    const auto ms = floor<milliseconds>(when).time_since_epoch().count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    long millis = static_cast<long>(ms % 1000);
    if (millis < 0) {
        millis += 1000;
        secs -= 1;
    }
    std::tm tm{};
    ::gmtime_r(&secs, &tm);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    std::string line = stamp;
    line.reserve(line.size() + message.size() + 1);
    // One event is one line: a message that carries a line break (an error description, say)
    // must not forge a second, undated line.
    for (char c : message) {
        line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    }
    line.push_back('\n');
    return line;
}

void write(std::string_view message) {
    const std::string line = formatLine(std::chrono::system_clock::now(), message);
    const std::string dir = logDirectory();
    const std::string file = dir + "/Corvane-diag.log";
    int fd = openLog(file);
    if (fd < 0 && errno == ENOENT) {
        makeDirectories(dir);
        fd = openLog(file);
    }
    if (fd < 0) {
        return;
    }
    // One write(2) per line on an O_APPEND descriptor: concurrent writers, threads or
    // processes, never interleave within a line. A short write (disk full) is ignored.
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    ::close(fd);
}

} // namespace quillon::platform::DiagLog
