#include "Platform/Workspace/DesktopEntry.hpp"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <glib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace quillon::platform {

namespace {

constexpr const char* kGroup = "Desktop Entry";
// Desktop entries are a few kilobytes; anything far larger is not one and is not read whole.
constexpr std::uintmax_t kMaxEntryBytes = 1 << 20;

struct KeyFileDeleter {
    void operator()(GKeyFile* k) const { g_key_file_free(k); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

std::string takeString(gchar* s) {
    if (s == nullptr) {
        return {};
    }
    std::string out(s);
    g_free(s);
    return out;
}

std::string stringValue(GKeyFile* kf, const char* key) {
    return takeString(g_key_file_get_string(kf, kGroup, key, nullptr));
}

bool boolValue(GKeyFile* kf, const char* key) {
    GError* error = nullptr;
    const gboolean v = g_key_file_get_boolean(kf, kGroup, key, &error);
    if (error != nullptr) {
        g_error_free(error);
        return false;
    }
    return v != FALSE;
}

} // namespace

std::vector<std::string> splitDesktopList(std::string_view value) {
    std::vector<std::string> out;
    std::string current;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && i + 1 < value.size() && value[i + 1] == ';') {
            current.push_back(';');
            ++i;
        } else if (c == ';') {
            if (!current.empty()) {
                out.push_back(std::move(current));
            }
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        out.push_back(std::move(current));
    }
    return out;
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text,
                                              const std::filesystem::path& file) {
    KeyFilePtr kf(g_key_file_new());
    GError* error = nullptr;
    if (!g_key_file_load_from_data(kf.get(), text.data(), text.size(), G_KEY_FILE_NONE, &error)) {
        g_error_free(error);
        return std::nullopt;
    }
    if (!g_key_file_has_group(kf.get(), kGroup)) {
        return std::nullopt;
    }
    // "Hidden=true" means "deleted": such a file (often nothing but that key) masks the entry of
    // the same ID in later directories, whatever else it says.
    const bool hidden = boolValue(kf.get(), "Hidden");
    if (!hidden && stringValue(kf.get(), "Type") != "Application") {
        return std::nullopt;
    }
    DesktopEntry e;
    e.path = file;
    // Looks up Name[ll_CC@mod], Name[ll_CC], Name[ll@mod], Name[ll], then Name, following the
    // process's LANGUAGE/LC_ALL/LC_MESSAGES/LANG.
    e.name = takeString(g_key_file_get_locale_string(kf.get(), kGroup, "Name", nullptr, nullptr));
    e.icon = stringValue(kf.get(), "Icon");
    e.exec = stringValue(kf.get(), "Exec");
    e.tryExec = stringValue(kf.get(), "TryExec");
    e.startupWMClass = stringValue(kf.get(), "StartupWMClass");
    // The raw value, split here: GLib's list reader keeps empty items and differs in escapes.
    e.onlyShowIn = splitDesktopList(stringValue(kf.get(), "OnlyShowIn"));
    e.notShowIn = splitDesktopList(stringValue(kf.get(), "NotShowIn"));
    e.noDisplay = boolValue(kf.get(), "NoDisplay");
    e.hidden = hidden;
    e.dbusActivatable = boolValue(kf.get(), "DBusActivatable");
    return e;
}

std::optional<DesktopEntry> readDesktopEntry(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > kMaxEntryBytes) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return parseDesktopEntry(text, file);
}

std::vector<std::string> currentDesktops() {
    const char* value = std::getenv("XDG_CURRENT_DESKTOP");
    std::vector<std::string> out;
    if (value == nullptr) {
        return out;
    }
    std::string_view rest(value);
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const auto item = rest.substr(0, colon);
        if (!item.empty()) {
            out.emplace_back(item);
        }
        if (colon == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(colon + 1);
    }
    return out;
}

bool showsIn(const std::vector<std::string>& onlyShowIn, const std::vector<std::string>& notShowIn,
             const std::vector<std::string>& desktops) {
    const auto contains = [](const std::vector<std::string>& list, const std::string& d) {
        for (const auto& item : list) {
            if (item == d) {
                return true;
            }
        }
        return false;
    };
    for (const auto& desktop : desktops) {
        if (contains(onlyShowIn, desktop)) {
            return true;
        }
        if (contains(notShowIn, desktop)) {
            return false;
        }
    }
    return onlyShowIn.empty();
}

bool tryExecSucceeds(std::string_view tryExec) {
    if (tryExec.empty()) {
        return true;
    }
    const std::string name(tryExec);
    gchar* found = g_find_program_in_path(name.c_str());
    const bool ok = found != nullptr;
    g_free(found);
    return ok;
}

namespace {
// The first word of an Exec line, unquoted; empty when there is none.
std::string execArgv0(std::string_view exec) {
    if (exec.empty()) {
        return {};
    }
    const std::string line(exec);
    gint argc = 0;
    gchar** argv = nullptr;
    if (!g_shell_parse_argv(line.c_str(), &argc, &argv, nullptr)) {
        return {};
    }
    std::string program = argc > 0 ? argv[0] : "";
    g_strfreev(argv);
    return program;
}
} // namespace

bool execProgramExists(std::string_view exec) {
    const std::string program = execArgv0(exec);
    return !program.empty() && tryExecSucceeds(program);
}

std::string execProgramName(std::string_view exec) {
    std::string program = execArgv0(exec);
    const auto slash = program.rfind('/');
    if (slash != std::string::npos) {
        program.erase(0, slash + 1);
    }
    return program;
}

std::optional<std::string> launchDesktopEntry(const std::filesystem::path& file) {
    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(file.c_str());
    if (info == nullptr) {
        // GIO refuses entries it cannot run; say which part is missing.
        const auto entry = readDesktopEntry(file);
        if (entry && !entry->exec.empty() && !execProgramExists(entry->exec)) {
            return "program not found: " + execArgv0(entry->exec);
        }
        return "not a launchable application entry: " + file.string();
    }
    GAppLaunchContext* context = g_app_launch_context_new();
    if (const char* display = std::getenv("DISPLAY"); display != nullptr && *display != '\0') {
        g_app_launch_context_setenv(context, "DISPLAY", display);
    }
    GError* error = nullptr;
    const gboolean ok = g_app_info_launch(G_APP_INFO(info), nullptr, context, &error);
    std::optional<std::string> result;
    if (!ok) {
        result = error != nullptr ? std::string(error->message) : std::string("launch failed");
    }
    if (error != nullptr) {
        g_error_free(error);
    }
    g_object_unref(context);
    g_object_unref(info);
    return result;
}

} // namespace quillon::platform
