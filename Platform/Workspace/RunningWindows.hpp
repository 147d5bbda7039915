#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillon::platform {

// What identifies the windows of one application's running instances.
struct WindowMatch {
    std::string startupWMClass;        // matched against WM_CLASS when set
    std::vector<std::string> names;    // else these (desktop ID, program name) are
    std::filesystem::path desktopFile; // a process started from this entry matches too
};

// Whether a WM_CLASS (instance and class) belongs to the application: compared case-
// insensitively with StartupWMClass when the entry has one, otherwise with each name.
bool wmClassMatches(const WindowMatch& match, const std::string& instance,
                    const std::string& wmClass);

// The desktop entry a process was started from: GIO_LAUNCHED_DESKTOP_FILE in
// /proc/<pid>/environ (readable for the user's own processes). Empty when unknown.
std::string launchedDesktopFile(std::uint32_t pid);

// The application windows managed under an EWMH window manager, through X11 (the display named
// by DISPLAY). Each call opens its own connection, so the calls are thread-safe; windows that
// vanish between two requests are simply skipped.
namespace RunningWindows {
// The topmost client window (by _NET_CLIENT_LIST_STACKING, else _NET_CLIENT_LIST) that
// matches by WM_CLASS, or whose _NET_WM_PID process was launched from `match.desktopFile`.
// Nothing without a display or a match.
std::optional<std::uint32_t> find(const WindowMatch& match);

// Brings the window forward: switches to its desktop first when it is on another one
// (_NET_CURRENT_DESKTOP), then asks for it with _NET_ACTIVE_WINDOW (source: a pager, so the
// window manager does not apply focus-stealing prevention). An error text, or nothing once the
// requests were sent.
std::optional<std::string> activate(std::uint32_t window);
} // namespace RunningWindows

} // namespace quillon::platform
