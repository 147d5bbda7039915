#include "Platform/Display/DisplaySelection.hpp"

#include <algorithm>

namespace quillon::platform {

Rect desktopBounds(const std::vector<OutputInfo>& outputs) {
    if (outputs.empty()) {
        return {};
    }
    double minX = outputs.front().bounds.minX(), minY = outputs.front().bounds.minY();
    double maxX = outputs.front().bounds.maxX(), maxY = outputs.front().bounds.maxY();
    for (const auto& o : outputs) {
        minX = std::min(minX, o.bounds.minX());
        minY = std::min(minY, o.bounds.minY());
        maxX = std::max(maxX, o.bounds.maxX());
        maxY = std::max(maxY, o.bounds.maxY());
    }
    return {minX, minY, maxX - minX, maxY - minY};
}

std::optional<SelectedDisplay> selectDisplay(const std::vector<OutputInfo>& outputs,
                                             std::string_view setting) {
    if (outputs.empty()) {
        return std::nullopt;
    }
    const auto primary = [&]() -> const OutputInfo& {
        const auto it = std::find_if(outputs.begin(), outputs.end(),
                                     [](const OutputInfo& o) { return o.primary; });
        return it != outputs.end() ? *it : outputs.front();
    };
    if (setting.empty() || setting == "primary") {
        const auto& o = primary();
        return SelectedDisplay{o.bounds, o.scale, {}};
    }
    if (setting == "all") {
        const Rect box = desktopBounds(outputs);
        // The scale of the output at the box's top-left corner, else of the primary: the
        // tablet is told one scale.
        double scale = primary().scale;
        for (const auto& o : outputs) {
            if (o.bounds.minX() == box.minX() && o.bounds.minY() == box.minY()) {
                scale = o.scale;
            }
        }
        return SelectedDisplay{box, scale, {}};
    }
    for (const auto& o : outputs) {
        if (o.name == setting) {
            return SelectedDisplay{o.bounds, o.scale, {}};
        }
    }
    const auto& o = primary();
    std::string names;
    for (const auto& other : outputs) {
        names += (names.empty() ? "" : ", ") + other.name;
    }
    return SelectedDisplay{o.bounds, o.scale,
                           "no output is named \"" + std::string(setting) + "\" (there are " +
                               names + "): using " + o.name};
}

} // namespace quillon::platform
