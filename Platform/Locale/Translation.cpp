#include "Platform/Locale/Translation.hpp"

#include <clocale>
#include <filesystem>
#include <libintl.h>
#include <mutex>
#include <unistd.h>

namespace quillon::i18n {

namespace {

std::mutex directoryMutex;
std::string directory; // guarded by directoryMutex

bool holdsCatalogs(const std::filesystem::path& dir) {
    std::error_code ec;
    return !dir.empty() &&
           std::filesystem::is_regular_file(dir / "zh_CN" / "LC_MESSAGES" / "quillon.mo", ec);
}

std::filesystem::path besideExecutable() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return {};
    }
    const std::filesystem::path exe(std::string(buffer, static_cast<std::size_t>(n)));
    return exe.parent_path().parent_path() / "share" / "locale";
}

std::string chooseDirectory() {
    // An installed binary (any prefix, also a tree unpacked from the package) reads its own
    // catalogs; a binary of the build tree (or a test) reads the build tree's.
    for (const auto& candidate :
         {besideExecutable(), std::filesystem::path(QUILLON_BUILD_LOCALEDIR)}) {
        if (holdsCatalogs(candidate)) {
            return candidate.string();
        }
    }
    return QUILLON_INSTALL_LOCALEDIR;
}

} // namespace

void initialise() {
    std::setlocale(LC_CTYPE, "");
    std::setlocale(LC_MESSAGES, "");
    const std::string dir = chooseDirectory();
    ::bindtextdomain(kDomain, dir.c_str());
    // Qt and the terminal take UTF-8 whatever the locale's character set.
    ::bind_textdomain_codeset(kDomain, "UTF-8");
    std::lock_guard lock(directoryMutex);
    directory = dir;
}

std::string catalogDirectory() {
    std::lock_guard lock(directoryMutex);
    return directory;
}

std::string tr(const char* msgid) {
    return ::dgettext(kDomain, msgid);
}

std::string trn(const char* singular, const char* plural, unsigned long n) {
    return ::dngettext(kDomain, singular, plural, n);
}

std::string fill(std::string_view pattern, std::initializer_list<std::string_view> arguments) {
    std::string out;
    out.reserve(pattern.size() + 32);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 2 < pattern.size() && pattern[i + 1] >= '1' &&
            pattern[i + 1] <= '9' && pattern[i + 2] == '}') {
            const auto index = static_cast<std::size_t>(pattern[i + 1] - '1');
            if (index < arguments.size()) {
                out += *(arguments.begin() + index);
                i += 2;
                continue;
            }
        }
        out += pattern[i];
    }
    return out;
}

} // namespace quillon::i18n
