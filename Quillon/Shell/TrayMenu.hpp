#pragma once

#include "Quillon/Host/HostState.hpp"
#include "Quillon/Shell/ShellActions.hpp"

class QMenu;

namespace quillon::shell {

// The tray's pull-down menu for one published state, top to bottom: the lock notice; "配对新设备",
// or "配对码：" with the PIN and "取消配对"; a separator; "尚未配对任何设备" or one submenu per
// device ("● name" connected, "○ name" not) holding "断开" (connected only) and "解除配对"; a
// separator; the last error (red mark); "权限检查…"; "退出". Plain texts are disabled items.
// The menu is emptied and filled again on every call: a panel reading it over D-Bus gets one
// layout update per change. `actions` must outlive the menu's items.
void populateTrayMenu(QMenu& menu, const HostState& state, ShellActions& actions);

} // namespace quillon::shell
