#include "Platform/Input/UinputSession.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Display/X11Connection.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/Clipboard/DataControlClipboard.hpp"
#include "Platform/Input/Clipboard/X11SelectionClipboard.hpp"
#include "Platform/Input/SessionKeyboardLayout.hpp"
#include "Platform/Locale/Translation.hpp"

#include <X11/Xlib.h>

#include <mutex>

namespace quillon::platform {

namespace {

// The session's clipboard for text beyond the layout, when it has one we can set.
std::shared_ptr<SessionClipboard> usable(std::shared_ptr<SessionClipboard> clipboard) {
    if (clipboard->available()) {
        return clipboard;
    }
    DiagLog::write(
        i18n::fill(i18n::tr("uinput: no clipboard for text the keyboard layout lacks: {1}"),
                   {clipboard->reason()}));
    return nullptr;
}

} // namespace

UinputInputBackend::Options
uinputForWayland(const std::string& display,
                 std::shared_ptr<const WaylandDisplayGeometry> geometry) {
    UinputInputBackend::Options o;
    o.pointerSpace = [geometry]() -> std::optional<PointerSpace> {
        if (!geometry) {
            return std::nullopt;
        }
        const auto s = geometry->state();
        if (!s.connected) {
            return std::nullopt;
        }
        return PointerSpace{s.desktop, s.area, 1.0};
    };
    o.layout = [display] { return waylandSeatLayout(display); };
    o.clipboard = usable(
        std::make_shared<DataControlClipboard>(DataControlClipboard::Options{.display = display}));
    return o;
}

UinputInputBackend::Options uinputForX11(const std::string& display,
                                         std::shared_ptr<const X11DisplayGeometry> geometry) {
    UinputInputBackend::Options o;
    // The screen's size in pixels, read again when the geometry changes (a monitor added).
    struct Screen {
        std::mutex mutex;
        std::uint64_t generation = ~0ull;
        Rect root;
    };
    auto screen = std::make_shared<Screen>();
    o.pointerSpace = [geometry, screen, display]() -> std::optional<PointerSpace> {
        if (!geometry) {
            return std::nullopt;
        }
        const auto s = geometry->state();
        if (!s.connected) {
            return std::nullopt;
        }
        std::lock_guard lock(screen->mutex);
        if (screen->generation != s.generation) {
            x11::Connection connection(display);
            if (Display* dpy = connection.get()) {
                const int n = DefaultScreen(dpy);
                screen->root = {0, 0, static_cast<double>(DisplayWidth(dpy, n)),
                                static_cast<double>(DisplayHeight(dpy, n))};
                screen->generation = s.generation;
            }
        }
        return PointerSpace{screen->root,
                            {static_cast<double>(s.originX), static_cast<double>(s.originY),
                             static_cast<double>(s.pixelWidth), static_cast<double>(s.pixelHeight)},
                            s.scale};
    };
    o.layout = [display] { return x11Layout(display); };
    o.clipboard = usable(std::make_shared<X11SelectionClipboard>(
        X11SelectionClipboard::Options{.display = display}));
    return o;
}

UinputInputBackend::Options uinputForConsole() {
    UinputInputBackend::Options o;
    o.layout = [] { return std::optional<LayoutIndex>(systemLayout()); };
    return o;
}

} // namespace quillon::platform
