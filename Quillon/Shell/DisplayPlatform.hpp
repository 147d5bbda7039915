#pragma once

#include <string>

namespace quillon::shell {

// What decides whether the desktop program can start, and on which of Qt's platform plugins:
// Qt aborts the process (SIGABRT) when its plugin is missing or its display does not answer,
// so the program asks first and says what is wrong instead.
struct DisplayFacts {
    std::string requestedPlatform; // QT_QPA_PLATFORM, when the user set it
    std::string waylandDisplay;    // WAYLAND_DISPLAY
    std::string x11Display;        // DISPLAY
    bool waylandPlugin = false;    // Qt's Wayland platform plugin is installed
    bool xcbPlugin = false;        // Qt's X11 platform plugin is installed
    bool waylandAnswers = false;   // the Wayland compositor accepted a connection
    bool x11Answers = false;       // the X server accepted a connection
};

// Exactly one of the two is set: the plugin to run Qt on, or the problem, one line in the
// run's language that suggests --headless.
struct DisplayChoice {
    std::string platform;
    std::string problem;
    bool operator==(const DisplayChoice&) const = default;
};

// A user's QT_QPA_PLATFORM is followed as it is (Qt reports its own problems); otherwise
// Wayland when its compositor answers and Qt's plugin is there, else X11 (XWayland included)
// when its server answers and Qt's plugin is there.
DisplayChoice chooseDisplayPlatform(const DisplayFacts& facts);

// The facts of this process (a connection to each display is tried).
DisplayFacts currentDisplayFacts();

} // namespace quillon::shell
