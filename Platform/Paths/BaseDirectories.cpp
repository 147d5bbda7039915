#include "Platform/Paths/BaseDirectories.hpp"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::platform {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return home;
    }
    if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return pw->pw_dir;
    }
    return "/";
}

std::string baseDirectory(BaseDirectory which) {
    const char* variable = nullptr;
    const char* fallback = nullptr;
    switch (which) {
    case BaseDirectory::config:
        variable = "XDG_CONFIG_HOME";
        fallback = "/.config";
        break;
    case BaseDirectory::data:
        variable = "XDG_DATA_HOME";
        fallback = "/.local/share";
        break;
    case BaseDirectory::state:
        variable = "XDG_STATE_HOME";
        fallback = "/.local/state";
        break;
    case BaseDirectory::cache:
        variable = "XDG_CACHE_HOME";
        fallback = "/.cache";
        break;
    }
    if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/') {
        return value;
    }
    return homeDirectory() + fallback;
}

void makePrivateDirectories(const std::string& dir) {
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            const std::string prefix = dir.substr(0, pos);
            if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
                return;
            }
        }
    }
}

} // namespace quillon::platform
