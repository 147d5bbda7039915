#pragma once

#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Input/InputBackend.hpp"
#include "Platform/Input/InputBackendChooser.hpp"

#include <memory>
#include <string>

namespace quillon::platform {

class Defaults;
class X11DisplayGeometry;

// What choosing and making a backend may draw on.
struct InputBackendContext {
    Defaults& defaults;
    // The X server's main display, shared with the rest of the host; made when absent.
    std::shared_ptr<const X11DisplayGeometry> x11Geometry;
    std::string x11Display; // empty: $DISPLAY
};

// The one place the host makes its input backend, at start. Today every session gets the X11
// backend (XTest; under Wayland it reaches XWayland windows only); backends of other display
// servers are chosen here from the session and the settings.
std::unique_ptr<InputBackend> makeInputBackend(const InputBackendContext& context);

// The session's input as the host runs it: the backend the session calls for, and the
// display geometry it goes with (the X server's, or the Wayland compositor's outputs).
struct SessionInput {
    InputBackendChoice choice;
    std::unique_ptr<InputBackend> backend;
    std::shared_ptr<DisplayGeometry> geometry;
};

// Probes the session and follows the "inputBackend" setting (auto, x11, wlroots, gnome, kde);
// the geometry (X11 or Wayland) follows the "display" setting (primary, all, or an output name). A
// choice with a refusal still gets the X11 backend (XWayland windows), and the host must show the
// refusal instead of the backend's permission: see permissionOf().
SessionInput makeSessionInput(Defaults& defaults);

// What the console and the permission window show for the session's input: the refusal when
// there is one, else the backend's own answer.
InputPermission permissionOf(const InputBackendChoice& choice, const InputBackend& backend);

} // namespace quillon::platform
