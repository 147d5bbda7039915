#pragma once

// What this process holds right now (resident memory, open descriptors, threads), read from
// /proc: the soak test compares it over time and the soak benchmark prints it.

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace quillon::testing {

struct ProcessUsage {
    long rssKiB = 0;
    long descriptors = 0;
    long threads = 0;
};

inline ProcessUsage processUsage() {
    ProcessUsage u;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            u.rssKiB = std::atol(line.c_str() + 6);
        } else if (line.rfind("Threads:", 0) == 0) {
            u.threads = std::atol(line.c_str() + 8);
        }
    }
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++u.descriptors;
        }
        closedir(d);
        u.descriptors -= 3; // ".", ".." and the directory's own descriptor
    }
    return u;
}

} // namespace quillon::testing
