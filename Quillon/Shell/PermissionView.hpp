#pragma once

namespace quillon::shell {

// What the console shows of the input permission, as it follows its one-second poll: the
// current answer, and whether it has been seen to turn from missing to granted while the
// console lives (then the relaunch button stays, even if the permission goes away again).
enum class PermissionView {
    missing,      // never granted while watched
    granted,      // granted from the start
    grantedHere,  // turned from missing to granted: offer the relaunch
    missingAgain, // granted here, then lost: status missing, relaunch still offered
};

PermissionView initialPermissionView(bool permitted);
PermissionView nextPermissionView(PermissionView view, bool permitted);
bool isAuthorized(PermissionView view);
bool offersRelaunch(PermissionView view);

} // namespace quillon::shell
