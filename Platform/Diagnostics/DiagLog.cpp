#include "Platform/Diagnostics/DiagLog.hpp"

#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Paths/BaseDirectories.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform::DiagLog {

namespace {

std::string logDirectory() {
    return baseDirectory(BaseDirectory::state) + "/corvane";
}

int openLog(const std::string& file) {
    return ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                  0600);
}

} // namespace

std::string path() {
    return logDirectory() + "/Corvane-diag.log";
}

namespace {

// The log's directory appended to `out`: $XDG_STATE_HOME (when absolute) or ~/.local/state, and
// "/corvane". Without an allocation when $HOME is set (write() reuses its buffers).
void appendLogDirectory(std::string& out) {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        out += state;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        out += home;
        out += "/.local/state";
    } else {
        out += baseDirectory(BaseDirectory::state);
    }
    out += "/corvane";
}

void appendLine(std::string& line, std::chrono::system_clock::time_point when,
                std::string_view message) {
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
    // One event is one line: a message that carries a line break or a terminal control (client
    // text, an error description) must not forge a second, undated line or act on a terminal
    // that shows the log; and no message, however long its client field, costs more than a few
    // hundred bytes.
    line += stamp;
    appendSafeText(line, message, maxMessageBytes);
    line.push_back('\n');
}

} // namespace

std::string formatLine(std::chrono::system_clock::time_point when, std::string_view message) {
    std::string line;
    appendLine(line, when, message);
    return line;
}

void write(std::string_view message) {
    // The buffers are kept per thread: a line written on the input path (the injection
    // statistics) allocates nothing once they have grown.
    thread_local std::string line;
    thread_local std::string dir;
    thread_local std::string file;
    line.clear();
    appendLine(line, std::chrono::system_clock::now(), message);
    dir.clear();
    appendLogDirectory(dir);
    file.assign(dir);
    file += "/Corvane-diag.log";
    int fd = openLog(file);
    if (fd < 0 && errno == ENOENT) {
        makePrivateDirectories(dir);
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
