#pragma once

#include "Platform/EventStream/EventPoster.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quillon::platform {

namespace x11 {
class Connection;
}

// Opens the desktop's overview of windows and workspaces by tapping its key combination: the
// user default "overviewKey" (default "Super", the key GNOME, KDE and others open their
// overview with). A combination is key names joined by "+": "Super", "Super+Tab",
// "Control+Alt+Up", "F3". Names are X keysym names, plus "Super", "Control"/"Ctrl", "Alt",
// "Shift" and "Meta" for the left-hand modifiers. A combination that does not parse is logged
// once per text and nothing is pressed.
class X11OverviewOpener : public OverviewOpener {
public:
    // `display` empty: $DISPLAY. `combination` is asked at each opening; absent: the user
    // default.
    explicit X11OverviewOpener(std::string display = {},
                               std::function<std::string()> combination = {});
    ~X11OverviewOpener() override;

    void openOverview() override;

    // The keysyms of a combination in pressing order, or nothing when a name is unknown or
    // the text is empty.
    static std::optional<std::vector<unsigned long>> parseCombination(const std::string& text);

private:
    std::string display_;
    std::function<std::string()> combination_;
    std::mutex mutex_;
    std::unique_ptr<x11::Connection> conn_;
};

} // namespace quillon::platform
