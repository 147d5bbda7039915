#pragma once

#include <filesystem>
#include <string>

namespace quillon {

// One installed application: on Linux, an application desktop entry.
struct InstalledApp {
    // The desktop entry file.
    std::filesystem::path desktopFile;
    // The desktop file ID without ".desktop" ("org.example.Editor", "kde-konsole").
    std::string bundleID;
    // The localized Name, or the file name without ".desktop" when the entry has none.
    std::string displayName;
    // True for entries a user does not switch to: NoDisplay, Hidden, a failing TryExec, an
    // OnlyShowIn/NotShowIn that excludes the current desktop, or an Exec program that does not
    // exist (nothing could launch it).
    bool isBackgroundOnly = false;
    // The entry's Icon value (a theme icon name or an absolute path); may be empty.
    std::string iconName;

    InstalledApp() = default;
    InstalledApp(std::filesystem::path desktopFile, std::string bundleID, std::string displayName,
                 bool isBackgroundOnly, std::string iconName = {})
        : desktopFile(std::move(desktopFile)), bundleID(std::move(bundleID)),
          displayName(std::move(displayName)), isBackgroundOnly(isBackgroundOnly),
          iconName(std::move(iconName)) {}

    bool operator==(const InstalledApp&) const = default;
};

} // namespace quillon
