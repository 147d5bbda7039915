#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::platform {

// Text that came from a client (a device name, a bundle ID, an error reason) made safe to show
// in a terminal or to write into a one-line-per-event log:
// - C0 controls (ESC, CR, LF, TAB, ...), DEL and the C1 controls (U+0080-U+009F, CSI among
//   them) become "\xNN" / "\u{NN}" escapes, so they cannot move the cursor, retitle or clear the
//   terminal, or start a forged line;
// - the bidirectional overrides, embeddings and isolates (U+202A-U+202E, U+2066-U+2069, and the
//   marks U+200E, U+200F, U+061C) become "\u{NNNN}", so a name cannot reorder what follows it;
// - bytes that are not UTF-8 become "\xNN";
// - at most `maxBytes` of the input are kept, cut on a character boundary, followed by
//   "…(共 N 字节)" with the full length, so a 4 MiB field costs a few hundred bytes.
// Everything else, Chinese text and emoji included, passes unchanged.
std::string safeText(std::string_view text, std::size_t maxBytes = 256);
// The same, appended to `out` (whose storage a caller may reuse).
void appendSafeText(std::string& out, std::string_view text, std::size_t maxBytes = 256);

} // namespace quillon::platform
