#pragma once

#include <string>

namespace quillon::platform {

// Whether a display server answers a connection right now (opened and closed again): what a
// program must know before a toolkit that aborts without one connects. Empty name: the
// environment's (DISPLAY, WAYLAND_DISPLAY).
bool x11ServerAnswers(const std::string& display = {});
bool waylandServerAnswers(const std::string& display = {});

} // namespace quillon::platform
