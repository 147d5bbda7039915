#pragma once

#include "Platform/Input/InputBackend.hpp"

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

} // namespace quillon::platform
