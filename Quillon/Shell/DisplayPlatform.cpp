#include "Quillon/Shell/DisplayPlatform.hpp"

#include "Platform/Display/DisplayServers.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Shell/DesktopProgram.hpp"

#include <QLibraryInfo>
#include <QString>

#include <cstdlib>
#include <filesystem>

namespace quillon::shell {

namespace {

using i18n::fill;
using i18n::tr;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A platform plugin file of Qt's plugin directories (QT_PLUGIN_PATH's first, as Qt does).
bool hasPlatformPlugin(const std::string& stem) {
    std::vector<std::filesystem::path> dirs;
    const std::string extra = env("QT_PLUGIN_PATH");
    std::size_t start = 0;
    while (start < extra.size()) {
        const auto end = extra.find(':', start);
        dirs.emplace_back(extra.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    dirs.emplace_back(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString());
    for (const auto& dir : dirs) {
        std::error_code ec;
        for (const char* suffix : {"", "-generic", "-egl"}) {
            if (std::filesystem::exists(dir / "platforms" / (stem + suffix + ".so"), ec)) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

DisplayChoice chooseDisplayPlatform(const DisplayFacts& f) {
    if (!f.requestedPlatform.empty()) {
        return {f.requestedPlatform, {}};
    }
    if (!f.waylandDisplay.empty() && f.waylandAnswers && f.waylandPlugin) {
        return {"wayland", {}};
    }
    if (!f.x11Display.empty() && f.x11Answers && f.xcbPlugin) {
        return {"xcb", {}};
    }
    const std::string headless = tr("to run in a terminal use quillon --headless");
    if (f.waylandDisplay.empty() && f.x11Display.empty()) {
        return {{},
                fill(tr("No graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set); {1}"),
                     {headless})};
    }
    if (!f.waylandDisplay.empty() && f.waylandAnswers && !f.waylandPlugin) {
        return {{},
                fill(tr("Qt's Wayland support is not installed (Debian package qt6-wayland) "
                        "and no X server can be used; install it, or {1}"),
                     {headless})};
    }
    if (!f.x11Display.empty() && f.x11Answers && !f.xcbPlugin) {
        return {{},
                fill(tr("Qt's X11 support is not installed (Debian package qt6-qpa-plugins); "
                        "install it, or {1}"),
                     {headless})};
    }
    if (!f.waylandDisplay.empty() && !f.x11Display.empty()) {
        return {{},
                fill(tr("Neither the Wayland display {1} nor the X display {2} answers; {3}"),
                     {f.waylandDisplay, f.x11Display, headless})};
    }
    if (!f.waylandDisplay.empty()) {
        return {
            {},
            fill(tr("The Wayland display {1} does not answer; {2}"), {f.waylandDisplay, headless})};
    }
    return {{}, fill(tr("The X display {1} does not answer; {2}"), {f.x11Display, headless})};
}

DisplayFacts currentDisplayFacts() {
    DisplayFacts f;
    f.requestedPlatform = env("QT_QPA_PLATFORM");
    f.waylandDisplay = env("WAYLAND_DISPLAY");
    f.x11Display = env("DISPLAY");
    if (!f.requestedPlatform.empty()) {
        return f; // the user's choice: nothing to probe
    }
    f.waylandPlugin = hasPlatformPlugin("libqwayland");
    f.xcbPlugin = hasPlatformPlugin("libqxcb");
    f.waylandAnswers = !f.waylandDisplay.empty() && platform::waylandServerAnswers();
    f.x11Answers = !f.x11Display.empty() && platform::x11ServerAnswers();
    return f;
}

std::optional<std::string> displayProblem(std::string& platform) {
    const auto choice = chooseDisplayPlatform(currentDisplayFacts());
    if (!choice.problem.empty()) {
        return choice.problem;
    }
    platform = choice.platform;
    return std::nullopt;
}

} // namespace quillon::shell
