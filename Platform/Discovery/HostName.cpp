#include "Platform/Discovery/ServiceAdvertiser.hpp"

#include <fstream>

#include <limits.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

// A value of a shell-style assignment as /etc/machine-info writes it: bare, or in single or
// double quotes (double-quoted values may escape \" \\ \$ \`).
std::string unquote(const std::string& raw) {
    if (raw.size() >= 2 && raw.front() == '\'' && raw.back() == '\'') {
        return raw.substr(1, raw.size() - 2);
    }
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
        std::string out;
        for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 2 < raw.size()) {
                ++i;
            }
            out += raw[i];
        }
        return out;
    }
    return raw;
}

} // namespace

std::string prettyHostName(const std::string& machineInfoPath) {
    std::ifstream in(machineInfoPath);
    std::string line;
    while (std::getline(in, line)) {
        static const std::string key = "PRETTY_HOSTNAME=";
        if (line.compare(0, key.size(), key) == 0) {
            std::string value = unquote(line.substr(key.size()));
            if (!value.empty()) {
                return value;
            }
        }
    }
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        return name;
    }
    return "Linux";
}

std::string prettyHostName() {
    return prettyHostName("/etc/machine-info");
}

} // namespace quillon::platform
