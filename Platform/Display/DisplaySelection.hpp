#pragma once

#include "Platform/Display/Geometry.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform {

// One monitor of the desktop, in the desktop's own logical coordinates (X root pixels, a
// Wayland compositor's layout points).
struct OutputInfo {
    std::string name; // "DP-1", "HEADLESS-1"
    Rect bounds;
    double scale = 1.0; // device pixels per logical unit
    bool primary = false;
    bool operator==(const OutputInfo&) const = default;
};

// The part of the desktop the tablet reaches.
struct SelectedDisplay {
    Rect bounds;        // in the desktop's coordinates; the tablet's (0,0) is its top-left
    double scale = 1.0; // of the output that holds the top-left corner
    // Why the setting could not be followed as written ("no output named X: ..."); empty when
    // it was.
    std::string note;
    bool operator==(const SelectedDisplay&) const = default;
};

// The `display` setting: "primary" (the default, also for an empty value) is the primary
// output, else the first; "all" is the bounding box of every output; anything else names an
// output, and an unknown name falls back to the primary with a note. No outputs: nothing.
std::optional<SelectedDisplay> selectDisplay(const std::vector<OutputInfo>& outputs,
                                             std::string_view setting);

// The bounding box of all outputs (zero when there are none).
Rect desktopBounds(const std::vector<OutputInfo>& outputs);

} // namespace quillon::platform
