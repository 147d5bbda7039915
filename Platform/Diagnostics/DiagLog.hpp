#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::platform {

// The diagnostics log: $XDG_STATE_HOME/corvane/Corvane-diag.log (default
// ~/.local/state/corvane/Corvane-diag.log). One line per event:
// "2026-12-10T12:34:56.789Z message\n" (ISO 8601 UTC with milliseconds). The file and its
// directory are created when missing; write failures are ignored. Safe from any thread: each
// line is written whole with one append.
namespace DiagLog {
void write(std::string_view message);
// The log file the next write goes to (follows the environment at each call).
std::string path();
// Of a message, at most this many bytes are written (see safeText()).
constexpr std::size_t maxMessageBytes = 512;
// "YYYY-MM-DDTHH:MM:SS.mmmZ message\n", the message passed through safeText(): controls
// escaped, cut after maxMessageBytes.
std::string formatLine(std::chrono::system_clock::time_point when, std::string_view message);
} // namespace DiagLog

} // namespace quillon::platform
