#include "Quillon/Shell/PermissionView.hpp"

namespace quillon::shell {

PermissionView initialPermissionView(bool permitted) {
    return permitted ? PermissionView::granted : PermissionView::missing;
}

PermissionView nextPermissionView(PermissionView view, bool permitted) {
    switch (view) {
    case PermissionView::missing:
        return permitted ? PermissionView::grantedHere : view;
    case PermissionView::granted:
        // Lost after a granted start: nothing was granted here, so no relaunch to offer.
        return permitted ? view : PermissionView::missing;
    case PermissionView::grantedHere:
        return permitted ? view : PermissionView::missingAgain;
    case PermissionView::missingAgain:
        return permitted ? PermissionView::grantedHere : view;
    }
    return view;
}

bool isAuthorized(PermissionView view) {
    return view == PermissionView::granted || view == PermissionView::grantedHere;
}

bool offersRelaunch(PermissionView view) {
    return view == PermissionView::grantedHere || view == PermissionView::missingAgain;
}

} // namespace quillon::shell
