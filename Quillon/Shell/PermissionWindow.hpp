#pragma once

#include "Quillon/Shell/ShellActions.hpp"

#include <QWidget>

namespace quillon::shell {

// The permission guide ("Permission Check", 380 × 260): what the permission is for, its state
// with the reason and the session's steps to fix it (on KDE a button that writes KWin's grant),
// and "Check Again". The state is taken when the window is built and again
// only on "Check Again"; the guide does not poll.
class PermissionWindow : public QWidget {
public:
    explicit PermissionWindow(ShellActions& actions);

    // "Check Again".
    void recheck();
    bool shownAsGranted() const noexcept { return status_.permitted; }

private:
    void rebuild();

    ShellActions& actions_;
    PermissionChecker::Status status_;
    std::string grantResult_;
    QWidget* content_ = nullptr;
};

} // namespace quillon::shell
