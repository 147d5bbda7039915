#pragma once

#include <string>

namespace quillon::platform {

// The user's base directories (XDG). A relative XDG_*_HOME value is invalid and ignored, as the
// base directory rules say; the default under the home directory is used instead.
enum class BaseDirectory { config, data, state, cache };

// $HOME, else the password database's entry, else "/".
std::string homeDirectory();
// $XDG_CONFIG_HOME, $XDG_DATA_HOME, $XDG_STATE_HOME or $XDG_CACHE_HOME when absolute, else
// ~/.config, ~/.local/share, ~/.local/state or ~/.cache. Read from the environment at each call.
std::string baseDirectory(BaseDirectory which);
// mkdir -p with private (0700) modes for what it creates. Failures are left for the caller's
// next open to report.
void makePrivateDirectories(const std::string& dir);

} // namespace quillon::platform
