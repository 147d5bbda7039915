#pragma once

#include "Platform/Input/InputBackendChooser.hpp"
#include "Platform/Permission/InputPermission.hpp"

#include <string>
#include <vector>

namespace quillon {

// What a user must do so that the tablet's input reaches this desktop, for the session the
// host found itself in. The console window, the permission window and the terminal show the
// steps themselves: a user never has to find a section of a document.
struct PermissionGuide {
    enum class Situation {
        x11NoDisplay,   // no DISPLAY: started outside the desktop session
        x11Unreachable, // DISPLAY names a server that does not let us in
        x11NoXTest,     // the X server runs without the XTEST extension
        waylandNothing, // a Wayland session whose compositor offers nothing we can use
        gnome,          // GNOME Shell's remote desktop did not give us a session
        kde,            // KWin does not offer its fake input to this program
        wlroots,        // the wlroots compositor refused the virtual devices
        uinput,         // the kernel's input was chosen, but /dev/uinput cannot be used
        other,
    };
    Situation situation = Situation::other;
    std::vector<std::string> steps; // in the run's language, in order
    // KDE only: the desktop entry that grants this program KWin's fake input, which the
    // window can write for the user (~/.local/share/applications/quillon.desktop).
    bool offersKdeGrant = false;
    bool operator==(const PermissionGuide&) const = default;
};

// The situation, from the backend the session got, whether the chooser refused the session
// (nothing usable: XWayland only) and, for X11, how far a connection gets.
PermissionGuide::Situation situationOf(platform::InputBackendKind kind, bool sessionRefused,
                                       platform::X11Access x11);

// The steps for a situation. `executablePath` is named where a step needs it (KDE's grant).
PermissionGuide guideFor(PermissionGuide::Situation situation, const std::string& executablePath);

// The desktop entry that grants KWin's fake input to the program at `executablePath`.
std::string kdeGrantEntry(const std::string& executablePath);

} // namespace quillon
