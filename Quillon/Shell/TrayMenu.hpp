#pragma once

#include "Quillon/Host/HostState.hpp"
#include "Quillon/Shell/ConsoleWindow.hpp"
#include "Quillon/Shell/ShellActions.hpp"

class QMenu;

namespace quillon::shell {

// The tray's pull-down menu for one published state, top to bottom (in the run's language):
// the lock notice; "Pair New Device" (disabled while the pairing records cannot be read), or
// "Pairing code: " with the PIN and "Cancel Pairing"; a separator; "No device paired yet" (or
// that the records cannot be read) or one submenu per device ("● name" connected, "○ name"
// not) holding "Disconnect" (connected only) and "Unpair"; a separator; the last error (red
// mark); "Permission Check…"; "Quit". Plain texts are disabled items.
// The menu is emptied and filled again on every call: a panel reading it over D-Bus gets one
// layout update per change. `actions` must outlive the menu's items.
void populateTrayMenu(QMenu& menu, const HostState& state, ShellActions& actions);
// The menu while the host of a window that runs elsewhere is away: what is the matter,
// "Start Quillon" when offered, a separator, "Quit".
void populateAwayMenu(QMenu& menu, const HostAway& away, ShellActions& actions);

} // namespace quillon::shell
