#pragma once

#include "Quillon/Shell/ShellActions.hpp"

#include <QWidget>

namespace quillon::shell {

// The permission guide ("权限检查", 380 × 260): what the permission is for, its state with the
// reason and the fix, and two buttons. The state is taken when the window is built and again
// only on "重新检查"; the guide does not poll.
class PermissionWindow : public QWidget {
public:
    explicit PermissionWindow(ShellActions& actions);

    // "重新检查".
    void recheck();
    bool shownAsGranted() const noexcept { return status_.permitted; }

private:
    void rebuild();

    ShellActions& actions_;
    PermissionChecker::Status status_;
    QWidget* content_ = nullptr;
};

} // namespace quillon::shell
