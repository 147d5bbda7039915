#pragma once

#include "Platform/EventStream/EventPoster.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace quillon::platform {

namespace x11 {
class Connection;
}

// Opens the desktop's overview of windows and workspaces by tapping its key combination: the
// user default "overviewKey" (default "Super", the key GNOME, KDE and others open their
// overview with), on a connection of its own. A combination is key names joined by "+": "Super",
// "Super+Tab", "Control+Alt+Up", "F3". Names are X keysym names, plus "Super", "Control"/"Ctrl",
// "Alt", "Shift" and "Meta" for the left-hand modifiers. A combination that does not parse is
// logged once per text and nothing is pressed.
class X11OverviewOpener : public OverviewOpener {
public:
    static constexpr const char* kDefaultCombination = "Super";

    // `display` empty: $DISPLAY. `combination` is asked at each opening; absent:
    // kDefaultCombination.
    explicit X11OverviewOpener(std::string display = {},
                               std::function<std::string()> combination = {});
    ~X11OverviewOpener() override;

    void openOverview() override;

    // The keysyms of a combination in pressing order, or nothing when a name is unknown or
    // the text is empty.
    static std::optional<std::vector<unsigned long>> parseCombination(const std::string& text);
    // Presses the keys of `combination` in order on `dpy` and releases them in reverse; the
    // caller flushes. False (nothing pressed) when the text does not parse (logged once per
    // text) or the keymap lacks one of its keys.
    static bool tap(Display* dpy, const std::string& combination);

private:
    std::string display_;
    std::function<std::string()> combination_;
    std::mutex mutex_;
    std::unique_ptr<x11::Connection> conn_;
};

} // namespace quillon::platform
