#include "Quillon/Shell/Autostart.hpp"

#include "Platform/Locale/Translation.hpp"
#include "Platform/Paths/BaseDirectories.hpp"
#include "Quillon/Host/PermissionGuide.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quillon::shell {

std::optional<std::string> writeKdeInputGrant(const std::string& executablePath) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::path(platform::baseDirectory(platform::BaseDirectory::data)) / "applications";
    std::error_code ec;
    fs::create_directories(dir, ec);
    const fs::path file = dir / "quillon.desktop";
    const fs::path temporary = dir / ".quillon.desktop.new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << kdeGrantEntry(executablePath);
        if (!out.flush()) {
            return i18n::fill(i18n::tr("cannot write {1}"), {temporary.string()});
        }
    }
    fs::rename(temporary, file, ec);
    if (ec) {
        return i18n::fill(i18n::tr("cannot write {1}: {2}"), {file.string(), ec.message()});
    }
    return std::nullopt;
}

namespace Autostart {

namespace {

constexpr const char* kFileName = "quillon.desktop";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool hiddenOrDisabled(const std::string& text) {
    return text.find("\nHidden=true") != std::string::npos ||
           text.find("\nX-GNOME-Autostart-enabled=false") != std::string::npos;
}

// $XDG_CONFIG_DIRS/autostart/quillon.desktop, the first that exists.
std::string systemEntryPath() {
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::string list = dirs != nullptr && *dirs != '\0' ? dirs : "/etc/xdg";
    std::stringstream s(list);
    std::string dir;
    while (std::getline(s, dir, ':')) {
        const std::string path = dir + "/autostart/" + kFileName;
        std::error_code ec;
        if (!dir.empty() && std::filesystem::exists(path, ec)) {
            return path;
        }
    }
    return {};
}

// Exec's quoting: the argument in double quotes with " ` $ \ escaped by a backslash.
std::string quoteExec(const std::string& path) {
    std::string out = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            out += '\\';
        }
        if (c == '%') {
            out += '%'; // a literal percent sign is written twice
        }
        out += c;
    }
    return out + "\"";
}

} // namespace

std::string userEntryPath() {
    return platform::baseDirectory(platform::BaseDirectory::config) + "/autostart/" + kFileName;
}

bool isEnabled() {
    std::error_code ec;
    const auto user = userEntryPath();
    if (std::filesystem::exists(user, ec)) {
        return !hiddenOrDisabled(readFile(user));
    }
    const auto system = systemEntryPath();
    return !system.empty() && !hiddenOrDisabled(readFile(system));
}

std::string entryText(const std::string& executablePath, bool hidden) {
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Quillon\n"
                       "Comment=Use a paired iPad as pointer, trackpad and keyboard\n"
                       "Exec=" +
                       quoteExec(executablePath) +
                       "\n"
                       "Icon=quillon\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=" +
                       (hidden ? "false" : "true") + "\n";
    if (hidden) {
        text += "Hidden=true\n";
    }
    return text;
}

bool setEnabled(bool enabled, const std::string& executablePath) {
    const auto path = userEntryPath();
    std::error_code ec;
    if (!enabled && systemEntryPath().empty()) {
        std::filesystem::remove(path, ec);
        return !ec;
    }
    platform::makePrivateDirectories(std::filesystem::path(path).parent_path().string());
    const auto temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << entryText(executablePath, !enabled);
        if (!out.flush()) {
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    std::filesystem::rename(temp, path, ec);
    return !ec;
}

} // namespace Autostart

} // namespace quillon::shell
