#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform {

// One application desktop entry ("Type=Application" in its "[Desktop Entry]" group), as far as
// the application catalog needs it. Read with GLib's key-file reader, so values are already
// unescaped and valid UTF-8 (a value that is not is treated as absent).
struct DesktopEntry {
    std::filesystem::path path;
    // The localized Name for the process's locale; empty when the entry has none.
    std::string name;
    std::string icon;           // Icon: a theme icon name or an absolute file path
    std::string exec;           // Exec, unexpanded
    std::string tryExec;        // TryExec
    std::string startupWMClass; // StartupWMClass
    std::vector<std::string> onlyShowIn;
    std::vector<std::string> notShowIn;
    bool noDisplay = false;
    bool hidden = false;
    bool dbusActivatable = false;

    bool operator==(const DesktopEntry&) const = default;
};

// Reads a desktop entry file. Nothing when the file cannot be read, is not a key file, or is
// not an application entry (links and directories are not applications). An entry with
// "Hidden=true" is returned whatever its type, since it masks entries of the same ID.
std::optional<DesktopEntry> readDesktopEntry(const std::filesystem::path& file);
// The same from text already in memory (the file path is only recorded).
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text,
                                              const std::filesystem::path& file = {});

// Splits a desktop-entry string list ("GNOME;KDE;", '\;' escapes a semicolon).
std::vector<std::string> splitDesktopList(std::string_view value);

// The desktops named by XDG_CURRENT_DESKTOP (colon separated), in order; empty when unset.
std::vector<std::string> currentDesktops();

// Whether an entry with these OnlyShowIn/NotShowIn lists shows in a session of `desktops`:
// the first current desktop named in either list decides; when none is named, the entry
// shows unless it has an OnlyShowIn list.
bool showsIn(const std::vector<std::string>& onlyShowIn, const std::vector<std::string>& notShowIn,
             const std::vector<std::string>& desktops);

// True when TryExec is empty or names a program that exists and is executable (an absolute
// path is checked as is, a bare name is looked up in PATH).
bool tryExecSucceeds(std::string_view tryExec);

// True when the Exec line's program (its first word) exists and is executable, as GIO requires
// before it launches an entry. False for an empty or unparseable line.
bool execProgramExists(std::string_view exec);

// The program an Exec line runs: its first word with quoting removed, without its directory
// ("env" wrappers are not looked through). Empty when the line is empty or unparseable.
std::string execProgramName(std::string_view exec);

// Starts the application of the desktop entry file through GIO, which expands the field codes
// (%f, %u, %i, %c, %k ...) with no files or URIs. The launched process inherits this process's
// environment and gets DISPLAY when it is set, plus GIO_LAUNCHED_DESKTOP_FILE naming the
// entry. Returns an error text, or nothing on success (the program was started).
std::optional<std::string> launchDesktopEntry(const std::filesystem::path& file);

} // namespace quillon::platform
