#include "Platform/Input/InputBackendFactory.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/GnomeRemoteDesktopBackend.hpp"
#include "Platform/Input/KdeFakeInputBackend.hpp"
#include "Platform/Input/SmoothScrollBackend.hpp"
#include "Platform/Input/UinputSession.hpp"
#include "Platform/Input/WlrootsInputBackend.hpp"
#include "Platform/Input/X11InputBackend.hpp"

namespace quillon::platform {

std::unique_ptr<InputBackend> makeInputBackend(const InputBackendContext& context) {
    X11InputBackend::Options options;
    options.display = context.x11Display;
    options.geometry = context.x11Geometry;
    return std::make_unique<X11InputBackend>(std::move(options));
}

namespace {

// The kernel's devices, with what the session offers them: a Wayland compositor's outputs and
// clipboard, an X server's screen and selection, or (a text console) neither.
SessionInput makeUinputSessionInput(SessionInput session, const SessionEnvironment& env,
                                    const std::function<std::string()>& displaySetting) {
    UinputInputBackend::Options options;
    if (env.wayland()) {
        auto geometry = std::make_shared<WaylandDisplayGeometry>(std::string(), displaySetting);
        options = uinputForWayland({}, geometry);
        session.geometry = std::move(geometry);
    } else if (!env.x11Display.empty()) {
        auto geometry = std::make_shared<X11DisplayGeometry>(std::string(), std::chrono::seconds(2),
                                                             displaySetting);
        options = uinputForX11({}, geometry);
        session.geometry = std::move(geometry);
    } else {
        options = uinputForConsole();
        session.geometry = std::make_shared<FixedDisplayGeometry>();
    }
    session.backend = std::make_unique<UinputInputBackend>(std::move(options));
    return session;
}

} // namespace

SessionInput makeSessionInput(Defaults& defaults) {
    SessionInput session;
    const auto offers = probeSession();
    session.choice = chooseInputBackend(defaults.string("inputBackend").value_or("auto"), offers,
                                        {InputBackendKind::x11, InputBackendKind::wlroots,
                                         InputBackendKind::gnome, InputBackendKind::kde,
                                         InputBackendKind::uinput});
    const auto displaySetting = [&defaults] {
        return defaults.string("display").value_or("primary");
    };
    switch (session.choice.kind) {
    case InputBackendKind::wlroots: {
        auto geometry = std::make_shared<WaylandDisplayGeometry>(std::string(), displaySetting);
        session.backend = std::make_unique<WlrootsInputBackend>(
            WlrootsInputBackend::Options{.display = {}, .geometry = geometry});
        session.geometry = std::move(geometry);
        return session;
    }
    case InputBackendKind::kde: {
        auto geometry = std::make_shared<WaylandDisplayGeometry>(std::string(), displaySetting);
        session.backend = std::make_unique<KdeFakeInputBackend>(
            KdeFakeInputBackend::Options{.display = {}, .geometry = geometry});
        session.geometry = std::move(geometry);
        return session;
    }
    case InputBackendKind::gnome: {
        auto geometry = std::make_shared<WaylandDisplayGeometry>(std::string(), displaySetting);
        session.backend = std::make_unique<GnomeRemoteDesktopBackend>(
            GnomeRemoteDesktopBackend::Options{.geometry = geometry});
        session.geometry = std::move(geometry);
        return session;
    }
    case InputBackendKind::uinput:
        return makeUinputSessionInput(std::move(session), offers.env, displaySetting);
    case InputBackendKind::x11:
        break;
    }
    auto geometry = std::make_shared<X11DisplayGeometry>(std::string(), std::chrono::seconds(2),
                                                         displaySetting);
    session.backend = makeInputBackend({defaults, geometry, {}});
    session.geometry = std::move(geometry);
    // "scroll": "smooth" turns the wheel through the kernel, where XTest has whole clicks only.
    if (defaults.string("scroll").value_or("clicks") == "smooth") {
        auto smooth = std::make_unique<SmoothScrollBackend>(std::move(session.backend));
        if (!smooth->note().empty()) {
            session.choice.note += (session.choice.note.empty() ? "" : "; ") + smooth->note();
        }
        session.backend = std::move(smooth);
    }
    return session;
}

InputPermission permissionOf(const InputBackendChoice& choice, const InputBackend& backend) {
    if (!choice.refusal.empty()) {
        return {false, choice.refusal};
    }
    return backend.permission();
}

} // namespace quillon::platform
