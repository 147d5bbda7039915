#include "Quillon/Host/PermissionGuide.hpp"

#include "Platform/Locale/Translation.hpp"

namespace quillon {

using i18n::fill;
using i18n::tr;

PermissionGuide::Situation situationOf(platform::InputBackendKind kind, bool sessionRefused,
                                       platform::X11Access x11) {
    using S = PermissionGuide::Situation;
    if (sessionRefused) {
        return S::waylandNothing;
    }
    switch (kind) {
    case platform::InputBackendKind::gnome:
        return S::gnome;
    case platform::InputBackendKind::kde:
        return S::kde;
    case platform::InputBackendKind::wlroots:
        return S::wlroots;
    case platform::InputBackendKind::uinput:
        return S::uinput;
    case platform::InputBackendKind::x11:
        break;
    }
    switch (x11) {
    case platform::X11Access::noDisplay:
        return S::x11NoDisplay;
    case platform::X11Access::unreachable:
        return S::x11Unreachable;
    case platform::X11Access::noXTest:
        return S::x11NoXTest;
    case platform::X11Access::usable:
        break;
    }
    return S::other;
}

namespace {

// Exec's quoting (as the autostart entry has it): the argument in double quotes, with double
// quote, backquote, dollar and backslash escaped by a backslash and a percent sign doubled.
std::string quotedExec(const std::string& path) {
    std::string out = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            out += '\\';
        }
        if (c == '%') {
            out += '%';
        }
        out += c;
    }
    return out + "\"";
}

} // namespace

std::string kdeGrantEntry(const std::string& executablePath) {
    // Exec must be the path KWin sees in /proc/<pid>/exe. The entry takes the place of the
    // installed one of the same name, so it is a whole menu entry too.
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quillon\n"
           "Comment=Use a paired iPad as pointer, trackpad and keyboard\n"
           "Exec=" +
           quotedExec(executablePath) +
           "\n"
           "Icon=quillon\n"
           "Terminal=false\n"
           "Categories=Utility;\n"
           "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n";
}

PermissionGuide guideFor(PermissionGuide::Situation situation, const std::string& executablePath) {
    using S = PermissionGuide::Situation;
    PermissionGuide g;
    g.situation = situation;
    switch (situation) {
    case S::x11NoDisplay:
        g.steps = {
            tr("Quillon was started outside your desktop session (DISPLAY is not set)."),
            tr("Start it from the desktop's menu, from its autostart, or from a terminal "
               "window of that desktop."),
            tr("As a systemd user service, import the session's variables first: systemctl "
               "--user import-environment DISPLAY XAUTHORITY WAYLAND_DISPLAY, then systemctl "
               "--user restart quillon."),
        };
        break;
    case S::x11Unreachable:
        g.steps = {
            tr("Check that the X server named by DISPLAY is running: xdpyinfo should print "
               "its details."),
            tr("Check that this user may connect to it: XAUTHORITY must name the session's "
               "cookie file (or allow the user with xhost +si:localuser:$USER)."),
            tr("Then press Check Again."),
        };
        break;
    case S::x11NoXTest:
        g.steps = {
            tr("The X server was started without its XTEST extension, which Quillon posts "
               "input through."),
            tr("Remove \"-extension XTEST\" from the X server's command line (the display "
               "manager's configuration), then log in again."),
        };
        break;
    case S::waylandNothing:
        g.steps = {
            tr("This Wayland session's compositor offers none of the input interfaces Quillon "
               "can use, so input reaches only X11 (XWayland) windows."),
            tr("Log into an X11 session, a GNOME or KDE Plasma session, or a wlroots "
               "compositor (Sway, Hyprland, river, labwc, Wayfire) for input everywhere."),
            tr("Or accept input to XWayland windows only: quillon defaults write inputBackend "
               "x11, then restart Quillon."),
            tr("Or let Quillon put input in through the kernel (uinput), which reaches every "
               "window: install Quillon's Debian package, or after building from source run "
               "\"sudo scripts/install-uinput-access\" once, then restart Quillon."),
        };
        break;
    case S::gnome:
        g.steps = {
            tr("GNOME Shell did not give Quillon a remote desktop session."),
            tr("Quit Quillon and start it again from this GNOME session's menu or a terminal "
               "of it; a session started elsewhere (SSH, another seat) cannot reach it."),
            tr("If it still fails, log out and in again: GNOME Shell gives one remote "
               "desktop session per program at a time."),
        };
        break;
    case S::kde:
        g.offersKdeGrant = true;
        g.steps = {
            tr("KWin lets only programs it was told about post input."),
            fill(tr("Install a desktop entry whose Exec is {1} with the line "
                    "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input as "
                    "~/.local/share/applications/quillon.desktop (the Grant button below "
                    "writes it)."),
                 {executablePath}),
            tr("Log out and log in again, so that KWin reads it."),
        };
        break;
    case S::wlroots:
        g.steps = {
            tr("The compositor refused Quillon's virtual pointer and keyboard."),
            tr("Make sure the compositor offers zwlr_virtual_pointer_manager_v1 and "
               "zwp_virtual_keyboard_manager_v1 to programs of the session (some compositors "
               "restrict them in their configuration), then restart Quillon."),
        };
        break;
    case S::uinput:
        g.steps = {
            tr("Quillon puts input in through the kernel here (uinput), and this user may not "
               "use /dev/uinput yet."),
            tr("Install Quillon's Debian package: its udev rule gives the user logged in at the "
               "seat access to /dev/uinput, and it loads the uinput module at boot."),
            tr("After building from source, run \"sudo scripts/install-uinput-access\" once: it "
               "installs the same rule and takes effect at once. Then press Check Again."),
        };
        break;
    case S::other:
        g.steps = {
            tr("Restart Quillon from within your desktop session."),
        };
        break;
    }
    return g;
}

} // namespace quillon
