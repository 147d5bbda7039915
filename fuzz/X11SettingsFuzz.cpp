// The texts the input path parses from settings: the overview key combination (a user
// default, resolved on a layout) and the X resource database (root window property, written
// by any client) for Xft.dpi.
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/KeyCombination.hpp"
#include "Platform/Input/RecordingInputBackend.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static quillon::platform::RecordingInputBackend layout; // a US keyboard
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto keys = quillon::platform::resolveKeyCombination(text, layout);
    const auto names = static_cast<std::size_t>(std::count(text.begin(), text.end(), '+')) + 1;
    if (keys && (keys->empty() || keys->size() > 2 * names)) {
        std::abort(); // a resolved combination has a key per name (and Shift) at most
    }
    const double scale = quillon::platform::X11DisplayGeometry::scaleFromResources(text.c_str());
    if (!std::isfinite(scale) || scale <= 0) {
        std::abort();
    }
    return 0;
}
