#pragma once

#include <string>

namespace quillon::shell {

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
