// The texts the X11 input backend parses: the overview key combination (a user default) and
// the X resource database (root window property, written by any client) for Xft.dpi.
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/EventStream/X11OverviewOpener.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto keys = quillon::platform::X11OverviewOpener::parseCombination(text);
    if (keys && keys->empty()) {
        std::abort(); // a parsed combination always has a key
    }
    const double scale = quillon::platform::X11DisplayGeometry::scaleFromResources(text.c_str());
    if (!std::isfinite(scale) || scale <= 0) {
        std::abort();
    }
    return 0;
}
