#pragma once

#include <optional>
#include <string>

namespace quillon::shell {

// KDE: writes the user's desktop entry that grants the program at `executablePath` KWin's
// fake input ($XDG_DATA_HOME/applications/quillon.desktop, the permission guide's step); the
// error text when it could not. The user's own file: the window writes it whether it hosts
// or shows a host that runs elsewhere (the same program).
std::optional<std::string> writeKdeInputGrant(const std::string& executablePath);

// "Start at login": an XDG autostart entry for this user ($XDG_CONFIG_HOME/autostart/
// quillon.desktop) that starts the desktop program when the session starts. The user's entry
// wins over a system-wide one of the same name, so switching off writes Hidden=true when a
// system-wide entry would otherwise still start it.
namespace Autostart {

std::string userEntryPath();
// True when the user's entry exists and is not hidden (a system-wide entry counts when the
// user has none).
bool isEnabled();
// Writes or removes the user's entry; false when the file could not be written.
bool setEnabled(bool enabled, const std::string& executablePath);
// The entry's text for a given binary (Exec quoted as the desktop entry rules require).
std::string entryText(const std::string& executablePath, bool hidden);

} // namespace Autostart

} // namespace quillon::shell
