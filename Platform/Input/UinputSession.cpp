#include "Platform/Input/UinputSession.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/KdeDataControlClipboard.hpp"
#include "Platform/Input/X11SelectionClipboard.hpp"
#include "Platform/Locale/Translation.hpp"

#include <X11/Xlib.h>

#include <mutex>

namespace quillon::platform {

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
    auto clipboard = std::make_shared<KdeDataControlClipboard>(
        KdeDataControlClipboard::Options{.display = display});
    if (clipboard->available()) {
        o.paste = [clipboard](const std::string& text) { return clipboard->offerPaste(text); };
    } else {
        DiagLog::write(
            i18n::fill(i18n::tr("uinput: no clipboard for text the keyboard layout lacks: {1}"),
                       {clipboard->reason()}));
    }
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
            if (Display* dpy = XOpenDisplay(display.empty() ? nullptr : display.c_str())) {
                const int n = DefaultScreen(dpy);
                screen->root = {0, 0, static_cast<double>(DisplayWidth(dpy, n)),
                                static_cast<double>(DisplayHeight(dpy, n))};
                XCloseDisplay(dpy);
                screen->generation = s.generation;
            }
        }
        return PointerSpace{screen->root,
                            {static_cast<double>(s.originX), static_cast<double>(s.originY),
                             static_cast<double>(s.pixelWidth), static_cast<double>(s.pixelHeight)},
                            s.scale};
    };
    o.layout = [display] { return x11Layout(display); };
    auto clipboard =
        std::make_shared<X11SelectionClipboard>(X11SelectionClipboard::Options{.display = display});
    if (clipboard->available()) {
        o.paste = [clipboard](const std::string& text) { return clipboard->offerPaste(text); };
    } else {
        DiagLog::write(
            i18n::fill(i18n::tr("uinput: no clipboard for text the keyboard layout lacks: {1}"),
                       {clipboard->reason()}));
    }
    return o;
}

UinputInputBackend::Options uinputForConsole() {
    UinputInputBackend::Options o;
    o.layout = [] { return std::optional<LayoutIndex>(systemLayout()); };
    return o;
}

} // namespace quillon::platform
